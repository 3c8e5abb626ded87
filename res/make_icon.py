#!/usr/bin/env python3
"""Draws the tool's icon and writes it as res/tovu_stabilizer.ico.

The art: a processor chip with a red push-pin on its die, for "pinned to a
processor". Everything is drawn in a unit square and rasterised per size, so
the small sizes get fewer legs instead of a blur. Standard library only, and
the output is byte-for-byte reproducible.

Images, in the order the executable's icon group carries them:
32x32 4-bit, 48x48 8-bit, 32x32 8-bit, 16x16 8-bit, 256x256 PNG,
48x48 32-bit, 32x32 32-bit, 16x16 32-bit.
"""
import struct
import sys
import zlib
from pathlib import Path

LAYOUT = [(32, 4), (48, 8), (32, 8), (16, 8), (256, "png"), (48, 32), (32, 32), (16, 32)]

NAVY = (0x1C, 0x33, 0x5A)
RIM = (0x3A, 0x6E, 0xA5)
LEG = (0xD8, 0xB0, 0x3C)
DIE = (0xEE, 0xF4, 0xFB)
PIN_RED = (0xD8, 0x2C, 0x20)
PIN_SHINE = (0xFF, 0x9C, 0x8C)
NEEDLE = (0x40, 0x40, 0x48)

# The 16 colours every 4-bit display has.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return (x0, y0, x1, y1), inside


def circle(cx, cy, r):
    return (cx - r, cy - r, cx + r, cy + r), lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    def inside(x, y):
        s1, s2, s3 = side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)
        return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    xs, ys = (a[0], b[0], c[0]), (a[1], b[1], c[1])
    return (min(xs), min(ys), max(xs), max(ys)), inside


def scene(size):
    """The shapes, back to front, as (colour, (bounds, inside))."""
    legs = 3 if size <= 32 else 4
    body0, body1 = 0.17, 0.83
    leg_w = 0.34 / legs if size > 16 else 0.09
    shapes = []
    for i in range(legs):
        t = body0 + (body1 - body0) * (i + 0.5) / legs
        a, b = t - leg_w / 2, t + leg_w / 2
        shapes += [
            (LEG, rounded_rect(a, 0.04, b, 0.30, 0.01)),
            (LEG, rounded_rect(a, 0.70, b, 0.96, 0.01)),
            (LEG, rounded_rect(0.04, a, 0.30, b, 0.01)),
            (LEG, rounded_rect(0.70, a, 0.96, b, 0.01)),
        ]
    shapes += [
        (RIM, rounded_rect(body0, body0, body1, body1, 0.08)),
        (NAVY, rounded_rect(body0 + 0.035, body0 + 0.035, body1 - 0.035, body1 - 0.035, 0.06)),
        (DIE, rounded_rect(0.29, 0.29, 0.71, 0.71, 0.04)),
        (NEEDLE, triangle((0.455, 0.50), (0.545, 0.50), (0.50, 0.68))),
        (PIN_RED, circle(0.50, 0.44, 0.135)),
    ]
    if size >= 32:
        shapes.append((PIN_SHINE, circle(0.455, 0.395, 0.04)))
    return shapes


def render(size):
    """RGBA rows, top first, each pixel (r, g, b, a) with a in 0..255."""
    n = 4 if size <= 48 else 2
    shapes = scene(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = 0.0
            a = 0.0
            for colour, ((x0, y0, x1, y1), inside) in shapes:
                if (px + 1) / size < x0 or px / size > x1 or (py + 1) / size < y0 or py / size > y1:
                    continue
                hits = sum(
                    inside((px + (i + 0.5) / n) / size, (py + (j + 0.5) / n) / size)
                    for i in range(n) for j in range(n))
                if not hits:
                    continue
                cov = hits / (n * n)
                # "over", on premultiplied colour
                r = colour[0] * cov + r * (1 - cov)
                g = colour[1] * cov + g * (1 - cov)
                b = colour[2] * cov + b * (1 - cov)
                a = cov + a * (1 - cov)
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))


def palette_for(rows, bits):
    if bits == 4:
        return VGA16
    colours = sorted({p[:3] for row in rows for p in row if p[3] >= 128})
    if len(colours) > 256:
        colours = sorted({tuple(c // 43 * 43 for c in p) for p in colours})
    return (colours + [(0, 0, 0)] * 256)[:256]


def and_mask(rows, size):
    stride = (size + 31) // 32 * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def dib(rows, size, bits):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    stride = (size * bits + 31) // 32 * 4
    pal = b""
    if bits == 32:
        for row in reversed(rows):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
    else:
        palette = palette_for(rows, bits)
        pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
        cache = {}
        for row in reversed(rows):
            line = bytearray(stride)
            for x, p in enumerate(row):
                index = 0 if p[3] < 128 else cache.setdefault(p[:3], nearest(palette, p[:3]))
                if bits == 8:
                    line[x] = index
                else:
                    line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            xor += line
    mask = and_mask(rows, size)
    header = header[:20] + struct.pack("<I", len(xor) + len(mask)) + header[24:]
    return header + pal + bytes(xor) + mask


def png(rows, size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon_file():
    rendered = {}
    images = []
    for size, kind in LAYOUT:
        if size not in rendered:
            rendered[size] = render(size)
        rows = rendered[size]
        images.append((size, kind, png(rows, size) if kind == "png" else dib(rows, size, kind)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, kind, data in images:
        bits = 32 if kind == "png" else kind
        colours = 16 if bits == 4 else 0
        dim = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def main():
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("tovu_stabilizer.ico")
    target.write_bytes(icon_file())


if __name__ == "__main__":
    main()
