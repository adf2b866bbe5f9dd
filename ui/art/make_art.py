#!/usr/bin/env python3
"""Draws the program's pictures: the banner bitmap and the three icon files.

Pure Python 3 standard library, no input files: change a colour or a shape
here and run it again (python3 ui/art/make_art.py) to regenerate
  banner.bmp      402 x 102, 8 bits per pixel (the main dialog's banner)
  program.ico     16/32 at 4, 8, 32 bpp and 48 at 8, 32 bpp (the file's icon)
  small.ico       16 at 4, 8, 32 bpp (the main dialog's small icon)
  about.ico       32 at 8, 32 bpp (the About box's icon)
The output is deterministic, so regenerating unchanged art changes no byte.
"""
import math
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# --- colours and palettes -------------------------------------------------

# The 16 colours every Windows system has; 4-bit icons use them.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def palette256():
    """A 6x6x6 colour cube followed by 40 greys: good enough for dithered art."""
    levels = [0, 51, 102, 153, 204, 255]
    pal = [(r, g, b) for r in levels for g in levels for b in levels]
    for i in range(40):
        v = round(i * 255 / 39)
        pal.append((v, v, v))
    return pal


PAL256 = palette256()

BAYER4 = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


def nearest(pal, rgb, cache):
    hit = cache.get(rgb)
    if hit is None:
        r, g, b = rgb
        hit = min(range(len(pal)),
                  key=lambda i: (pal[i][0] - r) ** 2 + (pal[i][1] - g) ** 2 + (pal[i][2] - b) ** 2)
        cache[rgb] = hit
    return hit


def quantize(pixels, width, height, pal, spread):
    """Ordered dithering onto `pal`; `pixels` rows top-down of (r, g, b)."""
    cache = {}
    exact = {c: i for i, c in reversed(list(enumerate(pal)))}
    out = []
    for y in range(height):
        row = []
        for x in range(width):
            r, g, b = pixels[y][x][:3]
            if (r, g, b) in exact:
                row.append(exact[(r, g, b)])
                continue
            d = (BAYER4[y % 4][x % 4] / 16.0 - 0.5) * spread
            rgb = tuple(max(0, min(255, int(round(c + d)))) for c in (r, g, b))
            row.append(nearest(pal, rgb, cache))
        out.append(row)
    return out


# --- drawing helpers ------------------------------------------------------

def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def over(dst, src, alpha):
    """Paints `src` (rgb) with coverage `alpha` over `dst` (rgba)."""
    if alpha <= 0:
        return dst
    a0 = dst[3] / 255.0
    a = alpha + a0 * (1 - alpha)
    if a <= 0:
        return (0, 0, 0, 0)
    rgb = [(src[i] * alpha + dst[i] * a0 * (1 - alpha)) / a for i in range(3)]
    return (rgb[0], rgb[1], rgb[2], a * 255)


def coverage(dist, px):
    """Anti-aliased coverage of a shape given its signed distance (negative inside)."""
    return max(0.0, min(1.0, 0.5 - dist / px))


def seg_dist(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - ax - vx * t, py - ay - vy * t)


def worm_points(n=40):
    """Centre line of the worm: a wave across the icon, in unit coordinates."""
    return [(0.18 + 0.64 * i / (n - 1), 0.56 + 0.11 * math.sin(i / (n - 1) * 2.6 * math.pi))
            for i in range(n)]


WORM = worm_points()


def icon_pixel(u, v, px):
    """Colour (r, g, b, a) of the icon at unit coordinates (u, v); px = one pixel in units."""
    col = (0, 0, 0, 0)
    # Round blue badge with a lighter rim.
    d = math.hypot(u - 0.5, v - 0.5) - 0.47
    col = over(col, mix((40, 110, 220), (10, 40, 130), v), coverage(d, px))
    col = over(col, (180, 210, 255), coverage(abs(d + 0.03) - 0.015, px) * 0.8)
    # The worm: a fat green wave with a darker head.
    wd = min(seg_dist(u, v, *WORM[i], *WORM[i + 1]) for i in range(len(WORM) - 1)) - 0.075
    col = over(col, (60, 200, 70), coverage(wd, px))
    hd = math.hypot(u - WORM[-1][0], v - WORM[-1][1]) - 0.095
    col = over(col, (20, 120, 30), coverage(hd, px))
    # Red stroke across it: the worm is being removed.
    sd = seg_dist(u, v, 0.22, 0.22, 0.78, 0.78) - 0.06
    col = over(col, (230, 30, 30), coverage(sd, px))
    return col


def render_icon(size):
    """Supersampled RGBA rows, top-down."""
    ss = 4
    px = 1.0 / size
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    u = (x + (sx + 0.5) / ss) / size
                    v = (y + (sy + 0.5) / ss) / size
                    c = icon_pixel(u, v, px)
                    a = c[3] / 255.0
                    for i in range(3):
                        acc[i] += c[i] * a
                    acc[3] += a
            n = ss * ss
            a = acc[3] / n
            if a > 0:
                rgb = [acc[i] / acc[3] for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((int(round(rgb[0])), int(round(rgb[1])), int(round(rgb[2])), int(round(a * 255))))
        rows.append(row)
    return rows


# 5 x 7 capitals for the banner's lettering.
FONT = {
    'A': ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'I': ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    'M': ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    'N': ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    'O': ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    'Q': ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    'R': ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    'T': ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    'U': ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    'V': ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    'W': ["10001", "10001", "10001", "10101", "10101", "11011", "10001"],
    'X': ["10001", "10001", "01010", "00100", "01010", "10001", "10001"],
    '.': ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
    ' ': ["00000"] * 7,
}


def draw_text(img, text, x0, y0, scale, colour, shadow=None):
    for pass_colour, off in ((shadow, max(1, scale // 2)), (colour, 0)):
        if pass_colour is None:
            continue
        x = x0
        for ch in text:
            glyph = FONT[ch]
            for gy, line in enumerate(glyph):
                for gx, bit in enumerate(line):
                    if bit != '1':
                        continue
                    for dy in range(scale):
                        for dx in range(scale):
                            yy, xx = y0 + gy * scale + dy + off, x + gx * scale + dx + off
                            if 0 <= yy < len(img) and 0 <= xx < len(img[0]):
                                img[yy][xx] = pass_colour
            x += 6 * scale


BANNER_W, BANNER_H = 402, 102
# The lower band is left quiet: the progress bar and its label lie over it.
BAND_TOP = 70
BUTTON_FACE = (242, 242, 242)  # a grey of the palette: no dithering there


def render_banner():
    img = []
    for y in range(BANNER_H):
        row = []
        for x in range(BANNER_W):
            if y >= BAND_TOP:
                row.append(BUTTON_FACE)
            elif y >= BAND_TOP - 3:
                row.append((120, 150, 200))
            else:
                t = x / (BANNER_W - 1)
                row.append(tuple(int(c) for c in mix(mix((12, 36, 110), (20, 120, 170), t),
                                                        (8, 24, 70), y / BAND_TOP * 0.6)))
        img.append(row)
    draw_text(img, "WORM.QUELLIX", 14, 10, 4, (255, 255, 255), shadow=(5, 15, 45))
    draw_text(img, "REMOVAL TOOL", 16, 46, 2, (200, 225, 255))
    draw_text(img, "NORVEX", 16 + 6 * 2 * 13, 46, 2, (255, 210, 90))
    # The icon on the right, blended onto the gradient.
    icon = render_icon(56)
    ox, oy = BANNER_W - 56 - 14, 6
    for y in range(56):
        for x in range(56):
            r, g, b, a = icon[y][x]
            bg = img[oy + y][ox + x]
            img[oy + y][ox + x] = tuple(int(round(c)) for c in mix(bg, (r, g, b), a / 255.0))
    return img


# --- file writers ---------------------------------------------------------

def bmp_rows_8bpp(indices, width):
    """Bottom-up rows of byte indices, each padded to 4 bytes."""
    stride = (width + 3) & ~3
    return b"".join(bytes(row) + b"\0" * (stride - width) for row in reversed(indices))


def write_banner(path):
    img = render_banner()
    indices = quantize(img, BANNER_W, BANNER_H, PAL256, 40)
    bits = bmp_rows_8bpp(indices, BANNER_W)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PAL256)
    header = struct.pack("<IiiHHIIiiII", 40, BANNER_W, BANNER_H, 1, 8, 0, len(bits), 2835, 2835, 256, 0)
    offset = 14 + len(header) + len(palette)
    with open(path, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset))
        f.write(header + palette + bits)


def and_mask(rgba, size):
    """1-bit mask rows, bottom-up, padded to 32 bits: 1 where the icon is transparent."""
    stride = ((size + 31) // 32) * 4
    out = b""
    for row in reversed(rgba):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def icon_image(rgba, size, bpp):
    """One icon image: BITMAPINFOHEADER (double height), palette, colour bits, mask."""
    if bpp == 32:
        colour = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rgba) for p in row)
        palette = b""
        ncolours = 0
    else:
        pal = VGA16 if bpp == 4 else PAL256
        opaque = [[p if p[3] >= 128 else (0, 0, 0, 0) for p in row] for row in rgba]
        idx = quantize(opaque, size, size, pal, 0 if bpp == 4 else 24)
        for y in range(size):
            for x in range(size):
                if rgba[y][x][3] < 128:
                    idx[y][x] = 0  # black under the mask: transparent
        palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in pal)
        ncolours = len(pal)
        if bpp == 8:
            colour = bmp_rows_8bpp(idx, size)
        else:
            stride = ((size * 4 + 31) // 32) * 4
            colour = b""
            for row in reversed(idx):
                line = bytearray(stride)
                for x, i in enumerate(row):
                    line[x // 2] |= i << (4 if x % 2 == 0 else 0)
                colour += bytes(line)
    mask = and_mask(rgba, size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, len(colour) + len(mask), 0, 0,
                         0 if bpp == 32 else ncolours, 0)
    return header + palette + colour + mask


def write_icon(path, images):
    """`images`: list of (size, bpp), written in that order."""
    rendered = {}
    blobs = []
    for size, bpp in images:
        if size not in rendered:
            rendered[size] = render_icon(size)
        blobs.append((size, bpp, icon_image(rendered[size], size, bpp)))
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for size, bpp, blob in blobs:
        colours = 16 if bpp == 4 else 0
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(b for _, _, b in blobs))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else HERE
    write_banner(os.path.join(out, "banner.bmp"))
    write_icon(os.path.join(out, "program.ico"),
               [(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32)])
    write_icon(os.path.join(out, "small.ico"), [(16, 4), (16, 8), (16, 32)])
    write_icon(os.path.join(out, "about.ico"), [(32, 8), (32, 32)])


if __name__ == "__main__":
    main()
