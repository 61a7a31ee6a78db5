#!/usr/bin/env bash
# Checks the traffic log with an AT-SPI client, as a screen reader sees it:
#   tools/atspi-check.sh [build-folder]        (or: make atspi-check)
# Runs Torvane under Xvfb with its own D-Bus session and AT-SPI bus, fills
# the log through the relay port against the demo server, then reads it with
# pyatspi (tools/atspi-check.py) and clicks on characters with xdotool.
# Needs xvfb-run, dbus-run-session, at-spi2-core, python3-pyatspi, xdotool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build="$root/$build"

if [ -z "${ATSPI_CHECK_INNER:-}" ]; then
  for tool in xvfb-run dbus-run-session xdotool; do
    command -v "$tool" >/dev/null || { echo "atspi-check: $tool is missing" >&2; exit 1; }
  done
  export ATSPI_CHECK_INNER=1
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1120x716x24" "$0" "$build"
fi

tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
pids+=($!)
sleep 0.5

free_port() {
  local p
  for _ in $(seq 100); do
    p=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
  return 1
}
server_port=$(free_port)
relay_port=$(free_port)
"$build/tools/torvane-demo-server" --port "$server_port" --delay-ms 5 >/dev/null &
pids+=($!)
cat > "$tmp/Torvane.ini" <<INI
[TCP/IP]
Host=127.0.0.1
Port=$server_port
[Window]
Top=0
Left=0
Width=1120
Height=716
[RelayServer]
Port=$relay_port
INI
(cd "$tmp" && QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 exec "$build/torvane") >"$tmp/torvane.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do
  grep -q ":$(printf '%04X' "$relay_port") .* 0A " /proc/net/tcp 2>/dev/null && break
  sleep 0.05
done

# The relay client's commands and their completions are the expected lines.
exec 3<>"/dev/tcp/127.0.0.1/$relay_port"
: > "$tmp/expected"
send() {
  local tag=$1 cmd=$2 line
  printf '%s %s\r\n' "$tag" "$cmd" >&3
  printf '>$> %s %s\n' "$tag" "$cmd" >> "$tmp/expected"
  while IFS= read -r -t 10 -u 3 line; do
    line=${line%$'\r'}
    printf '<$< %s\n' "$line" >> "$tmp/expected"
    [[ $line == "$tag %" ]] && return 0
  done
  echo "atspi-check: no completion for $tag $cmd" >&2
  return 1
}
send 00001 'StartSession()'
send 00002 'Home()'
send 00003 'EnumTools()'
send 00004 'GoTo(X(250), Y(120), Z(-40))'
send 00005 'Get(X(), Y(), Z())'
send 00006 'ChangeTool("ProbeN")'
sleep 0.5
/usr/bin/python3 "$root/tools/atspi-check.py" "$tmp/expected"
