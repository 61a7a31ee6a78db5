#!/usr/bin/env bash
# Installs the Debian packages the Windows build needs, when missing (Qt's
# host tools are Debian's own: qt6-base-dev-tools, and qt6-base-dev for their
# CMake packages).
#   --compiler  only the MinGW-w64 compiler (the quick portability check)
set -euo pipefail
pkgs=(g++-mingw-w64-x86-64-posix ninja-build nsis wine wine64 qt6-base-dev-tools qt6-base-dev
      dpkg-dev cmake make zip xvfb xauth flex bison)
if [ "${1:-}" = "--compiler" ]; then
  pkgs=(g++-mingw-w64-x86-64-posix)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
