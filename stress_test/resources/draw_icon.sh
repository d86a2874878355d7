#!/bin/sh
# Draws harnvik.ico (memory rows with a record dot) with ImageMagick. The
# build uses the committed .ico; run this only to change the picture.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
/usr/bin/convert -size 256x256 xc:none \
  -fill '#1d3557' -draw 'roundrectangle 8,8 247,247 40,40' \
  -fill '#a8dadc' -draw 'rectangle 40,56 176,80' -draw 'rectangle 40,100 176,124' \
  -draw 'rectangle 40,144 176,168' -draw 'rectangle 40,188 176,212' \
  -fill '#457b9d' -draw 'rectangle 186,56 214,80' -draw 'rectangle 186,100 214,124' \
  -draw 'rectangle 186,144 214,168' -draw 'rectangle 186,188 214,212' \
  -fill '#e63946' -stroke '#f1faee' -strokewidth 10 -draw 'circle 188,68 188,28' \
  "$tmp/base.png"
# Five 32-bit images: 128, 48, 32, 24 and 16 pixels.
/usr/bin/convert "$tmp/base.png" -define icon:auto-resize=128,48,32,24,16 harnvik.ico
