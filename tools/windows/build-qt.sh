#!/usr/bin/env bash
# Builds Qt for Windows (MinGW-w64, x86_64) once, from Debian's own qt6-base
# source package, into a cache outside the tree. A later run finds the cache
# and returns at once.
#
#   TORVANE_QT_WINDOWS  where the Windows Qt goes
#                       (default ~/.cache/torvane/qt-6.4.2-mingw-x64)
#   TORVANE_QT_JOBS     parallel compile jobs (default: nproc)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prefix="${TORVANE_QT_WINDOWS:-$HOME/.cache/torvane/qt-6.4.2-mingw-x64}"
work="$(dirname "$prefix")/qt-build"
jobs="${TORVANE_QT_JOBS:-$(nproc)}"

if [ -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake" ] && [ -f "$prefix/.torvane-complete" ]; then
  echo "Qt for Windows: using $prefix"
  exit 0
fi

"$here/install-deps.sh"

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
mkdir -p "$work"
cd "$work"
# One build at a time: a second run waits for the first, then finds its cache.
exec 9>"$work/.lock"
if ! flock -n 9; then
  echo "Qt for Windows: another build is under way in $work; waiting for it"
  flock 9
fi
if [ -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake" ] && [ -f "$prefix/.torvane-complete" ]; then
  echo "Qt for Windows: using $prefix"
  exit 0
fi
if ! ls -d qt6-base-*/ >/dev/null 2>&1; then
  apt-get source --download-only qt6-base >/dev/null 2>&1 || {
    "$here/add-deb-src.sh"
    $sudo apt-get update -qq
  }
  apt-get source qt6-base
fi
src="$(ls -d "$work"/qt6-base-*/ | head -1)"
src="${src%/}"

cat >"$work/mingw-toolchain.cmake" <<'TC'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TC

# wintab and iaccessible2 are not in Debian's source package: tablet events off.
# OpenGL stays at its default (dynamic): the windows plugin needs it to compile.
cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$work/mingw-toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_tabletevent=OFF \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
cmake --build "$work/build" -j "$jobs"
cmake --install "$work/build"
touch "$prefix/.torvane-complete"
echo "Qt for Windows: built into $prefix"
