#!/usr/bin/env bash
# Renders the program's icon (src/ui/skin/kestrune.svg) at the sizes desktops look for in
# the hicolor theme; the PNGs are committed so that a build needs no SVG renderer.
# Needs librsvg2-bin (rsvg-convert).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "$here/icons/${size}x${size}"
    rsvg-convert -w "$size" -h "$size" "$here/../src/ui/skin/kestrune.svg" \
        -o "$here/icons/${size}x${size}/org.kestrune.Halvardine.png"
done
