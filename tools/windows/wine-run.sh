#!/usr/bin/env bash
# Runs one Windows program of the build under Wine (CTest's emulator for the
# Windows build): a private WINEPREFIX made on first use, the Windows Qt's
# DLLs and the MinGW runtime found through WINEPATH.
#
# The platform plugin and its fonts: QT_QPA_PLATFORM set here, in the Linux environment,
# does not reach the Qt of a Windows program under Wine; the prefix's own
# user environment (HKCU\Environment) does, for every program started in it,
# child processes included. `-platform <name>` on the command line wins.
#
#   TORVANE_WINEPREFIX   the prefix (default ~/.cache/torvane/wine)
#   TORVANE_QT_WINDOWS   the Windows Qt (default ~/.cache/torvane/qt-6.4.2-mingw-x64)
#   TORVANE_QPA          the platform plugin set in the prefix (default offscreen)
set -euo pipefail
export WINEPREFIX="${TORVANE_WINEPREFIX:-$HOME/.cache/torvane/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No prompts for Wine's Mono and Gecko: nothing here needs them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win64
qt="${TORVANE_QT_WINDOWS:-$HOME/.cache/torvane/qt-6.4.2-mingw-x64}"
qpa="${TORVANE_QPA:-offscreen}"
# The offscreen platform has no system fonts on Windows: it reads the font
# files of one folder. Wine ships none, so it gets the Linux side's.
fonts="$(dirname "$(fc-match -f '%{file}' sans 2>/dev/null || true)")"
[ -d "$fonts" ] || fonts=/usr/share/fonts/truetype/dejavu

# Z: is the Linux root in every Wine prefix.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

if [ ! -f "$WINEPREFIX/.torvane-$qpa-fonts" ]; then
  (
    # One at a time: CTest starts several tests at once.
    exec 9>"${WINEPREFIX%/}.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.torvane-$qpa-fonts" ]; then
      mkdir -p "$WINEPREFIX"
      rm -f "$WINEPREFIX"/.torvane-*
      echo "wine-run: making the Wine prefix $WINEPREFIX" >&2
      wineboot --init >/dev/null 2>&1 || true
      wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /t REG_SZ /d "$qpa" /f >/dev/null 2>&1
      wine reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /t REG_SZ /d "$(winpath "$fonts")" /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.torvane-$qpa-fonts"
    fi
  )
fi

gcc_runtime="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
export WINEPATH="$(winpath "$qt/bin");$(winpath "$gcc_runtime");$(winpath /usr/x86_64-w64-mingw32/lib)"

# A Qt test program's report doesn't reach standard output under Wine: it is
# written to a file, shown as it grows (so that a test that hangs shows
# where), unless the command line names an output of its own.
#
# And Wine's own service processes (services.exe, explorer.exe, ...), which
# the first program of a wineserver's life starts, inherit that program's
# standard streams and live as long as the server. CTest waits for a test's
# output to close, and the server lives on while other tests run: so a test
# program's own streams go to a file, not to CTest's pipe.
case "$(basename "$1")" in
  tst_*.exe)
    for arg in "$@"; do [ "$arg" = -o ] && exec wine "$@"; done
    report=$(mktemp)
    streams=$(mktemp)
    trap 'rm -f "$report" "$streams"' EXIT
    wine "$@" -o "$(winpath "$report"),txt" </dev/null >"$streams" 2>&1 &
    program=$!
    tail -n +1 -f --pid="$program" "$report"
    status=0
    wait "$program" || status=$?
    cat "$streams"
    exit "$status"
    ;;
esac
exec wine "$@"
