#!/usr/bin/env python3
"""Draws the launcher's window and tab icons and writes them as PNG files next to this script.

    python3 resources/bitmaps/draw_icons.py

Same rules as draw_bitmaps.py (whose helpers it uses): every file is named after its resource
id, the build embeds it, and the output is committed.

  128  the program's icon, 32 x 32: a ringed planet (main window, terms dialog)
  197  tools sheet, options tab: three sliders
  202  tools sheet, folders tab: a folder
  203  tools sheet, planet data tab: a planet with a download arrow
"""

import math
import os

from draw_bitmaps import HERE, cut_hole, in_circle, in_polygon, in_round_rect, render_icon, write_png


def in_ellipse_ring(px, py, cx, cy, rx, ry, width, degrees):
    a = math.radians(degrees)
    dx, dy = px - cx, py - cy
    x = dx * math.cos(a) + dy * math.sin(a)
    y = -dx * math.sin(a) + dy * math.cos(a)
    outer = (x / rx) ** 2 + (y / ry) ** 2 <= 1
    inner = (x / (rx - width)) ** 2 + (y / (ry - width * 0.5)) ** 2 <= 1
    return outer and not inner


def ring_front(px, py, cx, cy, rx, ry, width, degrees):
    """The half of the ring that passes in front of the planet."""
    a = math.radians(degrees)
    y = -(px - cx) * math.sin(a) + (py - cy) * math.cos(a)
    return y > 0 and in_ellipse_ring(px, py, cx, cy, rx, ry, width, degrees)


def app_layers():
    cx, cy = 16.0, 16.0
    return [
        (lambda px, py: in_ellipse_ring(px, py, cx, cy, 15.5, 5.5, 2.2, -20), (214, 156, 72)),
        (lambda px, py: in_circle(px, py, cx, cy, 10.0), (56, 110, 176)),
        (lambda px, py: in_circle(px, py, cx - 2.5, cy - 3.0, 5.5) and in_circle(px, py, cx, cy, 10.0),
         (92, 150, 212)),
        (lambda px, py: in_circle(px, py, cx - 4.0, cy - 4.5, 2.0), (170, 204, 236)),
        (lambda px, py: ring_front(px, py, cx, cy, 15.5, 5.5, 2.2, -20), (240, 190, 100)),
    ]


def options_layers():
    layers = []
    for i, knob in enumerate((10.0, 21.0, 14.0)):
        y = 7.0 + i * 9.0
        layers.append((lambda px, py, y=y: in_round_rect(px, py, 3, y - 1.2, 29, y + 1.2, 1.2), (150, 152, 160)))
        layers.append((lambda px, py, y=y, k=knob: in_round_rect(px, py, k - 3, y - 4, k + 3, y + 4, 1.5),
                       (232, 232, 236)))
        layers.append((lambda px, py, y=y, k=knob: in_round_rect(px, py, k - 1, y - 2.5, k + 1, y + 2.5, 0.5),
                       (214, 156, 72)))
    return layers


def folder_layers():
    tab = [(2, 7), (3, 5), (12, 5), (14.5, 8), (2, 8)]
    return [
        (lambda px, py: in_polygon(px, py, tab), (196, 140, 56)),
        (lambda px, py: in_round_rect(px, py, 2, 8, 30, 27, 1.5), (196, 140, 56)),
        (lambda px, py: in_polygon(px, py, [(5, 12), (31, 12), (28, 27), (2, 27)]), (236, 184, 92)),
        (lambda px, py: in_polygon(px, py, [(5, 12), (31, 12), (30.6, 13.5), (4.7, 13.5)]), (248, 214, 140)),
    ]


def planet_data_layers():
    cx, cy = 13.0, 14.0
    arrow = [(21, 15), (27, 15), (27, 22), (31, 22), (24, 30), (17, 22), (21, 22)]
    return [
        (lambda px, py: in_circle(px, py, cx, cy, 11.0), (56, 110, 176)),
        (lambda px, py: in_circle(px, py, cx - 3, cy - 3, 6.0) and in_circle(px, py, cx, cy, 11.0), (92, 150, 212)),
        (lambda px, py: in_polygon(px, py, [(5, 12), (11, 8), (15, 12), (10, 18), (6, 17)]), (96, 168, 88)),
        (lambda px, py: in_polygon(px, py, [(15, 17), (21, 15), (20, 22), (16, 23)]), (96, 168, 88)),
        (lambda px, py: in_polygon(px, py, arrow), (232, 232, 236)),
        (lambda px, py: in_polygon(px, py, [(22.5, 16.5), (25.5, 16.5), (25.5, 23.5), (27.5, 23.5), (24, 27.5),
                                            (20.5, 23.5), (22.5, 23.5)]), (214, 156, 72)),
    ]


def main():
    write_png(os.path.join(HERE, "128-program-icon.png"), 32, 32, render_icon(app_layers()))
    write_png(os.path.join(HERE, "197-options-tab-icon.png"), 32, 32, render_icon(options_layers()))
    write_png(os.path.join(HERE, "202-folders-tab-icon.png"), 32, 32, render_icon(folder_layers()))
    write_png(os.path.join(HERE, "203-planet-data-tab-icon.png"), 32, 32, render_icon(planet_data_layers()))


if __name__ == "__main__":
    main()
