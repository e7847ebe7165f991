#!/usr/bin/env python3
"""Draws Krev's icons and bitmaps: a tilted red card with a square opening near its top edge,
the same card in grey, the About box banner and its small card picture.

Usage: make_pictures.py OUTPUT_DIR
Writes card_red.ico, card_grey.ico (48x48 in 256 colours, and 16, 20, 24 and 32 pixels in 32-bit
colour with alpha, each drawn for its size so that the shell picks a drawn image rather than
scaling one), banner.bmp (340x140, 24-bit) and small_card.bmp (32x37, 24-bit). Pure Python, so
the build needs no imaging library."""
import math
import os
import struct
import sys

SUPERSAMPLE = 4


class Card:
    """A rounded card turned by `angle` degrees about its centre, with a square opening."""

    def __init__(self, cx, cy, width, height, angle, colour, edge, line=1.6):
        self.cx, self.cy = cx, cy
        self.line = line  # the edge's width in pixels
        self.half_w, self.half_h = width / 2, height / 2
        self.cos, self.sin = math.cos(math.radians(angle)), math.sin(math.radians(angle))
        self.colour, self.edge = colour, edge
        self.radius = min(width, height) * 0.12
        side = height * 0.26
        self.hole = (-side / 2 - width * 0.18, -self.half_h + height * 0.12, side)

    def local(self, x, y):
        dx, dy = x - self.cx, y - self.cy
        return dx * self.cos + dy * self.sin, -dx * self.sin + dy * self.cos

    def inside(self, u, v, inset=0.0):
        hw, hh, r = self.half_w - inset, self.half_h - inset, max(self.radius - inset, 0.5)
        qx, qy = abs(u) - (hw - r), abs(v) - (hh - r)
        if qx <= 0 or qy <= 0:
            return abs(u) <= hw and abs(v) <= hh
        return qx * qx + qy * qy <= r * r

    def in_hole(self, u, v):
        left, top, side = self.hole
        return left <= u <= left + side and top <= v <= top + side

    def shade(self, x, y):
        """Colour at a point, or None outside the card and inside its opening."""
        u, v = self.local(x, y)
        if not self.inside(u, v) or self.in_hole(u, v):
            return None
        if not self.inside(u, v, inset=self.line):
            return self.edge
        left, top, side = self.hole
        rim = self.line * 0.9
        if left - rim <= u <= left + side + rim and top - rim <= v <= top + side + rim:
            return self.edge
        # A gold contact pad and a stripe make it read as a bank card.
        if 0.10 * self.half_w <= u <= 0.55 * self.half_w and -0.15 * self.half_h <= v <= 0.35 * self.half_h:
            return (222, 184, 64)
        if 0.55 * self.half_h <= v <= 0.72 * self.half_h:
            return tuple(max(c - 60, 0) for c in self.colour)
        light = 1.0 + 0.25 * (-v / self.half_h)
        return tuple(min(int(c * light), 255) for c in self.colour)


def render(width, height, shapes, background=None):
    """Supersampled picture: a list of rows of (r, g, b, alpha 0..255)."""
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            acc, hits = [0, 0, 0], 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    px, py = x + (sx + 0.5) / SUPERSAMPLE, y + (sy + 0.5) / SUPERSAMPLE
                    colour = None
                    for shape in shapes:
                        colour = shape.shade(px, py) or colour
                    if colour is None and background is not None:
                        colour = background(px, py)
                    if colour is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += colour[i]
            samples = SUPERSAMPLE * SUPERSAMPLE
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(a // hits for a in acc) + (255 * hits // samples,))
        rows.append(row)
    return rows


def palette_256():
    """A 6x6x6 colour cube and 40 greys."""
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [(round(i * 255 / 39),) * 3 for i in range(40)]
    return cube + greys


def nearest(palette, colour, cache):
    if colour not in cache:
        cache[colour] = min(range(len(palette)),
                            key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))
    return cache[colour]


def icon_image_256(pixels):
    """A 256-colour icon image (BITMAPINFOHEADER, palette, XOR and AND masks)."""
    size = len(pixels)
    palette, cache = palette_256(), {}
    xor_rows, and_rows = [], []
    for row in reversed(pixels):  # bottom-up
        xor_rows.append(bytes(nearest(palette, p[:3], cache) if p[3] >= 128 else 0 for p in row))
        bits = 0
        mask = bytearray()
        for x, p in enumerate(row):
            bits = (bits << 1) | (1 if p[3] < 128 else 0)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        mask += bytes((-len(mask)) % 4)
        and_rows.append(bytes(mask))
    image = b"".join(xor_rows) + b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(image), 0, 0, 256, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + colours + image


def icon_image_alpha(pixels):
    """A 32-bit icon image: premultiplied-free BGRA with its alpha, and an AND mask that
    leaves out the fully transparent pixels (for systems that ignore the alpha)."""
    size = len(pixels)
    colour_rows, and_rows = [], []
    for row in reversed(pixels):  # bottom-up
        colour_rows.append(b"".join(struct.pack("<BBBB", p[2], p[1], p[0], p[3]) for p in row))
        mask = bytearray((size + 7) // 8)
        for x, p in enumerate(row):
            if p[3] == 0:
                mask[x // 8] |= 0x80 >> (x % 8)
        mask += bytes((-len(mask)) % 4)
        and_rows.append(bytes(mask))
    image = b"".join(colour_rows) + b"".join(and_rows)
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(image), 0, 0, 0, 0) + image


def write_icon(path, images):
    """An icon file of several images: [(pixels, bits per pixel 8 or 32)]."""
    bodies = [icon_image_256(pixels) if bits == 8 else icon_image_alpha(pixels) for pixels, bits in images]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (pixels, bits), body in zip(images, bodies):
        size = len(pixels)
        directory += struct.pack("<BBBBHHII", size, size, 0 if bits == 32 else 0, 0, 1, bits, len(body), offset)
        offset += len(body)
    with open(path, "wb") as out:
        out.write(directory + b"".join(bodies))


def write_bitmap(path, pixels, backdrop=(255, 255, 255)):
    height, width = len(pixels), len(pixels[0])
    stride = (width * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for r, g, b, a in row:
            mix = lambda c, d: (c * a + d * (255 - a)) // 255
            line += bytes((mix(b, backdrop[2]), mix(g, backdrop[1]), mix(r, backdrop[0])))
        data += line + bytes(stride - len(line))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    with open(path, "wb") as out:
        out.write(header + info + data)


ICON_SIZES = (16, 20, 24, 32)
RED, RED_EDGE = (214, 36, 44), (120, 10, 18)
GREY, GREY_EDGE = (160, 160, 160), (88, 88, 88)


def main(output):
    os.makedirs(output, exist_ok=True)
    def card_icon(colour, edge):
        # The 48-pixel picture as it always was, then each small size drawn for itself: the
        # card fills more of the square and its edge stays about a pixel wide.
        images = [(render(48, 48, [Card(24, 25, 38, 25, -28, colour, edge)]), 8)]
        for size in ICON_SIZES:
            scale = size / 48
            small = Card(24 * scale, 25 * scale, 44 * scale, 29 * scale, -24, colour, edge, line=max(0.9, 1.6 * scale))
            images.append((render(size, size, [small]), 32))
        return images

    write_icon(os.path.join(output, "card_red.ico"), card_icon(RED, RED_EDGE))
    write_icon(os.path.join(output, "card_grey.ico"), card_icon(GREY, GREY_EDGE))

    def sky(x, y):
        t = y / 140
        return (int(24 + 40 * t), int(72 + 60 * t), int(168 + 60 * t))

    banner_cards = [Card(250, 72, 120, 78, -20, RED, RED_EDGE), Card(110, 80, 70, 46, 14, (240, 240, 240), (90, 90, 90))]
    write_bitmap(os.path.join(output, "banner.bmp"), render(340, 140, banner_cards, background=sky))
    write_bitmap(os.path.join(output, "small_card.bmp"),
                 render(32, 37, [Card(16, 18, 26, 17, -28, RED, RED_EDGE)]), backdrop=(236, 233, 216))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
