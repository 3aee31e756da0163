#!/usr/bin/env python3
"""Draws the setup program's images: logo.bmp (the 64 x 64 header logo, 24 bpp) and app.ico
(the icon in 16, 24, 32, 48, 64, 128 and 256 pixels, 32 bpp with alpha).

The mark is a rounded square in the accent blue, lit from the top, with a "T" cut into it in
the window's background colour. Shapes are described in a 64 x 64 design space and sampled
4 x 4 times per pixel, so every size comes out smooth. Standard library only; the output is
the same, byte for byte, on every run.

Usage: python3 draw_images.py [OUTPUT_FOLDER]   (default: the folder of this script)
"""
import os
import struct
import zlib
import sys

BACKGROUND = (22, 24, 26)     # the window background: the logo's corners must be exactly this
ACCENT = (79, 195, 247)
ACCENT_LIGHT = (132, 214, 250)
ACCENT_DARK = (48, 142, 190)
SAMPLES = 4                   # per axis, per pixel
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)


def rounded_square(x, y, left, top, right, bottom, radius):
    """True when design-space point (x, y) lies inside the rounded square."""
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def letter_t(x, y):
    bar = 17 <= x <= 47 and 18 <= y <= 26
    stem = 27.5 <= x <= 36.5 and 18 <= y <= 48
    return bar or stem


def mix(a, b, t):
    return tuple(p + (q - p) * t for p, q in zip(a, b))


def tile_colour(y, edge):
    """Accent with a top-to-bottom light falloff and a slightly brighter rim at the top edge."""
    colour = mix(ACCENT_LIGHT, ACCENT_DARK, min(max((y - 8) / 48, 0.0), 1.0))
    if edge:
        colour = mix(colour, (255, 255, 255), 0.25)
    return colour


def sample(x, y, inset):
    """Colour and coverage (0 or 1) of the mark at one design-space point."""
    low, high = inset, 64 - inset
    if not rounded_square(x, y, low, low, high, high, 12):
        return BACKGROUND, 0.0
    if letter_t(x, y):
        return BACKGROUND, 1.0
    inner = rounded_square(x, y - 1.5, low, low, high, high, 12)
    return tile_colour(y, edge=not inner), 1.0


def render(size, inset):
    """Rows top to bottom of (r, g, b, alpha) tuples, channels 0..255, straight alpha."""
    scale = 64 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0.0, 0.0, 0.0]
            cover = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) * scale
                    y = (py + (sy + 0.5) / SAMPLES) * scale
                    colour, alpha = sample(x, y, inset)
                    cover += alpha
                    for i in range(3):
                        total[i] += colour[i] * alpha
            count = SAMPLES * SAMPLES
            if cover == 0:
                row.append((0, 0, 0, 0))
            else:
                rgb = tuple(int(round(c / cover)) for c in total)
                row.append(rgb + (int(round(255 * cover / count)),))
        rows.append(row)
    return rows


def over_background(pixel):
    r, g, b, a = pixel
    return tuple(int(round(bg + (c - bg) * a / 255)) for c, bg in zip((r, g, b), BACKGROUND))


def logo_bmp():
    """64 x 64, 24 bpp, BI_RGB, bottom-up, on the window background."""
    rows = render(64, inset=6)
    pixels = bytearray()
    for row in reversed(rows):
        for pixel in row:
            r, g, b = over_background(pixel)
            pixels += bytes((b, g, r))
    header = struct.pack("<IiiHHIIiiII", 40, 64, 64, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(pixels), 0, 0, 14 + len(header))
    return file_header + header + bytes(pixels)


def icon_image(size):
    """One icon image: a BITMAPINFOHEADER (double height), BGRA rows bottom-up, the AND mask."""
    rows = render(size, inset=2)
    colour = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            colour += bytes((b, g, r, a))
    stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    return header + bytes(colour) + bytes(mask)


def icon_png(size):
    """One icon image as PNG (8-bit RGBA), which the system reads for the large sizes and which
    keeps the executable small: a 256 px DIB alone would be over 256 KiB."""
    rows = render(size, inset=2)
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            chunk(b"IEND", b""))


# Sizes stored as PNG; the smaller ones stay DIBs, which every part of the system reads. (Under
# Wine a 64 px PNG image stopped the wizard's marquee timer from repainting, so 64 stays a DIB.)
PNG_ICON_MIN_SIZE = 128


def app_ico():
    images = [icon_png(size) if size >= PNG_ICON_MIN_SIZE else icon_image(size) for size in ICON_SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(ICON_SIZES, images):
        side = 0 if size == 256 else size  # 0 stands for 256 in the one-byte fields
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, data in (("logo.bmp", logo_bmp()), ("app.ico", app_ico())):
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
