#!/usr/bin/env bash
# Checks (or with --fix, applies) the C++ format of .clang-format on every
# tracked source file.
set -euo pipefail
cd "$(dirname "$0")/.."
TORVANE_EXTRA_PKGS="clang-format" tools/install-deps.sh
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i --style=file "${files[@]}"
else
  clang-format --dry-run -Werror --style=file "${files[@]}"
  echo "format: ${#files[@]} files as .clang-format says"
fi
