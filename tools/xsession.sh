# Shared by the scripts that drive a Torvane window under Xvfb
# (tools/screenshot.sh, tools/windows/smoke.sh); sourced, not run.
# The sourcing script keeps the processes it starts in `pids`.

# Whether something listens on a TCP port, without connecting to it (a probe
# connection to Torvane's relay port would count as its relay client).
listening() {
  local hex
  hex=$(printf ':%04X' "$1")
  awk -v p="$hex" '$4 == "0A" && substr($2, length($2) - 4) == p { found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# Waits until `port` listens, while the process `pid` lives, `seconds` at most.
wait_listening() {  # port pid [seconds, default 10]
  for _ in $(seq $((${3:-10} * 20))); do
    listening "$1" && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# A port nothing listens on: `preferred` when it is free.
free_port() {  # [preferred]
  local p
  if [ -n "${1:-}" ] && ! listening "$1"; then echo "$1"; return; fi
  for _ in $(seq 100); do
    p=$((20000 + RANDOM % 20000))
    listening "$p" || { echo "$p"; return; }
  done
  return 1
}

# An X display of our own, the first free one from `first` on: Xvfb started
# on it (its process added to `pids`) and DISPLAY set.
start_xvfb() {  # first width height
  local n display=
  for n in $(seq "$1" $(($1 + 40))); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=":$n"; break; }
  done
  [ -n "$display" ] || { echo "no free X display" >&2; return 1; }
  Xvfb "$display" -screen 0 "${2}x${3}x24" -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.05; done
  export DISPLAY=$display
}
