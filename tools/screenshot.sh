#!/usr/bin/env bash
# Takes the README screenshots of the main window, in normal and in advanced
# mode, of the inspector and of the log's colours and find bar:
# docs/screenshot-normal.png, docs/screenshot-advanced.png,
# docs/screenshot-inspector.png (with -timing, -ladder and -findings) and
# docs/screenshot-log.png.
#   tools/screenshot.sh [build-folder]        (or: make screenshot)
# Torvane runs under Xvfb in a scratch folder, against the demo server. A
# scripted relay client connects to Torvane's relay port, which makes Torvane
# connect to the server, and sends a few commands, so the log has traffic.
# Needs Xvfb, ImageMagick's import and xdotool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build="$root/$build"
out="$root/docs"
width=1120 height=716   # the window's design size

for tool in Xvfb import xdotool; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (apt-get install xvfb imagemagick)" >&2; exit 1; }
done

tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

source "$root/tools/xsession.sh"
# A display of our own.
start_xvfb 90 "$width" "$height" || exit 1
unset QT_QPA_PLATFORM

server_port=$(free_port 1294)   # the usual ports, when free, look best
"$build/tools/torvane-demo-server" --port "$server_port" --delay-ms 40 >/dev/null &
server=$!
pids+=($server)
wait_listening "$server_port" "$server" || { echo "screenshot: demo server did not start" >&2; exit 1; }

# Sends one command as the relay client and reads its replies up to "tag %".
send() {
  printf '%s %s\r\n' "$1" "$2" >&3
  await "$1"
}
# Reads the replies up to "tag %".
await() {
  local line
  while IFS= read -r -t 10 -u 3 line; do
    [[ ${line%$'\r'} == "$1 %" ]] && return 0
  done
  echo "screenshot: no completion for $1" >&2
  return 1
}

shoot() {  # advanced(0|1) output-file [inspector|log]
  local dir="$tmp/run$1${3:-}" relay_port torvane
  mkdir -p "$dir"
  relay_port=$(free_port 1295)
  cat > "$dir/Torvane.ini" <<INI
[TCP/IP]
Host=127.0.0.1
Port=$server_port
[CurrentCommand]
cmd=GoTo(X(250), Y(120), Z(-40))
[Tool]
C=Probe1
F=ProbeN
[Window]
Top=0
Left=0
Width=$width
Height=$height
[RelayServer]
Port=$relay_port
[Misc]
Advanced=$1
[Inspector]
Left=40
Top=30
Width=1040
Height=640
INI
  (cd "$dir" && exec "$build/torvane") >"$tmp/torvane$1.log" 2>&1 &
  torvane=$!
  wait_listening "$relay_port" "$torvane" || { echo "screenshot: Torvane did not start:" >&2; cat "$tmp/torvane$1.log" >&2; return 1; }

  exec 3<>"/dev/tcp/127.0.0.1/$relay_port"
  send 00001 'StartSession()'
  send 00002 'Home()'
  send 00003 'IsHomed()'
  send 00004 'GetProp(Tool.Name(), Tool.AvrRadius())'
  send 00005 'GoTo(X(250), Y(120), Z(-40))'
  send 00006 'PtMeas(X(250), Y(120), Z(-52), IJK(0,0,1))'
  send 00007 'Get(X(), Y(), Z())'
  send 00008 'EnumTools()'
  send 00009 'ChangeTool("ProbeN")'
  send 00010 'SetProp(Tool.Colour(3))'
  send 00011 'PtMeas(X(262), Y(120), Z(-52), IJK(0,0,1))'
  if [ "${3:-}" = inspector ]; then
    # A client that doesn't wait for the '&': the inspector has a finding.
    printf '00012 GetProp(Tool.Name())\r\n00013 Get(X(), Y(), Z())\r\n00016 IsHomed()\r\n' >&3
    await 00016
    send E0016 'GetProp(Tool.Name())'   # an event tag on a command that is none
    send 00014 'GoTo(X(200), Y(100), Z(-40))'
    send 00015 'PtMeas(X(200), Y(100), Z(-52), IJK(0,0,1))'
    local main
    main=$(xdotool search --name 'Torvane V2.25' | head -1)
    xdotool windowfocus --sync "$main" key F9
    for _ in $(seq 100); do xdotool search --name 'Torvane Inspector' >/dev/null && break; sleep 0.05; done
    sleep 1
    local inspector
    inspector=$(xdotool search --name 'Torvane Inspector' | head -1)
    import -window "$inspector" "$2"
    xdotool windowfocus --sync "$inspector" key alt+m   # the Timing pane
    sleep 1.5
    import -window "$inspector" "${2%.png}-timing.png"
    echo "wrote ${2%.png}-timing.png"
    # The ladder alone, the pipelined commands in it.
    convert "${2%.png}-timing.png" -gravity south -crop 100%x64%+0+0 +repage "${2%.png}-ladder.png"
    echo "wrote ${2%.png}-ladder.png"
    xdotool key alt+f   # the Findings pane
    sleep 1
    import -window "$inspector" "${2%.png}-findings.png"
    echo "wrote ${2%.png}-findings.png"
  elif [ "${3:-}" = log ]; then
    # An operator command, then the find bar over the log.
    xdotool mousemove 390 68 click 1
    sleep 0.5
    xdotool mousemove 300 300 click 1
    xdotool key ctrl+f
    xdotool type --delay 40 Probe
    xdotool key Return
    sleep 1
    import -window root -crop "765x600+0+110" +repage "$2"
  else
    sleep 1   # let the window repaint
    import -window root -crop "${width}x${height}+0+0" +repage "$2"
  fi
  exec 3>&-
  kill -TERM "$torvane"
  wait "$torvane" || true
  echo "wrote $2"
}

mkdir -p "$out"
shoot 0 "$out/screenshot-normal.png"
shoot 1 "$out/screenshot-advanced.png"
if command -v xdotool >/dev/null; then
  shoot 0 "$out/screenshot-inspector.png" inspector
  shoot 0 "$out/screenshot-log.png" log
else
  echo "screenshot: xdotool is missing (apt-get install xdotool): no inspector or log picture" >&2
fi
