#!/usr/bin/env bash
# Records a real session on the loopback interface: the demo server, the
# tap in front of it and a small client, captured with tcpdump. Run by hand,
# as root (tcpdump needs it); the tests only read what it leaves here:
#   loopback.pcap   both connections (client-tap and tap-server)
#   loopback-tap.log  the tap's log of the same session
#   tests/capture/data/record-loopback.sh [build-folder]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build="$root/$build"
server_port=${SERVER_PORT:-1294}
tap_port=${TAP_PORT:-11294}
server_bin="$build/tools/torvane-demo-server"
tap_bin="$build/tools/torvane-tap"
for f in "$server_bin" "$tap_bin"; do
  [ -x "$f" ] || { echo "record-loopback: $f is missing; build it first" >&2; exit 1; }
done
command -v tcpdump >/dev/null || { echo "record-loopback: tcpdump is not installed" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "record-loopback: tcpdump on lo needs root" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until something listens on port $1, without connecting to it.
wait_port() {
  local hex
  hex=$(printf ':%04X ' "$1")
  for _ in $(seq 100); do
    if grep -q "$hex.* 0A " /proc/net/tcp; then return 0; fi
    sleep 0.1
  done
  echo "record-loopback: nothing listens on port $1" >&2
  exit 1
}

tcpdump -i lo -U -s 0 --time-stamp-precision=micro -w "$work/capture.pcap" \
  "tcp port $server_port or tcp port $tap_port" 2>"$work/tcpdump.err" &
pids+=($!)
"$server_bin" --port "$server_port" --delay-ms 40 &
pids+=($!)
wait_port "$server_port"
"$tap_bin" --listen "127.0.0.1:$tap_port" --server "127.0.0.1:$server_port" --log "$work/tap.log" \
  --once --quiet &
tap=$!
wait_port "$tap_port"
# tcpdump writes its file header once it runs.
for _ in $(seq 50); do [ -s "$work/capture.pcap" ] && break; sleep 0.1; done

exec 4<>"/dev/tcp/127.0.0.1/$tap_port"
send() { printf '%s\r\n' "$1" >&4; }
# Reads lines until the '%' of each tag given.
wait_done() {
  local want=("$@") line
  while [ ${#want[@]} -gt 0 ]; do
    IFS= read -r -t 10 line <&4 || { echo "record-loopback: no answer" >&2; exit 1; }
    line=${line%$'\r'}
    for i in "${!want[@]}"; do
      if [ "$line" = "${want[$i]} %" ]; then unset 'want[i]'; fi
    done
    want=("${want[@]}")
  done
}
n=0
cmd() { n=$((n + 1)); local t; t=$(printf '%05d' "$n"); send "$t $1"; wait_done "$t"; }
cmd "StartSession()"
cmd "Home()"
cmd "GetProp(Tool.Name())"
cmd "GoTo(X(10), Y(20), Z(-5))"
cmd "Get(X(), Y(), Z())"
cmd "PtMeas(X(10), Y(20), Z(-10))"
# Two commands without waiting for the first one's '&'.
send "00007 GoTo(X(0), Y(0), Z(0))"
send "00008 Get(X(), Y(), Z())"
wait_done 00007 00008
n=8
cmd "NoSuchMethod()"
cmd "EnumTools()"
cmd "EndSession()"
exec 4>&-
wait "$tap" || true
sleep 0.5
kill "${pids[0]}" 2>/dev/null || true
wait "${pids[0]}" 2>/dev/null || true
pids=("${pids[@]:1}")

cp "$work/capture.pcap" "$here/loopback.pcap"
cp "$work/tap.log" "$here/loopback-tap.log"
ls -l "$here/loopback.pcap" "$here/loopback-tap.log"
