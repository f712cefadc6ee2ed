#!/bin/sh
# Regenerates resources/logo.bmp (708 x 218) and resources/icon.ico (128 x 128), both 24 bits per
# pixel, from ImageMagick drawing commands. The outputs are committed; run this only to change them.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 708x218 xc:white \
  -fill '#0B3D91' -draw "polygon 20,190 20,28 74,28 109,98 144,28 198,28 198,190 160,190 160,86 120,164 98,164 58,86 58,190" \
  -fill '#E4572E' -draw "rectangle 20,198 198,210" \
  -font "$font" -pointsize 118 -fill '#0B3D91' -annotate +212+160 'ORVEX' \
  -type TrueColor -depth 8 BMP3:"$here/resources/logo.bmp"
convert -size 128x128 xc:'#0B3D91' \
  -fill white -draw "polygon 18,106 18,22 44,22 64,62 84,22 110,22 110,106 92,106 92,52 72,92 56,92 36,52 36,106" \
  -fill '#E4572E' -draw "rectangle 18,112 110,118" \
  -type TrueColor -depth 8 BMP3:"$tmp/icon.bmp"
python3 "$here/tools/bmp_to_ico.py" "$tmp/icon.bmp" "$here/resources/icon.ico"
