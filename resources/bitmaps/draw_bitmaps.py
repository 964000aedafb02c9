#!/usr/bin/env python3
"""Draws the main window's button bitmaps and writes them as PNG files next to this script.

    python3 resources/bitmaps/draw_bitmaps.py

Every file is named after its resource id ("188-button-strip.png" is bitmap 188); the build
embeds them into the launcher (cmake/EmbedBitmaps.cmake). Only the standard library is used, so
the drawings can be made again anywhere; run the script after changing it and commit its output.

  188  button face strip: four 88 x 45 frames side by side (normal, focused, pressed, disabled)
  196  Launch icon, 32 x 32          199  Launch icon, disabled
  198  Tools icon, 32 x 32           201  Tools icon, disabled

The icons keep their drawing in the top 24 rows: the button draws its caption below them.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

FRAME_W, FRAME_H = 88, 45
WINDOW_BG = (70, 70, 70)  # the main window's background, seen through the rounded corners
SUPERSAMPLE = 4


# ---------------------------------------------------------------- PNG output

def write_png(path, width, height, pixels):
    """pixels: rows of (r, g, b, a) tuples."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)  # no filter
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# ---------------------------------------------------------------- helpers

def clamp(v):
    return max(0, min(255, int(round(v))))


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def over(dst, src, alpha):
    """Source colour over an opaque destination colour."""
    return tuple(dst[i] * (1 - alpha) + src[i] * alpha for i in range(3))


def coverage(inside, x, y):
    """Fraction of pixel (x, y) for which inside(px, py) holds."""
    n = 0
    for sy in range(SUPERSAMPLE):
        for sx in range(SUPERSAMPLE):
            if inside(x + (sx + 0.5) / SUPERSAMPLE, y + (sy + 0.5) / SUPERSAMPLE):
                n += 1
    return n / (SUPERSAMPLE * SUPERSAMPLE)


def in_round_rect(px, py, x0, y0, x1, y1, r):
    if px < x0 or px > x1 or py < y0 or py > y1:
        return False
    cx = min(max(px, x0 + r), x1 - r)
    cy = min(max(py, y0 + r), y1 - r)
    return (px - cx) ** 2 + (py - cy) ** 2 <= r * r


def in_polygon(px, py, points):
    inside = False
    j = len(points) - 1
    for i in range(len(points)):
        xi, yi = points[i]
        xj, yj = points[j]
        if (yi > py) != (yj > py) and px < (xj - xi) * (py - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def in_circle(px, py, cx, cy, r):
    return (px - cx) ** 2 + (py - cy) ** 2 <= r * r


# ---------------------------------------------------------------- the button strip

def draw_frame(kind):
    """One 88 x 45 face: a rounded, bevelled plate in the window's greys."""
    top, bottom = {
        "normal": ((96, 96, 96), (56, 56, 56)),
        "focused": ((104, 100, 94), (60, 57, 52)),
        "pressed": ((46, 46, 46), (74, 74, 74)),
        "disabled": ((72, 72, 72), (64, 64, 64)),
    }[kind]
    border = {
        "normal": (120, 120, 120),
        "focused": (214, 156, 72),  # an amber rim marks the keyboard focus
        "pressed": (100, 100, 100),
        "disabled": (88, 88, 88),
    }[kind]
    highlight = {"normal": 0.16, "focused": 0.18, "pressed": 0.0, "disabled": 0.05}[kind]
    shadow = {"normal": 0.0, "focused": 0.0, "pressed": 0.35, "disabled": 0.0}[kind]

    r = 5.0
    rows = []
    for y in range(FRAME_H):
        row = []
        for x in range(FRAME_W):
            outer = coverage(lambda px, py: in_round_rect(px, py, 0, 0, FRAME_W, FRAME_H, r), x, y)
            inner = coverage(lambda px, py: in_round_rect(px, py, 1, 1, FRAME_W - 1, FRAME_H - 1, r - 1), x, y)
            t = y / (FRAME_H - 1)
            face = mix(top, bottom, t)
            # A soft light on the upper half (a shadow for the pressed face).
            if y < FRAME_H // 2:
                k = 1 - y / (FRAME_H / 2)
                face = over(face, (255, 255, 255), highlight * k)
                face = over(face, (0, 0, 0), shadow * k)
            colour = over(WINDOW_BG, border, outer)
            colour = over(colour, face, inner)
            row.append((clamp(colour[0]), clamp(colour[1]), clamp(colour[2]), 255))
        rows.append(row)
    return rows


def draw_strip():
    frames = [draw_frame(k) for k in ("normal", "focused", "pressed", "disabled")]
    return [sum((f[y] for f in frames), []) for y in range(FRAME_H)]


# ---------------------------------------------------------------- icons

def render_icon(layers):
    """layers: (inside(px, py), colour) painted in order onto a transparent 32 x 32 image."""
    rows = []
    for y in range(32):
        row = []
        for x in range(32):
            colour, alpha = (0.0, 0.0, 0.0), 0.0
            for inside, c in layers:
                a = coverage(inside, x, y)
                if a == 0:
                    continue
                out_a = a + alpha * (1 - a)
                colour = tuple((c[i] * a + colour[i] * alpha * (1 - a)) / out_a for i in range(3))
                alpha = out_a
            row.append((clamp(colour[0]), clamp(colour[1]), clamp(colour[2]), clamp(alpha * 255)))
        rows.append(row)
    return rows


def rotate(points, cx, cy, degrees):
    a = math.radians(degrees)
    ca, sa = math.cos(a), math.sin(a)
    return [(cx + (x - cx) * ca - (y - cy) * sa, cy + (x - cx) * sa + (y - cy) * ca) for x, y in points]


def launch_layers():
    """A rocket climbing to the upper right, with its flame."""
    cx, cy, tilt = 16.0, 12.5, 40.0
    body = rotate([(16, 1.5), (19.5, 6), (19.5, 17), (12.5, 17), (12.5, 6)], cx, cy, tilt)
    fin_l = rotate([(12.5, 12), (9, 18.5), (12.5, 17)], cx, cy, tilt)
    fin_r = rotate([(19.5, 12), (23, 18.5), (19.5, 17)], cx, cy, tilt)
    flame = rotate([(13.5, 17), (18.5, 17), (16, 23.5)], cx, cy, tilt)
    core = rotate([(14.8, 17), (17.2, 17), (16, 20.5)], cx, cy, tilt)
    wx, wy = rotate([(16, 9)], cx, cy, tilt)[0]
    return [
        (lambda px, py: in_polygon(px, py, flame), (244, 140, 40)),
        (lambda px, py: in_polygon(px, py, core), (255, 226, 110)),
        (lambda px, py: in_polygon(px, py, fin_l), (200, 70, 48)),
        (lambda px, py: in_polygon(px, py, fin_r), (200, 70, 48)),
        (lambda px, py: in_polygon(px, py, body), (232, 232, 236)),
        (lambda px, py: in_circle(px, py, wx, wy, 2.3), (70, 130, 200)),
    ]


def tools_layers():
    """A gear with eight teeth."""
    cx, cy = 16.0, 12.0

    def gear(px, py):
        dx, dy = px - cx, py - cy
        d = math.hypot(dx, dy)
        if d <= 7.2:
            return True
        if d > 10.5:
            return False
        # Teeth: eight 26-degree sectors out to radius 10.5.
        a = (math.degrees(math.atan2(dy, dx)) + 360.0 + 11.25) % 45.0
        return a < 22.5

    return [
        (gear, (196, 198, 204)),
        (lambda px, py: in_circle(px, py, cx, cy, 5.0), (150, 152, 160)),
        (lambda px, py: in_circle(px, py, cx, cy, 3.0), (0, 0, 0)),  # the hole, cut out below
    ]


def cut_hole(rows, cx, cy, r):
    for y in range(32):
        for x in range(32):
            a = coverage(lambda px, py: in_circle(px, py, cx, cy, r), x, y)
            if a:
                red, green, blue, alpha = rows[y][x]
                rows[y][x] = (red, green, blue, clamp(alpha * (1 - a)))
    return rows


def disabled(rows):
    """The greyed form: luminance, darkened and half transparent."""
    out = []
    for row in rows:
        new = []
        for r, g, b, a in row:
            lum = 0.299 * r + 0.587 * g + 0.114 * b
            grey = clamp(lum * 0.55 + 30)
            new.append((grey, grey, grey, clamp(a * 0.6)))
        out.append(new)
    return out


def main():
    write_png(os.path.join(HERE, "188-button-strip.png"), FRAME_W * 4, FRAME_H, draw_strip())
    launch = render_icon(launch_layers())
    tools = cut_hole(render_icon(tools_layers()), 16.0, 12.0, 3.0)
    write_png(os.path.join(HERE, "196-launch-icon.png"), 32, 32, launch)
    write_png(os.path.join(HERE, "199-launch-icon-disabled.png"), 32, 32, disabled(launch))
    write_png(os.path.join(HERE, "198-tools-icon.png"), 32, 32, tools)
    write_png(os.path.join(HERE, "201-tools-icon-disabled.png"), 32, 32, disabled(tools))


if __name__ == "__main__":
    main()
