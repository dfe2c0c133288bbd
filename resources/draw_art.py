#!/usr/bin/env python3
"""Draws every bitmap and the icon of the program into resources/art/.

Needs ImageMagick's `convert` and the DejaVu fonts. Each image is drawn at
its exact size and colour depth: 8-bit palettes never hold the greys
128, 192 and 223, which LR_LOADMAP3DCOLORS would swap for system colours.
Run it after changing the art; the results are committed.
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "art")
BOLD = "DejaVu-Sans-Bold"
SANS = "DejaVu-Sans"

BANNER = "#024df6"      # the label's blue, RGB(2, 77, 246)
BANNER_DARK = "#0137b0"
BODY = "#cfe9fe"        # the confirmation box's ground, RGB(207, 233, 254)
PANEL = "#ffffff"
KEY = "#ff00ff"         # cut out of the window


def convert(args, out_png):
    subprocess.run(["convert"] + args + [out_png], check=True)


def to_bmp(png, name, bits):
    path = os.path.join(OUT, name + ".bmp")
    if bits == 24:
        subprocess.run(["convert", png, "-alpha", "off", "-type", "TrueColor", "-compress", "None",
                        "BMP3:" + path], check=True)
        check_depth(path, 24)
        return
    write_indexed(png, path, bits)
    check_depth(path, bits)


def write_indexed(png, path, bits):
    """A palette BMP of exactly this depth, written here so that the depth
    never follows the number of colours the picture happens to use."""
    size = subprocess.run(["identify", "-format", "%w %h", png], check=True, capture_output=True).stdout.split()
    w, h = int(size[0]), int(size[1])
    colours = (1 << bits) - 6
    raw = subprocess.run(["convert", png, "-alpha", "off", "-dither", "None", "-colors", str(colours),
                          "-depth", "8", "rgb:-"], check=True, capture_output=True).stdout
    palette = []
    index = {}
    pixels = []
    for i in range(0, len(raw), 3):
        rgb = tuple(raw[i:i + 3])
        if rgb in ((128, 128, 128), (192, 192, 192), (223, 223, 223)):
            rgb = (rgb[0], rgb[1], rgb[2] + 1)
        if rgb not in index:
            index[rgb] = len(palette)
            palette.append(rgb)
        pixels.append(index[rgb])
    assert len(palette) <= (1 << bits), (path, len(palette))
    palette += [(0, 0, 0)] * ((1 << bits) - len(palette))
    row_bytes = ((w * bits + 31) // 32) * 4
    rows = []
    for y in range(h - 1, -1, -1):
        line = pixels[y * w:(y + 1) * w]
        if bits == 8:
            row = bytes(line)
        else:
            row = bytes((line[x] << 4) | (line[x + 1] if x + 1 < w else 0) for x in range(0, w, 2))
        rows.append(row + b"\0" * (row_bytes - len(row)))
    body = b"".join(rows)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    offset = 14 + 40 + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, len(body), 2835, 2835, 1 << bits, 0)
    open(path, "wb").write(header + info + table + body)


def check_depth(path, bits):
    data = open(path, "rb").read()
    got = struct.unpack_from("<H", data, 28)[0]
    if got != bits:
        raise SystemExit("%s: %d bits, wanted %d" % (path, got, bits))
    if bits <= 8:
        for i in range(1 << bits):
            at = 14 + 40 + 4 * i
            if (data[at + 2], data[at + 1], data[at]) in ((128, 128, 128), (192, 192, 192), (223, 223, 223)):
                raise SystemExit("%s: palette holds a grey that the loader would replace" % path)


# What each button stands on, shown at its rounded corners: SCAN and
# DOWNLOAD on the window's body, OK and CANCEL on the main window's bottom
# strip (the confirmation box shows them on its body too), YES and NO on the
# confirmation box's body.
BUTTON_GROUND = {"SCAN": BODY, "DOWNLOAD": BODY, "OK": BANNER, "CANCEL": BANNER, "YES": BODY, "NO": BODY}


def button(name, w, h, label, size):
    tmp = tempfile.mkdtemp()
    states = {
        "NOTFOCUS": ("#3b82ff", "#0b44c8", "#08307f", "white"),
        "FOCUS": ("#6aaeff", "#1d62ea", "#ffc928", "white"),
        "DISABLE": ("#d6deeb", "#aebbd0", "#8d9bb4", "#f4f7fb"),
    }
    for state, (top, bottom, border, ink) in states.items():
        if state == "DISABLE" and name not in ("SCAN", "DOWNLOAD"):
            continue
        png = os.path.join(tmp, state + ".png")
        # The gradient only inside the rounded frame; the corners outside it
        # show the ground.
        draw = ["-size", "%dx%d" % (w, h), "xc:" + BUTTON_GROUND[name],
                "(", "-size", "%dx%d" % (w, h), "gradient:%s-%s" % (top, bottom),
                "(", "-size", "%dx%d" % (w, h), "xc:black", "+antialias", "-fill", "white",
                "-draw", "roundrectangle 0,0 %d,%d 4,4" % (w - 1, h - 1), ")",
                "-alpha", "off", "-compose", "CopyOpacity", "-composite", ")",
                "-compose", "over", "-composite",
                "-fill", "none", "-stroke", border, "-strokewidth", "2" if state == "FOCUS" else "1",
                "-draw", "roundrectangle 0,0 %d,%d 4,4" % (w - 1, h - 1)]
        draw += ["-stroke", "none", "-fill", "#00000040", "-font", BOLD, "-pointsize", str(size),
                 "-gravity", "center", "-annotate", "+1+1", label,
                 "-fill", ink, "-annotate", "+0+0", label]
        convert(draw, png)
        to_bmp(png, "%s_%s" % (name, state), 4 if state == "DISABLE" else 8)


def x_button():
    tmp = tempfile.mkdtemp()
    for state, ground in (("NOTFOCUS", "#0b44c8"), ("FOCUS", "#e0302b")):
        png = os.path.join(tmp, state + ".png")
        convert(["-size", "21x21", "xc:" + BANNER, "-fill", ground, "-stroke", "white", "-strokewidth", "1",
                 "-draw", "roundrectangle 1,1 19,19 4,4", "-stroke", "white", "-strokewidth", "2",
                 "-draw", "line 6,6 14,14", "-draw", "line 14,6 6,14"], png)
        to_bmp(png, "X_" + state, 8)


def link(name, w, h, lines, size, ground, inks):
    tmp = tempfile.mkdtemp()
    for state, ink in zip(("NOTFOCUS", "FOCUS"), inks):
        png = os.path.join(tmp, state + ".png")
        args = ["-size", "%dx%d" % (w, h), "xc:" + ground, "-font", BOLD, "-pointsize", str(size), "-fill", ink]
        step = h // len(lines)
        for i, text in enumerate(lines):
            args += ["-gravity", "northwest", "-annotate", "+4+%d" % (i * step + (step - size) // 2 - 1), text]
        if state == "FOCUS":
            args += ["-stroke", ink, "-draw", "line 4,%d %d,%d" % (h - 2, w - 6, h - 2)]
        convert(args, png)
        to_bmp(png, "%s_%s" % (name, state), 24)


def logo():
    tmp = tempfile.mkdtemp()
    for state, ink in (("NOTFOCUS", "white"), ("FOCUS", "#ffd84a")):
        png = os.path.join(tmp, state + ".png")
        convert(["-size", "100x36", "xc:" + BANNER, "-fill", ink, "-stroke", "none",
                 "-draw", "polygon 8,6 20,6 26,18 20,30 8,30 14,18",
                 "-font", BOLD, "-pointsize", "12", "-annotate", "+30+21", "BRENVIK",
                 "-font", SANS, "-pointsize", "8", "-annotate", "+31+33", "software"], png)
        to_bmp(png, "BRENVIKLOGO_" + state, 24)


def pictures():
    tmp = tempfile.mkdtemp()
    ground = "rgb(207,233,254)"
    shapes = {
        152: ["-fill", "#1f6fe8", "-draw", "roundrectangle 4,3 37,28 8,8", "-draw", "polygon 12,27 20,27 10,36",
              "-fill", "white", "-font", BOLD, "-pointsize", "20", "-gravity", "north", "-annotate", "+0+4", "i"],
        153: ["-fill", "#1f6fe8", "-draw", "roundrectangle 4,3 37,28 8,8", "-draw", "polygon 12,27 20,27 10,36",
              "-fill", "white", "-font", BOLD, "-pointsize", "20", "-gravity", "north", "-annotate", "+0+3", "?"],
        154: ["-fill", "#f5b800", "-stroke", "#9a6b00", "-draw", "polygon 21,3 39,36 3,36",
              "-stroke", "none", "-fill", "#222222", "-font", BOLD, "-pointsize", "20", "-gravity", "north",
              "-annotate", "+0+10", "!"],
        155: ["-fill", "#d8261e", "-stroke", "#8c140f", "-draw", "circle 21,20 21,3",
              "-stroke", "white", "-strokewidth", "4", "-draw", "line 14,13 28,27", "-draw", "line 28,13 14,27"],
    }
    for number, draw in shapes.items():
        png = os.path.join(tmp, "%d.png" % number)
        convert(["-size", "42x40", "xc:" + ground] + draw, png)
        to_bmp(png, "picture_%d" % number, 24)


def skin():
    tmp = tempfile.mkdtemp()
    png = os.path.join(tmp, "skin.png")
    w, h = 527, 338
    convert(["-size", "%dx%d" % (w, h), "xc:" + KEY, "+antialias",
             "-fill", BODY, "-draw", "roundrectangle 0,0 %d,%d 14,14" % (w - 1, h - 1),
             "-fill", BANNER, "-draw", "roundrectangle 0,0 %d,60 14,14" % (w - 1),
             "-draw", "rectangle 0,40 %d,60" % (w - 1),
             "-fill", BANNER_DARK, "-draw", "rectangle 0,58 %d,61" % (w - 1),
             "-fill", BANNER, "-draw", "roundrectangle 0,278 %d,%d 14,14" % (w - 1, h - 1),
             "-draw", "rectangle 0,278 %d,300" % (w - 1),
             "-fill", BANNER_DARK, "-draw", "rectangle 0,276 %d,279" % (w - 1),
             "-fill", PANEL, "-stroke", "#8fb8ec", "-draw", "roundrectangle 8,108 518,272 6,6",
             "-stroke", "none", "-antialias", "-fill", "white", "-font", BOLD, "-pointsize", "20",
             "-annotate", "+16+30", "Pellmark",
             "-font", SANS, "-pointsize", "10", "-fill", "#cfe0ff", "-annotate", "+124+29",
             "removal tool 1.0"], png)
    to_bmp(png, "skin", 8)


def icon():
    tmp = tempfile.mkdtemp()
    png = os.path.join(tmp, "icon.png")
    convert(["-size", "32x32", "xc:none", "-fill", BANNER, "-stroke", "#012a8a",
             "-draw", "path 'M 16,2 L 28,7 L 27,18 Q 24,26 16,30 Q 8,26 5,18 L 4,7 Z'",
             "-stroke", "none", "-fill", "white", "-font", BOLD, "-pointsize", "15",
             "-gravity", "center", "-annotate", "+0+0", "P"], png)
    subprocess.run(["convert", png, "-define", "icon:auto-resize=32,16", os.path.join(OUT, "pellmark.ico")],
                   check=True)


def main():
    os.makedirs(OUT, exist_ok=True)
    skin()
    button("SCAN", 180, 33, "SCAN", 16)
    button("DOWNLOAD", 180, 33, "DOWNLOAD", 16)
    for name in ("OK", "CANCEL", "YES", "NO"):
        button(name, 92, 24, name, 11)
    x_button()
    link("DLINK", 350, 43, ["Protect this computer for good: download the",
                            "Orvanta 2000 antivirus and install it today."], 11, PANEL, ("#0a3fb8", "#e0541b"))
    link("ULINK", 350, 28, ["Click here to download other free virus removal tools"], 11, BANNER,
         ("white", "#ffd84a"))
    logo()
    pictures()
    icon()


if __name__ == "__main__":
    sys.exit(main())
