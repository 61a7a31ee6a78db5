#!/bin/sh
# Runs torvane-check over every recorded log of the NIST I++ DME test suite,
# under each profile, and prints which give errors. The recorded sessions of
# correct command files should give none; those of the deliberately broken
# files (parserCmdErrors, checkerCmdErrors) should.
# Usage: tools/check-nist.sh BUILD-DIR SUITE-GIT-DIR-OR-LOG-FOLDER
set -eu
bin="$1/tools/torvane-check"
src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [ -d "$src/ClientServerLogs" ] || ls "$src"/*.log >/dev/null 2>&1; then
  cp "$src"/*.log "$src"/ClientServerLogs/*.log "$tmp"/ 2>/dev/null || true
else
  dir='testSuiteUtilities/I++test_files/ClientServerLogs'
  for f in $(git --git-dir="$src" ls-tree --name-only HEAD "$dir/"); do
    git --git-dir="$src" show "HEAD:$f" > "$tmp/$(basename "$f")"
  done
fi
for profile in 1.4.3 nist 2.x; do
  clean=0; failed=""
  for f in "$tmp"/*.log; do
    if "$bin" --profile "$profile" "$f" >/dev/null 2>&1; then clean=$((clean + 1)); else failed="$failed $(basename "$f")"; fi
  done
  echo "profile $profile: $clean logs without errors; with errors:${failed:- none}"
done
