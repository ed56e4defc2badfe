#!/usr/bin/env python3
# Draws the symbol manager's exchange icons (src/ui/icons/nse.png, bse.png): a 16 x 16 rounded
# square in the exchange's colour with its initial in white. Standard library only.
import os
import struct
import sys
import zlib

SIZE = 16
GLYPHS = {  # 5 x 7 letters, one string per row
    "N": ["X...X", "XX..X", "X.X.X", "X..XX", "X...X", "X...X", "X...X"],
    "B": ["XXXX.", "X...X", "X...X", "XXXX.", "X...X", "X...X", "XXXX."],
}


def icon(letter, colour):
    pixels = [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]
    radius = 3
    for y in range(SIZE):
        for x in range(SIZE):
            # Rounded corners: leave out what lies outside the corner circles.
            cx = min(max(x, radius), SIZE - 1 - radius)
            cy = min(max(y, radius), SIZE - 1 - radius)
            if (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius:
                pixels[y][x] = colour + (255,)
    glyph = GLYPHS[letter]
    scale_x, scale_y = 2, 2
    left = (SIZE - 5 * scale_x) // 2
    top = (SIZE - 7 * scale_y) // 2
    for gy, row in enumerate(glyph):
        for gx, mark in enumerate(row):
            if mark != "X":
                continue
            for dy in range(scale_y):
                for dx in range(scale_x):
                    pixels[top + gy * scale_y + dy][left + gx * scale_x + dx] = (255, 255, 255, 255)
    return pixels


def png(pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + b"".join(bytes(p) for p in row) for row in pixels)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src", "ui", "icons")
    os.makedirs(out, exist_ok=True)
    for name, letter, colour in (("nse", "N", (21, 101, 192)), ("bse", "B", (230, 81, 0))):
        with open(os.path.join(out, name + ".png"), "wb") as f:
            f.write(png(icon(letter, colour)))


if __name__ == "__main__":
    main()
