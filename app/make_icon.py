#!/usr/bin/env python3
"""Writes korvanit.ico, the program's icon: one 32 x 32 image in 16 colours.

A brown filing chest, seen from the front, with a letter sticking out of its
open drawer. Run from anywhere: python3 app/make_icon.py [OUT.ico]
"""
import os
import struct
import sys

# The 16 standard colours, in their usual order (index: B, G, R).
PALETTE = [
    (0x00, 0x00, 0x00), (0x00, 0x00, 0x80), (0x00, 0x80, 0x00), (0x00, 0x80, 0x80),
    (0x80, 0x00, 0x00), (0x80, 0x00, 0x80), (0x80, 0x80, 0x00), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0x00, 0x00, 0xFF), (0x00, 0xFF, 0x00), (0x00, 0xFF, 0xFF),
    (0xFF, 0x00, 0x00), (0xFF, 0x00, 0xFF), (0xFF, 0xFF, 0x00), (0xFF, 0xFF, 0xFF),
]
# Colour letters of the picture below; "." is transparent.
COLOURS = {
    "k": 0,   # black outline
    "b": 3,   # dark yellow: wood
    "y": 11,  # yellow: light wood, handles
    "g": 8,   # dark grey: shadow
    "s": 7,   # light grey: letter shade
    "w": 15,  # white: letter
    "r": 9,   # red: stamp
    "n": 1,   # dark red: seal
}

PICTURE = [
    "................................",
    "................................",
    "........kkkkkkkkkkkkkkkkk.......",
    "........kwwwwwwwwwwwwwwwk.......",
    "........kwwwwwwwwwwwwrrwk.......",
    "........kwkwwwwwwwwwwrrwk.......",
    "........kwwkwwwwwwwwwwwwk.......",
    "........kwwwkwwwwwwwwkwwk.......",
    "........kwwwwkwwwwwwkwwwk.......",
    "........kwwwwwkwwwwkwwwwk.......",
    "...kkkkkkkkkkkkkkkkkkkkkkkkkk...",
    "...kyyyyyyyyyyyyyyyyyyyyyyyyk...",
    "...kyyyyyyyyyyyyyyyyyyyyyyyykg..",
    "...kkkkkkkkkkkkkkkkkkkkkkkkkkg..",
    "...kbbbbbbbbbbbbbbbbbbbbbbbbkg..",
    "...kbkkkkkkkkkkkkkkkkkkkkkkbkg..",
    "...kbkbbbbbbbbbbbbbbbbbbbbkbkg..",
    "...kbkbbbbbbkkkkkkkbbbbbbbkbkg..",
    "...kbkbbbbbbkyyyyykbbbbbbbkbkg..",
    "...kbkbbbbbbkkkkkkkbbbbbbbkbkg..",
    "...kbkbbbbbbbbbbbbbbbbbbbbkbkg..",
    "...kbkkkkkkkkkkkkkkkkkkkkkkbkg..",
    "...kbbbbbbbbbbbbbbbbbbbbbbbbkg..",
    "...kbkkkkkkkkkkkkkkkkkkkkkkbkg..",
    "...kbkbbbbbbkkkkkkkbbbbbbbkbkg..",
    "...kbkbbbbbbkyyyyykbbbbbbbkbkg..",
    "...kbkbbbbbbkkkkkkkbbbbbbbkbkg..",
    "...kbkkkkkkkkkkkkkkkkkkkkkkbkg..",
    "...kbbbbbbbbbbbbbbbbbbbbbbbbkg..",
    "...kkkkkkkkkkkkkkkkkkkkkkkkkkg..",
    "....gggggggggggggggggggggggggg..",
    "................................",
]


def icon_bytes():
    assert len(PICTURE) == 32 and all(len(row) == 32 for row in PICTURE)
    xor = bytearray()
    mask = bytearray()
    for row in reversed(PICTURE):  # bottom-up, as bitmaps are stored
        for x in range(0, 32, 2):
            hi = COLOURS.get(row[x], 0)
            lo = COLOURS.get(row[x + 1], 0)
            xor.append(hi << 4 | lo)
        bits = 0
        for x, ch in enumerate(row):
            if ch == ".":
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for b, g, r in PALETTE)
    # The height counts the colour image and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "korvanit.ico")
    with open(out, "wb") as f:
        f.write(icon_bytes())


if __name__ == "__main__":
    main()
