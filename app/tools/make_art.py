#!/usr/bin/env python3
"""Makes the program's icon, About logo and completion chime at build time.

    make_art.py ICON.ico LOGO.bmp CHIME.wav

Icon: 32x32, 16 colours; logo: 98x40, 16 colours; both the word ZARVEK in
black block capitals on red, drawn from the pixel font below. Chime: a short
two-note bell, 16-bit mono PCM, under a second.
"""
import math
import struct
import sys

# 5x5 block capitals; '#' is ink.
FONT = {
    "Z": ["#####", "...#.", "..#..", ".#...", "#####"],
    "A": [".###.", "#...#", "#####", "#...#", "#...#"],
    "R": ["####.", "#...#", "####.", "#..#.", "#...#"],
    "V": ["#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "E": ["#####", "#....", "####.", "#....", "#####"],
    "K": ["#...#", "#..#.", "###..", "#..#.", "#...#"],
}

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, RED = 0, 9


def draw_word(pixels, word, left, top, col_widths, row_heights, gap):
    """Draws word into pixels (rows of palette indices), each font cell
    stretched to col_widths x row_heights pixels; returns the right edge."""
    x = left
    for letter in word:
        glyph = FONT[letter]
        y = top
        for r, line in enumerate(glyph):
            cx = x
            for c, cell in enumerate(line):
                if cell == "#":
                    for dy in range(row_heights[r]):
                        for dx in range(col_widths[c]):
                            pixels[y + dy][cx + dx] = BLACK
                cx += col_widths[c]
            y += row_heights[r]
        x += sum(col_widths) + gap
    return x - gap


def word_width(word, col_widths, gap):
    return len(word) * sum(col_widths) + (len(word) - 1) * gap


def canvas(width, height):
    return [[RED] * width for _ in range(height)]


def icon_pixels():
    # 32x32: "ZAR" over "VEK", letters 8x10 so that a margin stays around them.
    cols, rows, gap = [2, 1, 2, 1, 2], [2] * 5, 2
    pixels = canvas(32, 32)
    width, height, line_gap = word_width("ZAR", cols, gap), sum(rows), 3
    top = (32 - (2 * height + line_gap)) // 2
    for i, part in enumerate(("ZAR", "VEK")):
        draw_word(pixels, part, (32 - width) // 2, top + i * (height + line_gap), cols, rows, gap)
    return pixels


def logo_pixels():
    # 98x40: the word on one line, letters 13x25.
    cols, rows, gap = [3, 2, 3, 2, 3], [5] * 5, 3
    pixels = canvas(98, 40)
    width, height = word_width("ZARVEK", cols, gap), sum(rows)
    draw_word(pixels, "ZARVEK", (98 - width) // 2, (40 - height) // 2, cols, rows, gap)
    return pixels


def dib_4bit(pixels, mask_rows):
    """A bottom-up 4-bit DIB (header, palette, bits), with an AND mask after
    the bits when mask_rows is true (icons store height doubled)."""
    height, width = len(pixels), len(pixels[0])
    stride = ((width * 4 + 31) // 32) * 4
    bits = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        for x, index in enumerate(row):
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        bits += line
    mask = bytearray()
    if mask_rows:
        mask_stride = ((width + 31) // 32) * 4
        mask = bytearray(mask_stride * height)  # all 0: every pixel opaque
    header = struct.pack("<IiiHHIIiiII", 40, width, height * (2 if mask_rows else 1), 1, 4, 0,
                         len(bits) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(bits) + bytes(mask)


def write_ico(path, pixels):
    image = dib_4bit(pixels, True)
    width, height = len(pixels[0]), len(pixels)
    data = struct.pack("<HHH", 0, 1, 1)
    data += struct.pack("<BBBBHHII", width, height, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(data + image)


def write_bmp(path, pixels):
    dib = dib_4bit(pixels, False)
    offset = 14 + 40 + 16 * 4
    with open(path, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", 14 + len(dib), 0, 0, offset) + dib)


def write_wav(path):
    rate, seconds = 22050, 0.7
    # Two bell-like notes a major third apart, the second entering after 120 ms;
    # each with a quick attack, an exponential decay and a soft octave partial.
    notes = [(0.0, 1046.50), (0.12, 1318.51)]
    samples = []
    for i in range(int(rate * seconds)):
        t = i / rate
        value = 0.0
        for start, freq in notes:
            u = t - start
            if u < 0:
                continue
            envelope = min(1.0, u / 0.005) * math.exp(-u * 6.0)
            value += envelope * (math.sin(2 * math.pi * freq * u)
                                 + 0.3 * math.sin(2 * math.pi * 2 * freq * u))
        fade = min(1.0, (seconds - t) / 0.05)  # no click at the end
        samples.append(int(max(-1.0, min(1.0, value * 0.35 * fade)) * 32767))
    data = struct.pack("<%dh" % len(samples), *samples)
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(data), b"WAVE", b"fmt ", 16, 1, 1,
                         rate, rate * 2, 2, 16, b"data", len(data))
    with open(path, "wb") as f:
        f.write(header + data)


def main(argv):
    if len(argv) != 4:
        sys.exit("usage: make_art.py ICON.ico LOGO.bmp CHIME.wav")
    write_ico(argv[1], icon_pixels())
    write_bmp(argv[2], logo_pixels())
    write_wav(argv[3])


if __name__ == "__main__":
    main(sys.argv)
