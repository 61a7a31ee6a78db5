#!/usr/bin/env bash
# The Windows build tried by hand, under Wine (make windows-smoke):
#  1. torvane.exe starts (the windows platform, under Xvfb), a relay client
#     talks to torvane-demo-server.exe through it, the inspector opens:
#     docs/screenshot-windows.png; Alt+F4 closes the window, which writes
#     Torvane.ini;
#  2. the installer installs silently (/S) into a fresh prefix, with the
#     Start-menu entry and the uninstaller; the uninstaller removes it.
#   tools/windows/smoke.sh [windows-build-folder] [--installer-only]
# Its own Wine prefixes, so that running tests are not disturbed. Needs Xvfb,
# xdotool and ImageMagick's import.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
here="$root/tools/windows"
build=${1:-build-windows}
only=${2:-}
[[ $build = /* ]] || build="$root/$build"
width=1120 height=716

for tool in Xvfb import xdotool; do
  command -v "$tool" >/dev/null || { echo "smoke: $tool is missing (apt-get install xvfb xdotool imagemagick)" >&2; exit 1; }
done

tmp=$(mktemp -d)
export TORVANE_WINEPREFIX="$HOME/.cache/torvane/wine-smoke"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  WINEPREFIX="$TORVANE_WINEPREFIX" wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "smoke: $*" >&2; exit 1; }

source "$root/tools/xsession.sh"
start_xvfb 140 "$width" "$height" || fail "no X display"

if [ "$only" != --installer-only ]; then
# ---- 1. The relay, the inspector, the close.
server_port=$(free_port)
relay_port=$(free_port)
"$here/wine-run.sh" "$build/tools/torvane-demo-server.exe" --port "$server_port" >"$tmp/server.log" 2>&1 &
server=$!
pids+=($server)
wait_listening "$server_port" "$server" 60 || fail "the demo server did not start: $(cat "$tmp/server.log")"

work="$tmp/Torvane work"
mkdir -p "$work"
cat >"$work/Torvane.ini" <<INI
[TCP/IP]
Host=127.0.0.1
Port=$server_port
[Window]
Top=0
Left=0
Width=$width
Height=$height
[RelayServer]
Port=$relay_port
[Inspector]
Left=430
Top=150
Width=680
Height=540
INI
(cd "$work" && exec "$here/wine-run.sh" "$build/torvane.exe" -platform windows) >"$tmp/torvane.log" 2>&1 &
torvane=$!
pids+=($torvane)
wait_listening "$relay_port" "$torvane" 60 || fail "torvane.exe did not start: $(cat "$tmp/torvane.log")"
before=$(md5sum <"$work/Torvane.ini")

exec 3<>"/dev/tcp/127.0.0.1/$relay_port"
await() {
  local line
  while IFS= read -r -t 20 -u 3 line; do
    [[ ${line%$'\r'} == "$1 %" ]] && return 0
  done
  fail "no completion for $1 through the relay"
}
send() { printf '%s %s\r\n' "$1" "$2" >&3; await "$1"; }
send 00001 'StartSession()'
send 00002 'Home()'
send 00003 'GetProp(Tool.Name(), Tool.AvrRadius())'
send 00004 'GoTo(X(250), Y(120), Z(-40))'
send 00005 'PtMeas(X(250), Y(120), Z(-52), IJK(0,0,1))'
send 00006 'Get(X(), Y(), Z())'
echo "smoke: torvane.exe relayed between a client and torvane-demo-server.exe"

main=$(xdotool search --name 'Torvane V2' | head -1)
[ -n "$main" ] || fail "no Torvane window on the display"
xdotool windowfocus --sync "$main" key F9
for _ in $(seq 100); do xdotool search --name 'Torvane Inspector' >/dev/null && break; sleep 0.1; done
sleep 2
mkdir -p "$root/docs"
import -window root "$root/docs/screenshot-windows.png"
echo "smoke: wrote docs/screenshot-windows.png"

exec 3>&-
# The inspector has the focus: Alt+F4 closes it first, then the window.
inspector=$(xdotool search --name 'Torvane Inspector' | head -1)
if [ -n "$inspector" ]; then
  xdotool windowfocus --sync "$inspector" key alt+F4
  for _ in $(seq 100); do xdotool search --onlyvisible --name 'Torvane Inspector' >/dev/null || break; sleep 0.1; done
fi
xdotool windowfocus --sync "$main" key alt+F4
for _ in $(seq 300); do kill -0 "$torvane" 2>/dev/null || break; sleep 0.1; done
kill -0 "$torvane" 2>/dev/null && fail "torvane.exe did not end on Alt+F4"
after=$(md5sum <"$work/Torvane.ini")
[ "$before" != "$after" ] || fail "Torvane.ini was not written on close"
grep -q "^\[Window\]" "$work/Torvane.ini" || fail "Torvane.ini has no [Window] section"
echo "smoke: the close wrote Torvane.ini"
kill "$server" 2>/dev/null || true
fi

# ---- 2. The installer, in a prefix of its own.
export TORVANE_WINEPREFIX="$HOME/.cache/torvane/wine-install"
rm -rf "$TORVANE_WINEPREFIX"
setup=$(ls "$build"/torvane-*-setup.exe | head -1)
[ -f "$setup" ] || fail "no installer in $build (make windows makes it)"
"$here/wine-run.sh" "$setup" /S
WINEPREFIX="$TORVANE_WINEPREFIX" wineserver -w
user="$TORVANE_WINEPREFIX/drive_c/users/$(id -un)"
installed="$user/AppData/Local/Programs/Torvane"
link="$user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Torvane.lnk"
for f in torvane.exe torvane-check.exe torvane-tap.exe uninstall.exe platforms/qwindows.dll Qt6Core.dll; do
  [ -f "$installed/$f" ] || fail "the installer did not put $f into $installed"
done
[ -f "$link" ] || fail "no Start-menu entry"
strings -el "$link" | grep -q 'AppData\\Roaming\\Torvane' || fail "the Start-menu entry does not start in %APPDATA%\\Torvane"
echo "smoke: setup.exe /S installed Torvane with its Start-menu entry"
"$here/wine-run.sh" 'C:\users\'"$(id -un)"'\AppData\Local\Programs\Torvane\uninstall.exe' /S
WINEPREFIX="$TORVANE_WINEPREFIX" wineserver -w
for _ in $(seq 100); do [ -e "$installed/torvane.exe" ] || break; sleep 0.1; done
[ ! -e "$installed/torvane.exe" ] || fail "the uninstaller left the programs"
[ ! -e "$link" ] || fail "the uninstaller left the Start-menu entry"
echo "smoke: the uninstaller removed it"
