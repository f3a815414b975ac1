#!/usr/bin/python3
"""Draw Kestrova's pictures, icons and animations.

Usage: make_images.py [OUTPUT_DIR]     (default: the repo root, beside scripts/)

Writes OUTPUT_DIR/img/... plus fuseum.gif, wifi.gif and velmor_logo.ico at
OUTPUT_DIR's root, where the program also looks for them.  Everything is drawn here from plain
shapes with PIL and the standard library, with no randomness, so every run
gives the same bytes.
"""

import io
import math
import sys
from pathlib import Path

from PIL import Image, ImageDraw

# Shapes are drawn this many times larger, then scaled down, for smooth edges.
SS = 4

NAVY = (29, 53, 87)
BLUE = (47, 109, 181)
SKY = (91, 155, 213)
PALE = (207, 224, 245)
MIST = (232, 240, 250)
WHITE = (255, 255, 255)
GREEN = (46, 158, 91)
PALE_GREEN = (190, 232, 205)
ICON = "#2c4a7a"

# Semi-transparent edge pixels of the animations are blended with this, close
# to the light window background Qt gives a desktop program.
MATTE = (242, 244, 247)


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def hexcolor(rgb):
    return "#{:02x}{:02x}{:02x}".format(*rgb)


def downscale(image, size):
    return image.resize(size, Image.LANCZOS)


# --------------------------------------------------------------------------
# The logo: one list of shapes, written both as SVG and as raster images.
# --------------------------------------------------------------------------

def logo_shapes(simple=False):
    """Shapes of the logo in a 256 x 256 box: a hub wired to its members.

    The simple variant keeps three thick spokes, for 16 px icons.
    """
    cx = cy = 128.0
    count = 3 if simple else 6
    spoke = 10.0 if not simple else 20.0
    orbit = 74.0 if not simple else 68.0
    member = 17.0 if not simple else 26.0
    shapes = [("circle", cx, cy, 124.0, NAVY), ("circle", cx, cy, 112.0, BLUE)]
    points = []
    for i in range(count):
        angle = math.radians(-90 + i * 360.0 / count)
        points.append((cx + orbit * math.cos(angle), cy + orbit * math.sin(angle)))
    if not simple:
        # The ring that links members to each other, not only to the hub.
        for i in range(count):
            (x1, y1), (x2, y2) = points[i], points[(i + 1) % count]
            shapes.append(("line", x1, y1, x2, y2, 6.0, SKY))
    for x, y in points:
        shapes.append(("line", cx, cy, x, y, spoke, WHITE))
    for x, y in points:
        shapes.append(("circle", x, y, member, PALE))
    shapes.append(("circle", cx, cy, 34.0 if not simple else 44.0, WHITE))
    shapes.append(("circle", cx, cy, 16.0 if not simple else 20.0, BLUE))
    return shapes


def logo_svg():
    out = ['<svg xmlns="http://www.w3.org/2000/svg" version="1.1" '
           'width="256" height="256" viewBox="0 0 256 256">']
    for shape in logo_shapes():
        if shape[0] == "circle":
            _, x, y, r, color = shape
            out.append('  <circle cx="{:.1f}" cy="{:.1f}" r="{:.1f}" fill="{}"/>'.format(
                x, y, r, hexcolor(color)))
        else:
            _, x1, y1, x2, y2, width, color = shape
            out.append('  <line x1="{:.1f}" y1="{:.1f}" x2="{:.1f}" y2="{:.1f}" stroke="{}" '
                       'stroke-width="{:.1f}" stroke-linecap="round"/>'.format(
                           x1, y1, x2, y2, hexcolor(color), width))
    out.append("</svg>")
    return ("\n".join(out) + "\n").encode("ascii")


def logo_image(size):
    big = size * SS
    k = big / 256.0
    image = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    for shape in logo_shapes(simple=size <= 16):
        if shape[0] == "circle":
            _, x, y, r, color = shape
            draw.ellipse([(x - r) * k, (y - r) * k, (x + r) * k, (y + r) * k], fill=color)
        else:
            _, x1, y1, x2, y2, width, color = shape
            w = width * k
            draw.line([x1 * k, y1 * k, x2 * k, y2 * k], fill=color, width=int(round(w)))
            for x, y in ((x1, y1), (x2, y2)):  # round caps, as in the SVG
                draw.ellipse([x * k - w / 2, y * k - w / 2, x * k + w / 2, y * k + w / 2], fill=color)
    return downscale(image, (size, size))


def logo_ico():
    sizes = [16, 32, 48, 256]
    images = [logo_image(s) for s in sizes]
    buf = io.BytesIO()
    # Each size is drawn on its own rather than shrunk from 256 px.
    images[-1].save(buf, format="ICO", sizes=[(s, s) for s in sizes], append_images=images[:-1])
    return buf.getvalue()


# --------------------------------------------------------------------------
# The main screen's picture: a small community around a hub.
# --------------------------------------------------------------------------

def person(image, x, y, height, color, outline):
    """A bust standing on the line y, centred on x, ringed with outline so
    that people in front stand out from those behind."""
    head = height * 0.2
    body_w = height * 0.8
    body_top = y - height * 0.5
    head_cy = body_top - head * 1.2
    pad = height * 0.04
    for grow, fill in ((pad, outline), (0.0, color)):
        mask = Image.new("L", image.size, 0)
        draw = ImageDraw.Draw(mask)
        draw.ellipse([x - head - grow, head_cy - head - grow, x + head + grow, head_cy + head + grow], fill=255)
        # Rounded shoulders: the top of a tall rounded box, cut at the ground line.
        draw.rounded_rectangle([x - body_w / 2 - grow, body_top - grow, x + body_w / 2 + grow, y + height],
                               radius=body_w * 0.45 + grow, fill=255)
        draw.rectangle([0, y, image.size[0], image.size[1]], fill=0)
        image.paste(fill, mask=mask)


def people_jpeg():
    width, height = 800, 656
    big_w, big_h = width * 2, height * 2  # JPEG has no alpha: 2x is smooth enough
    k = 2.0
    image = Image.new("RGB", (big_w, big_h), MIST)
    draw = ImageDraw.Draw(image)
    for row in range(big_h):  # sky to a pale floor
        draw.line([0, row, big_w, row], fill=mix((238, 245, 252), (198, 219, 242), row / big_h))

    # Soft discs far behind, for depth.
    for cx, cy, r, t in ((120, 110, 90, 0.5), (700, 150, 120, 0.4), (640, 560, 140, 0.3), (90, 520, 110, 0.35)):
        color = mix((238, 245, 252), (255, 255, 255), t)
        draw.ellipse([(cx - r) * k, (cy - r) * k, (cx + r) * k, (cy + r) * k], fill=color)

    hub = (400.0, 300.0)
    # Members around the hub: back row small and pale, front row larger and deep.
    members = [
        (170, 215, 120, SKY), (400, 148, 110, SKY), (630, 215, 120, SKY),
        (115, 440, 160, BLUE), (685, 440, 160, BLUE),
        (270, 560, 190, NAVY), (530, 560, 190, NAVY),
    ]
    link = mix(SKY, (238, 245, 252), 0.35)
    for x, y, h, _ in members:
        mid = y - h * 0.45
        draw.line([hub[0] * k, hub[1] * k, x * k, mid * k], fill=link, width=int(7 * k))
        for t in (0.35, 0.65):  # messages on their way
            px, py = hub[0] + (x - hub[0]) * t, hub[1] + (mid - hub[1]) * t
            draw.ellipse([(px - 7) * k, (py - 7) * k, (px + 7) * k, (py + 7) * k], fill=WHITE)
            draw.ellipse([(px - 4) * k, (py - 4) * k, (px + 4) * k, (py + 4) * k], fill=SKY)

    # The hub: halo rings, a disc, and the logo's wiring in white.
    for r, t in ((112, 0.82), (94, 0.65), (78, 0.4)):
        color = mix(BLUE, (238, 245, 252), t)
        draw.ellipse([(hub[0] - r) * k, (hub[1] - r) * k, (hub[0] + r) * k, (hub[1] + r) * k], fill=color)
    r = 62
    draw.ellipse([(hub[0] - r) * k, (hub[1] - r) * k, (hub[0] + r) * k, (hub[1] + r) * k], fill=BLUE)
    for i in range(6):
        angle = math.radians(-90 + i * 60)
        px, py = hub[0] + 34 * math.cos(angle), hub[1] + 34 * math.sin(angle)
        draw.line([hub[0] * k, hub[1] * k, px * k, py * k], fill=WHITE, width=int(5 * k))
        draw.ellipse([(px - 8) * k, (py - 8) * k, (px + 8) * k, (py + 8) * k], fill=PALE)
    draw.ellipse([(hub[0] - 15) * k, (hub[1] - 15) * k, (hub[0] + 15) * k, (hub[1] + 15) * k], fill=WHITE)

    for x, y, h, color in members:
        shadow = mix((198, 219, 242), NAVY, 0.12)
        draw.ellipse([(x - h * 0.5) * k, (y - h * 0.06) * k, (x + h * 0.5) * k, (y + h * 0.06) * k], fill=shadow)
        person(image, x * k, y * k, h * k, color, WHITE)

    # Stored at the size the main screen shows it: every extra pixel is decoded
    # at each start of the program.
    image = downscale(image, (width // 2, height // 2))
    buf = io.BytesIO()
    image.save(buf, format="JPEG", quality=86, optimize=True, subsampling=2)
    return buf.getvalue()


# --------------------------------------------------------------------------
# Animated GIFs on a transparent background.
# --------------------------------------------------------------------------

TRANSPARENT = 255
# Flat shapes need few shades; fewer colours also keep the files small.
COLOURS = 64


def gif(frames, duration):
    """Encode RGBA frames as a looping GIF with one shared palette.

    GIF transparency is all or nothing: pixels under half opacity become
    transparent, the rest are blended with MATTE.  One palette for all frames
    keeps the colours steady from frame to frame.
    """
    width, height = frames[0].size
    flat = []
    for frame in frames:
        solid = Image.new("RGB", frame.size, MATTE)
        solid.paste(frame, mask=frame.getchannel("A"))
        flat.append(solid)
    sheet = Image.new("RGB", (width, height * len(flat)))
    for i, solid in enumerate(flat):
        sheet.paste(solid, (0, i * height))
    palette = sheet.quantize(colors=COLOURS, method=Image.MEDIANCUT, dither=Image.NONE)
    entries = palette.getpalette()[:COLOURS * 3]
    entries += [0, 0, 0] * (TRANSPARENT - COLOURS)
    entries += [255, 0, 255]  # the transparent slot, far from every colour drawn
    palette.putpalette(entries)

    encoded = []
    for frame, solid in zip(frames, flat):
        indexed = solid.quantize(palette=palette, dither=Image.NONE)
        clear = frame.getchannel("A").point(lambda a: 255 if a < 128 else 0)
        indexed.paste(TRANSPARENT, mask=clear)
        indexed.info["transparency"] = TRANSPARENT
        encoded.append(indexed)
    buf = io.BytesIO()
    encoded[0].save(buf, format="GIF", save_all=True, append_images=encoded[1:], loop=0,
                    duration=duration, disposal=2, transparency=TRANSPARENT, optimize=False)
    return buf.getvalue()


def canvas(width, height):
    image = Image.new("RGBA", (width * SS, height * SS), (0, 0, 0, 0))
    return image, ImageDraw.Draw(image)


def disc(draw, cx, cy, r, color):
    draw.ellipse([(cx - r) * SS, (cy - r) * SS, (cx + r) * SS, (cy + r) * SS], fill=color)


def loading_gif():
    width, height, dots, steps = 300, 200, 12, 12
    frames = []
    for step in range(steps):
        image, draw = canvas(width, height)
        for i in range(dots):
            # The leading dot is deepest, the trail fades towards pale blue.
            age = (step - i) % dots
            color = mix(BLUE, PALE, age / (dots - 1.0))
            radius = 10.0 - 3.5 * age / (dots - 1.0)
            angle = math.radians(-90 + i * 360.0 / dots)
            disc(draw, width / 2 + 48 * math.cos(angle), height / 2 + 48 * math.sin(angle), radius, color)
        frames.append(downscale(image, (width, height)))
    return gif(frames, 80)


def fuseum_gif():
    size, steps = 130, 16
    c = size / 2.0
    frames = []
    for step in range(steps):
        phase = step / float(steps)
        image, draw = canvas(size, size)
        # A ring spreads out of the disc and fades away: "ready, come in".
        spread = phase
        ring_r = 44 + 19 * spread
        ring_color = mix(GREEN, PALE_GREEN, spread)
        ring_w = 5.0 * (1.0 - spread) + 1.0
        if spread < 0.95:
            draw.ellipse([(c - ring_r) * SS, (c - ring_r) * SS, (c + ring_r) * SS, (c + ring_r) * SS],
                         outline=ring_color, width=int(ring_w * SS))
        pulse = 1.0 + 0.06 * math.sin(2 * math.pi * phase)
        r = 42 * pulse
        disc(draw, c, c, r + 3, mix(GREEN, (20, 90, 50), 0.4))
        disc(draw, c, c, r, GREEN)
        # The check mark, scaled with the disc.
        pts = [(-18, 1), (-6, 13), (19, -12)]
        pts = [((c + x * pulse) * SS, (c + y * pulse) * SS) for x, y in pts]
        w = 9 * pulse * SS
        draw.line(pts, fill=WHITE, width=int(w), joint="curve")
        for x, y in (pts[0], pts[-1]):
            draw.ellipse([x - w / 2, y - w / 2, x + w / 2, y + w / 2], fill=WHITE)
        frames.append(downscale(image, (size, size)))
    return gif(frames, 70)


def wifi_gif():
    size = 335
    cx, cy = size / 2.0, 250.0
    radii = (70.0, 125.0, 180.0)
    thickness = 28.0
    # Waves light up one after the other, hold, then start again.
    levels = []
    for stage in range(4):
        for sub in range(3):
            levels.append(stage + (sub + 1) / 3.0)
    levels += [4.0] * 5
    frames = []
    for level in levels:
        image, draw = canvas(size, size)
        dot_on = min(1.0, level)
        disc(draw, cx, cy, 22, mix(PALE, BLUE, dot_on))
        for i, r in enumerate(radii):
            on = min(1.0, max(0.0, level - (i + 1)))
            color = mix(PALE, BLUE, on)
            box = [(cx - r) * SS, (cy - r) * SS, (cx + r) * SS, (cy + r) * SS]
            draw.arc(box, 225, 315, fill=color, width=int(thickness * SS))
            # Round ends, centred on the middle of the stroke.
            mid = r - thickness / 2
            for deg in (225, 315):
                a = math.radians(deg)
                disc(draw, cx + mid * math.cos(a), cy + mid * math.sin(a), thickness / 2, color)
        frames.append(downscale(image, (size, size)))
    return gif(frames, 110)


# --------------------------------------------------------------------------
# Single-colour toolbar icons.
# --------------------------------------------------------------------------

def icon(body):
    return ('<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="64" height="64" '
            'viewBox="0 0 64 64">\n' + body + "</svg>\n").encode("ascii")


def icons():
    fill = 'fill="{}"'.format(ICON)
    return {
        # A picture frame: outline, sun and hills.
        "image-regular.svg": icon(
            '  <path {} fill-rule="evenodd" d="M10 8 H54 A6 6 0 0 1 60 14 V50 A6 6 0 0 1 54 56 H10 '
            'A6 6 0 0 1 4 50 V14 A6 6 0 0 1 10 8 Z M11 14 A1 1 0 0 0 10 15 V49 A1 1 0 0 0 11 50 H53 '
            'A1 1 0 0 0 54 49 V15 A1 1 0 0 0 53 14 Z"/>\n'
            '  <circle {} cx="22" cy="24" r="5"/>\n'
            '  <path {} d="M14 46 L25 33 L32 40 L41 28 L50 46 Z"/>\n'.format(fill, fill, fill)),
        # Two people, the second one standing behind the first.
        "users-solid.svg": icon(
            '  <circle {} cx="46" cy="20" r="8"/>\n'
            '  <path {} d="M45 56 V33 H49 A11 11 0 0 1 60 44 V56 Z"/>\n'
            '  <circle {} cx="24" cy="19" r="10"/>\n'
            '  <path {} d="M6 56 V46 A13 13 0 0 1 19 33 H29 A13 13 0 0 1 42 46 V56 Z"/>\n'.format(
                fill, fill, fill, fill)),
        # An open folder: the back with its tab, the front flap tipped forward.
        "folder-open-solid.svg": icon(
            '  <path {} d="M4 13 A4 4 0 0 1 8 9 H22 L28 15 H48 A4 4 0 0 1 52 19 V24 H17 '
            'A5 5 0 0 0 12.4 27 L4 46 Z"/>\n'
            '  <path {} d="M17 29 H59 A2.5 2.5 0 0 1 61.3 32.5 L52.5 53 A4 4 0 0 1 48.8 55 H5.5 '
            'A2.5 2.5 0 0 1 3.2 51.5 L12.4 31.5 A4 4 0 0 1 17 29 Z"/>\n'.format(fill, fill)),
        # Three boxes wired together.
        "network-wired-solid.svg": icon(
            '  <rect {} x="22" y="4" width="20" height="16" rx="3"/>\n'
            '  <rect {} x="2" y="44" width="20" height="16" rx="3"/>\n'
            '  <rect {} x="42" y="44" width="20" height="16" rx="3"/>\n'
            '  <path {} d="M30 20 H34 V29 H54 V44 H50 V33 H14 V44 H10 V29 H30 Z"/>\n'.format(
                fill, fill, fill, fill)),
    }


def main(argv):
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    img = root / "img"
    img.mkdir(parents=True, exist_ok=True)
    outputs = {
        img / "people.jpeg": people_jpeg(),
        img / "velmor_logo.svg": logo_svg(),
        img / "velmor_logo.ico": logo_ico(),
        img / "loading.gif": loading_gif(),
    }
    fuseum, wifi = fuseum_gif(), wifi_gif()
    for folder in (root, img):  # the program looks in both places
        outputs[folder / "fuseum.gif"] = fuseum
        outputs[folder / "wifi.gif"] = wifi
    # The Windows builds' application-wide icon, beside the registry.
    outputs[root / "velmor_logo.ico"] = outputs[img / "velmor_logo.ico"]
    for name, data in icons().items():
        outputs[img / name] = data
    for path in sorted(outputs):
        path.write_bytes(outputs[path])
        print("{:8d}  {}".format(len(outputs[path]), path))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
