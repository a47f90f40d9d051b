#!/usr/bin/env python3
"""Writes resources/quillory.ico: one 32x32 image in 16 colours (4 bits per pixel), drawn here
so the icon has a readable source: a blue disc with a white upward arrow (an upload)."""
import struct
import sys

SIZE = 32
# The standard 16-colour palette (B, G, R, reserved).
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128), (128, 128, 0),
    (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255), (255, 0, 0),
    (255, 0, 255), (255, 255, 0), (255, 255, 255),
]  # given as (R, G, B)
BLUE, WHITE, NAVY = 12, 15, 4


def pixel(x, y):
    """Colour index at (x, y) with y = 0 at the top, or None where the icon is transparent."""
    cx = cy = (SIZE - 1) / 2
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if d2 > 15.5 ** 2:
        return None
    if d2 > 14 ** 2:
        return NAVY
    head = 6 <= y <= 15 and abs(x - cx) <= (y - 6) + 0.5
    shaft = 15 < y <= 25 and abs(x - cx) <= 3
    return WHITE if head or shaft else BLUE


def main(path):
    xor_rows, and_rows = [], []
    for y in reversed(range(SIZE)):  # DIB rows go bottom-up
        nibbles = [pixel(x, y) for x in range(SIZE)]
        xor_rows.append(bytes(((a or 0) << 4) | (b or 0) for a, b in zip(nibbles[0::2], nibbles[1::2])))
        bits = 0
        for x, n in enumerate(nibbles):
            if n is None:
                bits |= 1 << (SIZE - 1 - x)
        and_rows.append(struct.pack(">I", bits))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + b"".join(xor_rows) + b"".join(and_rows)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 22)
    with open(path, "wb") as out:
        out.write(directory + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/quillory.ico")
