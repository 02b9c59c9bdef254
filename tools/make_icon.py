#!/usr/bin/env python3
"""Draws the Korvantis emblem and writes the icon images of the executable.

A bold light "K" on a dark heater shield with a red rim, on a transparent
background. Writes resources/icon/korvantis-<size>.png (32-bit RGBA) for the
six sizes and resources/korvantis.ico holding those same PNGs, smallest first.

Standard library only, and byte-for-byte deterministic, so the outputs can be
committed and regenerated at will:  python3 tools/make_icon.py [OUTPUT_FOLDER]
"""

import math
import struct
import sys
import zlib
from pathlib import Path

SIZES = (16, 32, 48, 64, 128, 256)

# Rows of coverage samples per pixel; horizontal coverage is exact (analytic spans).
VERTICAL_SAMPLES = 16

OUTLINE = (0x4A, 0x07, 0x10)
RIM_TOP = (0xE2, 0x1B, 0x2D)
RIM_BOTTOM = (0x9C, 0x0C, 0x1A)
FIELD_TOP = (0x2E, 0x31, 0x38)
FIELD_BOTTOM = (0x0E, 0x0F, 0x12)
BEVEL = (0x5C, 0x0B, 0x15)
LETTER_TOP = (0xFA, 0xF7, 0xF2)
LETTER_BOTTOM = (0xD8, 0xD2, 0xCA)
LETTER_ACCENT = (0xF0, 0x2A, 0x3A)


# --- geometry (unit square, y grows downwards) ------------------------------

def cubic(p0, p1, p2, p3, steps):
    points = []
    for i in range(1, steps + 1):
        t = i / steps
        u = 1.0 - t
        points.append((
            u * u * u * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t * t * t * p3[0],
            u * u * u * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t * t * t * p3[1],
        ))
    return points


def shield_outline(left, top, right, bottom, corner):
    """Convex heater shield: straight top and sides, curved flanks meeting in a point."""
    cx = (left + right) / 2.0
    half = (right - left) / 2.0
    flank = top + (bottom - top) * 0.46  # where the sides start to curve in
    pts = []
    # top edge with rounded corners, clockwise on screen starting at the top left
    pts += [(left + corner * (1 - math.cos(a)), top + corner * (1 - math.sin(a)))
            for a in (math.pi / 2 * i / 8 for i in range(0, 9))]
    pts += [(right - corner * (1 - math.cos(a)), top + corner * (1 - math.sin(a)))
            for a in (math.pi / 2 * (8 - i) / 8 for i in range(0, 9))]
    pts.append((right, flank))
    pts += cubic((right, flank), (right, flank + (bottom - flank) * 0.45),
                 (cx + half * 0.55, bottom - (bottom - flank) * 0.22), (cx, bottom), 40)
    pts += cubic((cx, bottom), (cx - half * 0.55, bottom - (bottom - flank) * 0.22),
                 (left, flank + (bottom - flank) * 0.45), (left, flank), 40)
    return pts


def signed_area(poly):
    area = 0.0
    for i, (x0, y0) in enumerate(poly):
        x1, y1 = poly[(i + 1) % len(poly)]
        area += x0 * y1 - x1 * y0
    return area / 2.0


def inset(poly, distance):
    """Shrinks a convex polygon by distance: the intersection of its edges' inner half-planes.

    Clipping stays correct where the distance exceeds a corner's radius, which
    offsetting the vertices would turn into a loop.
    """
    if signed_area(poly) < 0:
        poly = poly[::-1]
    n = len(poly)
    result = list(poly)
    for i in range(n):
        (x0, y0), (x1, y1) = poly[i], poly[(i + 1) % n]
        length = math.hypot(x1 - x0, y1 - y0)
        if length < 1e-12:
            continue
        # inward normal of a positively oriented polygon in y-down coordinates
        nx, ny = -(y1 - y0) / length, (x1 - x0) / length
        limit = nx * x0 + ny * y0 + distance
        result = clip_half_plane(result, nx, ny, limit)
        if not result:
            break
    return result


def clip_half_plane(poly, nx, ny, limit):
    """Keeps the part of poly where nx*x + ny*y >= limit (Sutherland-Hodgman)."""
    out = []
    n = len(poly)
    for i in range(n):
        p, q = poly[i], poly[(i + 1) % n]
        dp = nx * p[0] + ny * p[1] - limit
        dq = nx * q[0] + ny * q[1] - limit
        if dp >= 0:
            out.append(p)
        if (dp >= 0) != (dq >= 0):
            t = dp / (dp - dq)
            out.append((p[0] + (q[0] - p[0]) * t, p[1] + (q[1] - p[1]) * t))
    return out


def letter_k(detailed):
    """Stem, arm and leg of the K as separate convex polygons (drawn as a union).

    The arm and the leg are parallelograms with level ends, so the letter reads
    as cut from plate; the leg starts on the arm, not on the stem, which keeps a
    notch of field between them that survives down to 16 px.
    """
    top, bottom = 0.215, 0.745
    stem = [(0.285, top), (0.415, top), (0.415, bottom), (0.285, bottom)]
    arm = [(0.585, top), (0.745, top), (0.415, 0.600), (0.415, 0.415)]
    leg = [(0.470, 0.545), (0.560, 0.445), (0.770, bottom), (0.605, bottom)]
    if not detailed:
        # Fewer, chunkier parts read better at 16/32 px: thicker strokes on a grid.
        stem = [(0.25, 0.1875), (0.4375, 0.1875), (0.4375, 0.75), (0.25, 0.75)]
        arm = [(0.5625, 0.1875), (0.75, 0.1875), (0.4375, 0.61), (0.4375, 0.40)]
        leg = [(0.46, 0.56), (0.57, 0.43), (0.78, 0.75), (0.59, 0.75)]
    return stem, arm, leg


# --- rasteriser --------------------------------------------------------------

def coverage(size, polygons):
    """Anti-aliased union coverage (0..1 per pixel) of positively oriented polygons."""
    polys = []
    for poly in polygons:
        if signed_area(poly) < 0:
            poly = poly[::-1]
        polys.append([(x * size, y * size) for x, y in poly])
    cov = [0.0] * (size * size)
    weight = 1.0 / VERTICAL_SAMPLES
    for row in range(size):
        base = row * size
        for s in range(VERTICAL_SAMPLES):
            y = row + (s + 0.5) / VERTICAL_SAMPLES
            crossings = []
            for poly in polys:
                n = len(poly)
                for i in range(n):
                    x0, y0 = poly[i]
                    x1, y1 = poly[(i + 1) % n]
                    if (y0 <= y < y1) or (y1 <= y < y0):
                        x = x0 + (y - y0) * (x1 - x0) / (y1 - y0)
                        crossings.append((x, 1 if y1 > y0 else -1))
            if not crossings:
                continue
            crossings.sort()
            winding = 0
            start = 0.0
            for x, direction in crossings:
                before = winding
                winding += direction
                if before == 0 and winding != 0:
                    start = x
                elif before != 0 and winding == 0:
                    add_span(cov, base, size, start, x, weight)
    return [min(1.0, c) for c in cov]


def add_span(cov, base, size, x0, x1, weight):
    x0 = max(0.0, x0)
    x1 = min(float(size), x1)
    if x1 <= x0:
        return
    first = int(x0)
    last = int(x1)
    if first == last:
        cov[base + first] += (x1 - x0) * weight
        return
    cov[base + first] += (first + 1 - x0) * weight
    for px in range(first + 1, min(last, size)):
        cov[base + px] += weight
    if last < size:
        cov[base + last] += (x1 - last) * weight


def vertical_gradient(top_colour, bottom_colour, y0, y1):
    def paint(_x, y):
        t = min(1.0, max(0.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top_colour, bottom_colour))
    return paint


def flat(colour):
    return lambda _x, _y: colour


def composite(size, layers):
    """Paints (coverage, paint) layers over a transparent canvas; premultiplied floats."""
    canvas = [(0.0, 0.0, 0.0, 0.0)] * (size * size)
    for cov, paint in layers:
        for i, c in enumerate(cov):
            if c <= 0.0:
                continue
            y = (i // size + 0.5) / size
            x = (i % size + 0.5) / size
            r, g, b = paint(x, y)
            cr, cg, cb, ca = canvas[i]
            k = 1.0 - c
            canvas[i] = (r * c + cr * k, g * c + cg * k, b * c + cb * k, 255.0 * c + ca * k)
    pixels = bytearray()
    for r, g, b, a in canvas:
        alpha = int(a + 0.5)
        if alpha == 0:
            pixels += b"\0\0\0\0"
            continue
        scale = 255.0 / a
        pixels += bytes((min(255, int(r * scale + 0.5)), min(255, int(g * scale + 0.5)),
                         min(255, int(b * scale + 0.5)), alpha))
    return bytes(pixels)


def draw_emblem(size):
    detailed = size >= 48
    # Widths in pixels: the rim must stay solid at 16/32 px, where a dark outline would only smear it.
    outline_px = size * 0.014 if detailed else 0.0
    rim_px = max(size * 0.055, 1.6 if size <= 16 else 2.0)
    if size <= 16:
        # Whole pixels: the top row and the sides land on pixel edges and stay crisp.
        outer = shield_outline(1 / 16, 0.0, 15 / 16, 1.0, 0.03)
    else:
        outer = shield_outline(0.05, 0.03, 0.95, 0.97, 0.06 if detailed else 0.03)
    rim = inset(outer, outline_px / size)
    field = inset(rim, rim_px / size)
    layers = []
    if detailed:
        layers.append((coverage(size, [outer]), flat(OUTLINE)))
    layers.append((coverage(size, [rim]), vertical_gradient(RIM_TOP, RIM_BOTTOM, 0.0, 1.0)))
    layers.append((coverage(size, [field]), vertical_gradient(FIELD_TOP, FIELD_BOTTOM, 0.05, 0.95)))
    if detailed:
        # Thin dark-red line just inside the rim: a bevel that only large sizes can show.
        bevel_outer = inset(field, 0.018)
        bevel_inner = inset(bevel_outer, max(1.0, size * 0.008) / size)
        ring = coverage(size, [bevel_outer])
        hole = coverage(size, [bevel_inner])
        layers.append(([max(0.0, a - b) for a, b in zip(ring, hole)], flat(BEVEL)))
    stem, arm, leg = letter_k(detailed)
    letter_paint = vertical_gradient(LETTER_TOP, LETTER_BOTTOM, 0.2, 0.75)
    if detailed:
        layers.append((coverage(size, [stem, arm]), letter_paint))
        layers.append((coverage(size, [leg]), flat(LETTER_ACCENT)))
    else:
        # A red leg on the dark field blurs into it at small sizes: the whole K stays light.
        layers.append((coverage(size, [stem, arm, leg]), letter_paint))
    return composite(size, layers)


# --- file formats --------------------------------------------------------------

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def encode_png(size, rgba):
    stride = size * 4
    raw = b"".join(b"\0" + rgba[y * stride:(y + 1) * stride] for y in range(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", zlib.compress(raw, 9)) + png_chunk(b"IEND", b""))


def encode_ico(images):
    """ICO whose entries are whole PNG files (the format Windows Vista and later read)."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, png in images:
        dim = 0 if size >= 256 else size  # 0 means 256 in an icon directory
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(png), offset)
        offset += len(png)
    return directory + entries + b"".join(png for _, png in images)


def main(argv):
    # Optional output folder (the tests draw into a scratch folder); the repository's by default.
    if len(argv) > 2:
        print("usage: make_icon.py [OUTPUT_FOLDER]", file=sys.stderr)
        return 2
    root = Path(argv[1]) if len(argv) == 2 else Path(__file__).resolve().parent.parent / "resources"
    (root / "icon").mkdir(parents=True, exist_ok=True)
    images = []
    for size in SIZES:
        png = encode_png(size, draw_emblem(size))
        (root / "icon" / f"korvantis-{size}.png").write_bytes(png)
        images.append((size, png))
    (root / "korvantis.ico").write_bytes(encode_ico(images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
