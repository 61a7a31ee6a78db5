#!/usr/bin/env bash
# Adds a deb-src entry for the Debian mirror apt already uses, so that
# `apt-get source` can fetch Qt's source. Says what it adds.
set -euo pipefail
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  exit 0
fi
uri="http://deb.debian.org/debian"
suite="bookworm"
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  uri="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)"
  suite="$(awk '/^Suites:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)"
elif [ -f /etc/apt/sources.list ]; then
  line="$(grep -m1 -E '^deb ' /etc/apt/sources.list || true)"
  [ -n "$line" ] && { uri="$(echo "$line" | awk '{print $2}')"; suite="$(echo "$line" | awk '{print $3}')"; }
fi
target=/etc/apt/sources.list.d/torvane-deb-src.sources
echo "Adding a deb-src entry for $uri $suite to $target (needed for Qt's source)"
$sudo tee "$target" >/dev/null <<SRC
Types: deb-src
URIs: $uri
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
