#!/usr/bin/env bash
# Renders the application icon (16 to 256 px: the window's and the desktop's icon
# theme sizes; the Windows icon's 16, 32, 48), the 76 x 90 logo bitmap and the Windows
# panel's larger logo from the SVG drawings in res/. The outputs are committed; run this
# after changing a drawing.
set -euo pipefail
cd "$(dirname "$0")/../res"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" iris.svg -o "irisdesk-$size.png"
done
# The logo: 24 bits per pixel, uncompressed, rows bottom-up, 2834 pixels per metre.
rsvg-convert -w 76 -h 90 logo.svg -o /tmp/irisdesk-logo.png
convert /tmp/irisdesk-logo.png -background '#f0f0f0' -alpha remove -type TrueColor \
  -units PixelsPerCentimeter -density 28.34 BMP3:logo.bmp
rm -f /tmp/irisdesk-logo.png

# The Windows panel's logo, scaled down at run time to the place the dialog gives it at
# the screen's DPI: three times the size above (enough for 300 %), 32 bits per pixel
# with premultiplied alpha and no background of its own, so that it lies on whatever
# colour the dialog has. Rows bottom-up, as for the 24-bit one.
sed '/<rect /d' logo.svg >"$work/logo.svg"
cp iris.svg "$work/"
rsvg-convert -w 228 -h 270 "$work/logo.svg" -o "$work/logo-3x.png"
convert "$work/logo-3x.png" -depth 8 "rgba:$work/logo-3x.rgba"
python3 - 228 270 "$work/logo-3x.rgba" logo-3x.bmp <<'PY'
import struct, sys
width, height = int(sys.argv[1]), int(sys.argv[2])
rgba = open(sys.argv[3], 'rb').read()
assert len(rgba) == width * height * 4
rows = []
for y in range(height):
    row = bytearray()
    for x in range(width):
        r, g, b, a = rgba[(y * width + x) * 4:(y * width + x) * 4 + 4]
        row += bytes([(b * a + 127) // 255, (g * a + 127) // 255, (r * a + 127) // 255, a])
    rows.append(bytes(row))
pixels = b''.join(reversed(rows))
info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 32, 0, len(pixels), 2834, 2834, 0, 0)
with open(sys.argv[4], 'wb') as f:
    f.write(b'BM' + struct.pack('<IHHI', 14 + len(info) + len(pixels), 0, 0, 14 + len(info)))
    f.write(info + pixels)
PY

# The Windows icon: 48, 32 and 16 px, each at 4, 8 and 24 bits per pixel with a
# transparency mask. Colour images come from ImageMagick; a few lines of Python put
# them together in the .ico layout (colour bitmap at double height, then the mask).
images=()
for size in 48 32 16; do
  rsvg-convert -w "$size" -h "$size" iris.svg -o "$work/$size.png"
  convert "$work/$size.png" -alpha extract -threshold 50% -depth 8 "gray:$work/$size.mask"
  # Opaque pixels over the dialog grey, transparent ones black (the mask shows through).
  convert "$work/$size.png" -background '#f0f0f0' -alpha remove \
    \( "$work/$size.png" -alpha extract -threshold 50% \) -compose multiply -composite "$work/$size-flat.png"
  convert "$work/$size-flat.png" -colors 16 -type Palette "BMP3:$work/$size-4.bmp"
  convert "$work/$size-flat.png" -colors 256 -type Palette "BMP3:$work/$size-8.bmp"
  convert "$work/$size-flat.png" -type TrueColor "BMP3:$work/$size-24.bmp"
  for depth in 4 8 24; do images+=("$size:$work/$size-$depth.bmp:$work/$size.mask"); done
done
python3 - irisdesk.ico "${images[@]}" <<'PY'
import struct, sys
out, images = sys.argv[1], sys.argv[2:]
entries, blobs = [], []
for image in images:
    size, bmp_path, mask_path = image.split(':')
    size = int(size)
    bmp = open(bmp_path, 'rb').read()
    offset = struct.unpack_from('<I', bmp, 10)[0]
    header = bytearray(bmp[14:54])
    bits = struct.unpack_from('<H', header, 14)[0]
    used = struct.unpack_from('<I', header, 32)[0] or (1 << bits if bits <= 8 else 0)
    palette = bmp[54:54 + 4 * used] if bits <= 8 else b''
    stride = ((size * bits + 31) // 32) * 4
    pixels = bmp[offset:offset + stride * size]
    alpha = open(mask_path, 'rb').read()
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray(mask_stride * size)
    for y in range(size):          # bottom-up, like the colour rows
        row = size - 1 - y
        for x in range(size):
            if alpha[row * size + x] < 128:
                mask[y * mask_stride + x // 8] |= 0x80 >> (x % 8)
    struct.pack_into('<i', header, 8, size * 2)
    struct.pack_into('<I', header, 16, 0)           # uncompressed
    struct.pack_into('<I', header, 20, len(pixels) + len(mask))
    struct.pack_into('<I', header, 32, used if bits <= 8 else 0)
    blob = bytes(header) + palette + pixels + bytes(mask)
    entries.append((size, bits, 16 if bits == 4 else 0, blob))
data_offset = 6 + 16 * len(entries)
with open(out, 'wb') as f:
    f.write(struct.pack('<HHH', 0, 1, len(entries)))
    for size, bits, colors, blob in entries:
        f.write(struct.pack('<BBBBHHII', size, size, colors, 0, 1, bits, len(blob), data_offset))
        data_offset += len(blob)
    for *_, blob in entries:
        f.write(blob)
PY
