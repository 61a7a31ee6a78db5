#!/usr/bin/env bash
# Packages the Windows build in <build>: the programs with the DLLs they load
# (the one Windows Qt they were built against, its platform and style
# plugins, the MinGW runtime), the README and the licence texts, as
#   <build>/torvane-<version>-windows-x64.zip
#   <build>/torvane-<version>-setup.exe   (NSIS: per user, no administrator)
set -euo pipefail
build="$(cd "${1:?usage: package.sh <windows build folder>}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
src="$(cd "$here/../.." && pwd)"
qt="${TORVANE_QT_WINDOWS:-$HOME/.cache/torvane/qt-6.4.2-mingw-x64}"
pcap_src="$(ls -d "${TORVANE_PCAP_WINDOWS:-$HOME/.cache/torvane/pcap-1.10-mingw-x64}"/../pcap-build/libpcap-*/ 2>/dev/null | head -1 || true)"
objdump=x86_64-w64-mingw32-objdump
gcc_runtime="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
name="torvane-$version-windows-x64"
stage="$build/package/$name"
rm -rf "$build/package"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/licenses"

programs=(torvane torvane-check torvane-demo-server torvane-tap torvane-replay)
for p in "${programs[@]}"; do
  [ -f "$build/$p.exe" ] && cp "$build/$p.exe" "$stage/" && continue
  found="$(find "$build" -name "$p.exe" -not -path "*/package/*" | head -1)"
  if [ -n "$found" ]; then cp "$found" "$stage/"; else echo "package: $p.exe is missing" >&2; exit 1; fi
done
cp "$qt/plugins/platforms/qwindows.dll" "$qt/plugins/platforms/qoffscreen.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"

# Every DLL the programs and plugins import that is not the system's: from
# the Windows Qt, or the MinGW runtime, followed to what those import.
resolve() {
  local dll="$1" d
  for d in "$qt/bin" "$gcc_runtime" /usr/x86_64-w64-mingw32/lib /usr/x86_64-w64-mingw32/bin; do
    [ -f "$d/$dll" ] && { echo "$d/$dll"; return 0; }
  done
  return 0
}
todo=("$stage"/*.exe "$stage"/platforms/*.dll "$stage"/styles/*.dll)
while [ ${#todo[@]} -gt 0 ]; do
  f="${todo[0]}"
  todo=("${todo[@]:1}")
  while read -r dll; do
    [ -f "$stage/$dll" ] && continue
    path="$(resolve "$dll")"
    [ -z "$path" ] && continue # the system's own
    cp "$path" "$stage/$dll"
    todo+=("$stage/$dll")
  done < <("$objdump" -p "$f" | sed -n 's/^[[:space:]]*DLL Name: //p')
done

# The texts that go with it.
cp "$src/README.md" "$stage/README.md"
cp "$here/licenses/THIRD-PARTY.txt" "$stage/licenses/"
qtsrc="$(ls -d "$qt"/../qt-build/qt6-base-*/ 2>/dev/null | head -1 || true)"
if [ -n "$qtsrc" ] && [ -d "$qtsrc/LICENSES" ]; then
  cp "$qtsrc/LICENSES/LGPL-3.0-only.txt" "$stage/licenses/Qt-LGPL-3.0.txt"
  cp "$qtsrc/LICENSES/GPL-3.0-only.txt" "$stage/licenses/GPL-3.0.txt"
else
  cp /usr/share/common-licenses/LGPL-3 "$stage/licenses/Qt-LGPL-3.0.txt"
  cp /usr/share/common-licenses/GPL-3 "$stage/licenses/GPL-3.0.txt"
fi
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licenses/MinGW-GCC-runtime.txt" 2>/dev/null \
  || cp /usr/share/doc/g++-mingw-w64-x86-64-posix/copyright "$stage/licenses/MinGW-GCC-runtime.txt"
cp /usr/share/doc/mingw-w64-common/copyright "$stage/licenses/MinGW-w64-winpthreads.txt"
[ -n "$pcap_src" ] && cp "$pcap_src/LICENSE" "$stage/licenses/libpcap.txt"

rm -f "$build/$name.zip"
(cd "$build/package" && zip -qr9 "$build/$name.zip" "$name")
echo "package: $build/$name.zip"

makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DICON="$here/torvane.ico" \
  -DOUTFILE="$build/torvane-$version-setup.exe" "$here/torvane.nsi"
echo "package: $build/torvane-$version-setup.exe"
