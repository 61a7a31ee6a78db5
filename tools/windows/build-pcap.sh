#!/usr/bin/env bash
# Builds libpcap for Windows (MinGW-w64, x86_64) once, from Debian's own
# libpcap source package, for reading capture files only (no live capture,
# so no Npcap): a static library in a cache outside the tree, beside Qt's.
#
#   TORVANE_PCAP_WINDOWS  where it goes
#                         (default ~/.cache/torvane/pcap-1.10-mingw-x64)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prefix="${TORVANE_PCAP_WINDOWS:-$HOME/.cache/torvane/pcap-1.10-mingw-x64}"
work="$(dirname "$prefix")/pcap-build"

if [ -f "$prefix/lib/libpcap.a" ] && [ -f "$prefix/.torvane-complete" ]; then
  echo "libpcap for Windows: using $prefix"
  exit 0
fi

"$here/install-deps.sh"
mkdir -p "$work"
cd "$work"
exec 9>"$work/.lock"
flock 9 # one build at a time; a second run then finds the first's cache
if [ -f "$prefix/lib/libpcap.a" ] && [ -f "$prefix/.torvane-complete" ]; then
  echo "libpcap for Windows: using $prefix"
  exit 0
fi
if ! ls -d libpcap-*/ >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  apt-get source --download-only libpcap >/dev/null 2>&1 || {
    "$here/add-deb-src.sh"
    $sudo apt-get update -qq
  }
  apt-get source libpcap
fi
src="$(ls -d "$work"/libpcap-*/ | head -1)"
src="${src%/}"

cat >"$work/mingw-toolchain.cmake" <<'TC'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC

cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$work/mingw-toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DPCAP_TYPE=null -DENABLE_REMOTE=OFF \
  -DDISABLE_DBUS=ON -DDISABLE_RDMA=ON -DDISABLE_DAG=ON -DDISABLE_SEPTEL=ON \
  -DDISABLE_SNF=ON -DDISABLE_TC=ON -DDISABLE_BLUETOOTH=ON -DDISABLE_NETMAP=ON -DDISABLE_DPDK=ON
# The static library only.
cmake --build "$work/build" -j "${TORVANE_QT_JOBS:-$(nproc)}" --target pcap_static
mkdir -p "$prefix/lib" "$prefix/include"
cp "$work/build/libpcap.a" "$prefix/lib/libpcap.a"
cp -r "$src/pcap" "$src/pcap.h" "$prefix/include/"
touch "$prefix/.torvane-complete"
echo "libpcap for Windows: built into $prefix"
