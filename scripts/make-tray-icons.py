#!/usr/bin/env python3
"""Draws the tray icons of the add-in (16x16 and 32x32, 32-bit) into
Tallowby/res/icons/. Run it again after changing a design; the .ico files
are checked in so that the build needs no Python."""
import math
import os
import struct

OUT = os.path.join(os.path.dirname(__file__), "..", "Tallowby", "res", "icons")

GREEN = (40, 160, 60)
GREY = (130, 130, 130)
AMBER = (230, 170, 20)
BLUE = (30, 100, 200)
DARK = (40, 40, 40)
WHITE = (255, 255, 255)
RED = (200, 40, 40)


def canvas(size):
    return [[None] * size for _ in range(size)]


def disc(px, size, colour, radius=0.45):
    c = (size - 1) / 2
    for y in range(size):
        for x in range(size):
            if math.hypot(x - c, y - c) <= radius * size:
                px[y][x] = colour


def ring_dot(px, size, angle, colour):
    c = (size - 1) / 2
    cx = c + math.cos(angle) * size * 0.3
    cy = c + math.sin(angle) * size * 0.3
    for y in range(size):
        for x in range(size):
            if math.hypot(x - cx, y - cy) <= size * 0.13:
                px[y][x] = colour


def bars(px, size, colour):
    for y in range(size // 4, size - size // 4):
        for x in list(range(size // 4, size // 4 + size // 6)) + list(range(size - size // 4 - size // 6, size - size // 4)):
            px[y][x] = colour


def cross(px, size, colour):
    for i in range(size // 4, size - size // 4):
        for d in (0, 1):
            if i + d < size:
                px[i][i + d] = colour
                px[i][size - 1 - i - d] = colour


def design(icon_id, size):
    px = canvas(size)
    if icon_id == 284:      # paused by the user
        disc(px, size, GREY)
        bars(px, size, WHITE)
    elif icon_id == 287:    # running, idle
        disc(px, size, GREEN)
    elif icon_id == 288:    # Exchange offline
        disc(px, size, GREY)
        cross(px, size, RED)
    elif icon_id == 289:    # starting, or a shared folder locked
        disc(px, size, AMBER)
    else:                   # busy animation, 290..301: a dot going round
        disc(px, size, BLUE)
        ring_dot(px, size, (icon_id - 290) * math.pi / 6 - math.pi / 2, WHITE)
    return px


def dib(px, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for row in reversed(px):
        for p in row:
            colour += bytes((p[2], p[1], p[0], 255)) if p else bytes(4)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(px):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def ico(icon_id):
    images = [dib(design(icon_id, s), s) for s in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip((16, 32), images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    os.makedirs(OUT, exist_ok=True)
    for icon_id in [284] + list(range(287, 302)):
        with open(os.path.join(OUT, f"tray{icon_id}.ico"), "wb") as f:
            f.write(ico(icon_id))


if __name__ == "__main__":
    main()
