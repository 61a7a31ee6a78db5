#!/usr/bin/env bash
# Renders the PNG icons from torvane.svg (needs ImageMagick). The PNGs are kept
# in the repository, so a build does not need ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
for size in 48 128 256; do
  convert -background none -density 384 torvane.svg -resize "${size}x${size}" \
    -define png:exclude-chunks=date,time "torvane-${size}.png"
done
# The Windows icon: the sizes Explorer and the Start menu ask for, in one file.
convert torvane-256.png -define icon:auto-resize=256,128,48,32,16 ../windows/torvane.ico
