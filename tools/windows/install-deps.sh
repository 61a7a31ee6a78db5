#!/usr/bin/env bash
# Installs the Debian packages the Windows build needs, when missing, through
# the project's own installer (Qt's host tools are Debian's own:
# qt6-base-dev-tools, and qt6-base-dev for their CMake packages).
#   --compiler  only the MinGW-w64 compiler (the quick portability check)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
pkgs="g++-mingw-w64-x86-64-posix"
if [ "${1:-}" != "--compiler" ]; then
  pkgs+=" ninja-build nsis wine wine64 dpkg-dev zip xvfb xauth flex bison"
fi
TORVANE_EXTRA_PKGS="$pkgs${TORVANE_EXTRA_PKGS:+ $TORVANE_EXTRA_PKGS}" exec "$here/../install-deps.sh"
