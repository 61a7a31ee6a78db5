#!/usr/bin/env bash
# `make demo`: starts the demo server and Torvane, to try Torvane without a
# measuring machine. Torvane runs in <build>/demo, so the demo keeps its own
# Torvane.ini apart from the one of `make run`.
#   tools/demo.sh [build-folder]
#   DEMO_PORT (1294), DEMO_DELAY_MS (150) and DEMO_EVENTS (0: none; seconds
#   between unasked position reports) tune the server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build="$root/$build"
port=${DEMO_PORT:-1294}
delay=${DEMO_DELAY_MS:-150}
events=${DEMO_EVENTS:-0}

server_bin="$build/tools/torvane-demo-server"
torvane_bin="$build/torvane"
for f in "$server_bin" "$torvane_bin"; do
  [ -x "$f" ] || { echo "demo: $f is missing; run 'make build' first" >&2; exit 1; }
done

workdir="$build/demo"
mkdir -p "$workdir"
if [ ! -f "$workdir/Torvane.ini" ]; then
  printf '[TCP/IP]\r\nHost=127.0.0.1\r\nPort=%s\r\n' "$port" > "$workdir/Torvane.ini"
fi

"$server_bin" --port "$port" --delay-ms "$delay" --events "$events" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT

# Wait until it listens; give up if it ended (the port is taken, say).
for _ in $(seq 100); do
  kill -0 "$server" 2>/dev/null || { echo "demo: the demo server did not start (is port $port free? try DEMO_PORT=...)" >&2; exit 1; }
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
  sleep 0.1
done

cat <<MSG

  Torvane demo: the demo server listens on 127.0.0.1:$port.
  In Torvane press "Connect", then "StartSession()", and try the buttons
  (Get(..., EnumTools(), ChangeTool(), ...) or type a command such as
  GoTo(X(100), Y(50), Z(-20)) and press Enter.
  Close the window to end the demo.

MSG
cd "$workdir"
"$torvane_bin"
