#!/usr/bin/env bash
# The Windows build's quick guard, without Qt for Windows (minutes, not the
# hour Qt's own build takes):
#  - platform/'s Windows implementation compiles with MinGW-w64;
#  - no file outside platform/ includes an operating-system header;
#  - the checker's sources (check/, tools/torvane-check/) compile with MinGW
#    against the Windows Qt's Core headers, when that Qt is in its cache.
set -euo pipefail
cd "$(dirname "$0")/../.."
here=tools/windows
qtwin="${TORVANE_QT_WINDOWS:-$HOME/.cache/torvane/qt-6.4.2-mingw-x64}"
cxx=x86_64-w64-mingw32-g++-posix
status=0

"$here/install-deps.sh" --compiler

# 1. No system header outside platform/.
os_headers='unistd\.h|sys/[^>]*|poll\.h|fcntl\.h|signal\.h|csignal|termios\.h|dirent\.h|dlfcn\.h|pthread\.h|sched\.h|netdb\.h|arpa/[^>]*|netinet/[^>]*|linux/[^>]*|mach/[^>]*|windows\.h|winsock2?\.h|ws2tcpip\.h|mswsock\.h|afunix\.h|io\.h|process\.h|direct\.h|psapi\.h|aclapi\.h|shlobj\.h|iphlpapi\.h|winbase\.h|winuser\.h|windef\.h|winternl\.h'
sources() {
  git ls-files -- '*.c' '*.cpp' '*.cc' '*.h' '*.hpp' ':!platform/' 2>/dev/null \
    || find . -path ./platform -prune -o -path './build*' -prune -o -path ./.git -prune -o \
         -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) -print
}
leaks="$(sources | xargs -r grep -niE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($os_headers)>" || true)"
if [ -n "$leaks" ]; then
  echo "portability: operating-system headers outside platform/:"
  echo "$leaks"
  status=1
else
  echo "portability: no operating-system header outside platform/"
fi

# Qt's headers: the Windows Qt's when it is there; for platform/ alone
# Debian's own (Qt Core's headers choose by the compiler's system).
if [ -f "$qtwin/include/QtCore/qglobal.h" ]; then
  qtinc="$qtwin/include"
  have_qtwin=1
else
  qtinc="$(ls -d /usr/include/*-linux-gnu/qt6 2>/dev/null | head -1 || true)"
  have_qtwin=0
fi
if [ -z "$qtinc" ] || [ ! -d "$qtinc/QtCore" ]; then
  echo "portability: no Qt Core headers (qt6-base-dev, tools/install-deps.sh) to compile against"
  exit 1
fi
flags=(-std=c++17 -Wall -Wextra -Werror -I. -isystem "$qtinc" -isystem "$qtinc/QtCore"
       -DQT_NO_KEYWORDS -DQT_NO_CAST_FROM_ASCII -DQT_CORE_LIB -DTORVANE_VERSION=\"0\")

compile() {
  local f="$1"
  if ! "$cxx" "${flags[@]}" -c "$f" -o /dev/null; then
    echo "portability: $f does not compile with MinGW-w64"
    status=1
  fi
}

# 2. platform/'s Windows side.
for f in platform/platform_win.cpp platform/testsupport_win.cpp; do compile "$f"; done
echo "portability: platform/ for Windows compiled with $cxx"

# 3. The checker and its command-line program.
if [ "$have_qtwin" = 1 ]; then
  for f in check/*.cpp tools/torvane-check/*.cpp; do compile "$f"; done
  echo "portability: check/ and tools/torvane-check/ compiled against $qtwin"
else
  echo "portability: skipped check/ and tools/torvane-check/: no Qt for Windows in $qtwin" \
       "(tools/windows/build-qt.sh makes it, about an hour)"
fi
exit $status
