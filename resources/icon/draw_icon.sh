#!/bin/sh
# draw_icon.sh <output.png>
#
# Draws the installer's application icon with ImageMagick: a blue rounded
# square with a white play triangle over a film strip. Run by the build, so
# no picture is kept in the repository.
set -eu
if [ $# -ne 1 ]; then
  echo "usage: $0 <output.png>" >&2
  exit 2
fi
out=$1
convert -size 128x128 xc:none \
  -fill '#1f5fd6' -draw 'roundrectangle 6,6 121,121 26,26' \
  -fill '#16459c' -draw 'rectangle 6,92 121,106' \
  -fill '#dfe9ff' \
  -draw 'rectangle 14,96 22,102' -draw 'rectangle 34,96 42,102' \
  -draw 'rectangle 54,96 62,102' -draw 'rectangle 74,96 82,102' \
  -draw 'rectangle 94,96 102,102' -draw 'rectangle 110,96 116,102' \
  -fill white -draw 'polygon 48,30 48,80 90,55' \
  -depth 8 -define png:exclude-chunks=date,time \
  "$out"
