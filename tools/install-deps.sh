#!/usr/bin/env bash
# Installs the Debian packages Torvane needs to build and test, when missing.
set -euo pipefail
pkgs=(qt6-base-dev qt6-base-dev-tools libgl-dev cmake g++ make libpcap-dev tshark)
[ "${TORVANE_EXTRA_PKGS:-}" ] && pkgs+=(${TORVANE_EXTRA_PKGS})
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
