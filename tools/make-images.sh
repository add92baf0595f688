#!/usr/bin/env bash
# Renders the application icon (16, 32, 48 px) and the 76 x 90 logo bitmap from the
# SVG drawings in res/. The outputs are committed; run this after changing a drawing.
set -euo pipefail
cd "$(dirname "$0")/../res"
for size in 16 32 48 64; do
  rsvg-convert -w "$size" -h "$size" iris.svg -o "irisdesk-$size.png"
done
# The logo: 24 bits per pixel, uncompressed, rows bottom-up, 2834 pixels per metre.
rsvg-convert -w 76 -h 90 logo.svg -o /tmp/irisdesk-logo.png
convert /tmp/irisdesk-logo.png -background '#f0f0f0' -alpha remove -type TrueColor \
  -units PixelsPerCentimeter -density 28.34 BMP3:logo.bmp
rm -f /tmp/irisdesk-logo.png
