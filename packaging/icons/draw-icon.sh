#!/usr/bin/env bash
# Draws the program's icon (src/resources/keynook.png, 64x64) at other sizes
# for the desktop's icon theme. Run by hand once; the build installs the
# PNGs kept beside this script and never runs it.
#
# The shapes are the 64 px icon's, measured in its pixels (edges, not
# centres): a green rounded square, a white ring and a key's shaft and bit.
# Each size is drawn at four times its size and scaled down, for smooth
# edges. Drawn at 64 px it differs from the original by about 1 % (RMSE).
#
#   packaging/icons/draw-icon.sh 48 packaging/icons/keynook-48.png
set -euo pipefail
size=${1:?usage: $0 <size in px> <output.png>}
out=${2:?usage: $0 <size in px> <output.png>}

scale=$(awk -v n="$size" 'BEGIN { print n * 4 / 64 }')
# A point of the 64 px design in ImageMagick's coordinates (pixel centres).
at() { awk -v k="$scale" -v v="$1" 'BEGIN { printf "%.3f", v * k - 0.5 }'; }
# A length of the 64 px design.
len() { awk -v k="$scale" -v v="$1" 'BEGIN { printf "%.3f", v * k }'; }

convert -size $((size * 4))x$((size * 4)) xc:none \
    -fill '#2E7D32' \
    -draw "roundrectangle $(at 4),$(at 4) $(at 61),$(at 61) $(len 13),$(len 13)" \
    -fill none -stroke white -strokewidth "$(len 6.8)" \
    -draw "circle $(at 24.5),$(at 32.5) $(at 24.5),$(at 41.35)" \
    -stroke none -fill white \
    -draw "rectangle $(at 34),$(at 29) $(at 55),$(at 36)" \
    -draw "rectangle $(at 46),$(at 36) $(at 51),$(at 43)" \
    -filter box -resize "${size}x${size}" -depth 8 -strip "PNG32:$out"
