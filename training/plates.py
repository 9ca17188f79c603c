"""Detector windows cut from whole-plate crops, the input a plate reader gets.

Real plate crops defeat the detector in ways the general scenes rarely show:
the plate fills the frame, so its characters are 120-260 px high once the crop
is enlarged to 768; the typefaces are tall and narrow; the characters are
stamped (a shadow and a highlight beside every stroke) and printed over
scenery (sky, mountains, rainbows, fruit, flags between the groups).  On such
crops the detector finds the characters but is not sure of them, and the
0.75 mean-probability rule drops them.  plate_window() cuts detector windows
and plate_rec_samples() recogniser crops from such plates; train_det.py and
train_rec.py --plates mix them into the usual data.
"""
import math
import os

import cv2
import numpy as np

import config as C
import fonts as FO
import synth


def _colour(rng, lo=0, hi=255):
    return tuple(float(v) for v in rng.uniform(lo, hi, 3))


def _sky(rng, panel, ph, pw):
    top, bottom = np.array(_colour(rng, 60, 255)), np.array(_colour(rng, 150, 255))
    t = np.linspace(0, 1, ph, dtype=np.float32)[:, None, None]
    a = rng.uniform(0.4, 1.0)
    panel[:] = panel * (1 - a) + (top * (1 - t) + bottom * t) * a


def _mountains(rng, panel, ph, pw):
    for _ in range(int(rng.integers(1, 4))):
        base = ph * rng.uniform(0.55, 1.0)
        n = int(rng.integers(3, 9))
        xs = np.linspace(0, pw, n + 2)
        ys = base - rng.uniform(0.1, 0.6, n + 2) * ph
        pts = [(0, ph)] + list(zip(xs, ys)) + [(pw, ph)]
        layer = panel.copy()
        cv2.fillPoly(layer, [np.round(np.array(pts)).astype(np.int32)], _colour(rng, 40, 230), cv2.LINE_AA)
        a = rng.uniform(0.3, 0.9)
        panel[:] = panel * (1 - a) + layer * a


def _rainbow(rng, panel, ph, pw):
    c = (int(pw * rng.uniform(0.2, 0.8)), int(ph * rng.uniform(0.8, 2.0)))
    r = int(ph * rng.uniform(0.6, 1.6))
    band = max(1, int(ph * rng.uniform(0.02, 0.06)))
    layer = panel.copy()
    for k in range(int(rng.integers(3, 7))):
        cv2.circle(layer, c, r - k * band, _colour(rng, 80, 255), band, cv2.LINE_AA)
    a = rng.uniform(0.3, 0.8)
    panel[:] = panel * (1 - a) + layer * a


def _blobs(rng, panel, ph, pw):
    """Fruit, emblems, state outlines: large coloured shapes behind the code."""
    layer = panel.copy()
    for _ in range(int(rng.integers(1, 4))):
        ctr = (int(rng.uniform(0, pw)), int(rng.uniform(0.2, 0.9) * ph))
        if rng.random() < 0.6:
            ax = (int(ph * rng.uniform(0.1, 0.4)), int(ph * rng.uniform(0.1, 0.4)))
            cv2.ellipse(layer, ctr, ax, rng.uniform(0, 180), 0, 360, _colour(rng), -1, cv2.LINE_AA)
        else:
            n = int(rng.integers(5, 10))
            ang = np.sort(rng.uniform(0, 2 * math.pi, n))
            rad = ph * rng.uniform(0.1, 0.45, n)
            pts = np.stack([ctr[0] + rad * np.cos(ang), ctr[1] + rad * np.sin(ang)], 1)
            cv2.fillPoly(layer, [np.round(pts).astype(np.int32)], _colour(rng), cv2.LINE_AA)
    a = rng.uniform(0.25, 1.0)
    panel[:] = panel * (1 - a) + layer * a


def plate_art(rng, panel):
    """Scenery printed on the panel, in place, before the text goes on."""
    ph, pw = panel.shape[:2]
    if rng.random() < 0.5:
        _sky(rng, panel, ph, pw)
    if rng.random() < 0.4:
        _mountains(rng, panel, ph, pw)
    if rng.random() < 0.15:
        _rainbow(rng, panel, ph, pw)
    if rng.random() < 0.35:
        _blobs(rng, panel, ph, pw)


def _flag(rng, panel, x0, x1, y0, y1):
    """Stripes and stars in the gap between two groups of characters."""
    w, h = x1 - x0, y1 - y0
    if w < 4 or h < 4:
        return
    red = _colour(rng, 0, 255)
    n = int(rng.integers(2, 5))
    for k in range(n):
        ya = int(y0 + h * (0.45 + 0.5 * k / n))
        cv2.rectangle(panel, (int(x0), ya), (int(x1), ya + max(1, int(h * 0.08))), red, -1)
    for k in range(int(rng.integers(1, 4))):
        cx = int(x0 + w * (k + 0.5) / 3)
        cv2.drawMarker(panel, (cx, int(y0 + h * 0.25)), red, cv2.MARKER_STAR, max(3, int(h * 0.15)),
                       max(1, int(h * 0.04)))


def under_code(rng, panel, line, left, top, cap_px):
    """Shading of stamped characters (a dark and a light copy of the glyphs,
    offset to opposite sides) and graphics in the widest gap of the code."""
    ph, pw = panel.shape[:2]
    if rng.random() < 0.6:
        ang = rng.uniform(0, 2 * math.pi)
        d = cap_px * rng.uniform(0.02, 0.07)
        for sign, col, a in ((1, rng.uniform(0, 90, 3), rng.uniform(0.3, 0.8)),
                             (-1, rng.uniform(190, 255, 3), rng.uniform(0.2, 0.7))):
            M = np.float32([[1, 0, left + sign * d * math.cos(ang)], [0, 1, top + sign * d * math.sin(ang)]])
            sh = cv2.warpAffine(line.alpha, M, (pw, ph), flags=cv2.INTER_LINEAR) * a
            if rng.random() < 0.5:
                sh = cv2.GaussianBlur(sh, (0, 0), max(0.5, d * 0.5))
            panel[:] = panel * (1 - sh[..., None]) + col.astype(np.float32) * sh[..., None]
    if rng.random() < 0.4:
        boxes = sorted((g["box"] for g in line.glyphs), key=lambda b: b[0])
        gaps = [(b1[0] - b0[2], b0[2], b1[0]) for b0, b1 in zip(boxes, boxes[1:])]
        if gaps:
            g, x0, x1 = max(gaps)
            if g > 0.45 * cap_px:
                m = 0.12 * g
                _flag(rng, panel, left + x0 + m, left + x1 - m, top + boxes[0][1], top + boxes[0][3])


INKS = np.float32([[20, 30, 110], [15, 15, 20], [150, 20, 30], [20, 90, 40], [90, 20, 40], [30, 60, 160]])


def plate_colours(rng, fg, bg):
    """Most plates: dark ink on a light panel; the rest keep the general pair."""
    if rng.random() < 0.3:
        return fg, bg
    ink = np.clip(INKS[rng.integers(len(INKS))] + rng.normal(0, 15, 3), 0, 255).astype(np.float32)
    panel = np.clip(rng.uniform(185, 255) + rng.normal(0, 12, 3), 0, 255).astype(np.float32)
    return ink, panel


# Fonts close to real plate typefaces (a synth.FontBank), drawn for half of the
# plates when set; None keeps the shipped runs' random stream.
PLATE_FONTS = None

# Fraction of plate codes given a run of two or three identical characters
# (LLL333, 00013, MX117): tight-set identical neighbours are the ones the
# detector merges most on real plates.  0 (no draw) keeps the shipped runs'
# stream.
RUN_FRACTION = 0.0

# Fraction of plates with an emblem as tall as the code beside it or in the gap
# between its groups (a wheelchair sign, a state symbol, a flower, a diamond):
# on real plates these are read as extra characters.  0 (no draw) keeps the
# shipped runs' stream.
EMBLEM_FRACTION = 0.0

# Fraction of plate codes with one or two characters made a 1 or an I.  These
# are the characters the detector misses most on narrow plate faces, and a
# uniform code holds each in only one of 36 places.  0 (no draw) keeps the
# shipped runs' stream.
NARROW_FRACTION = 0.0
# Fraction of plate crops drawn 64-160 px wide.  Plates cut from whole photos
# are often that small, and the pipeline enlarges them 5-12 x: far blurrier
# characters than the 160-440 px crops show.
SMALL_PLATE_FRACTION = 0.0

# Pictograms the symbol fonts are known to have, by font file name.
_EMBLEM_GLYPHS = {
    "NotoSansSymbols2-Regular.ttf": "\u267f\u2600\u273f\u2740\u2708\u265e\u2605\u272a\u2618\u2744\u2663"
                                    "\u2665\u2666\u2726\u2756\u2735\u2741\u2654\u273a\u2742\u2767\u2619"
                                    "\u263c\u2748\u2749\u274b\u2731\u2739\u25c6\u25c7\u2b1f\u2b22\u2724",
    "NotoSansSymbols-Regular.ttf": "\u2693\u269c\u2691\u2302\u2638\u26f5\u262e\u2698\u262f\u26f0\u26ea\u26f2",
    "DejaVuSans.ttf": "\u267f\u2600\u273f\u2740\u2708\u2693\u265e\u269c\u2605\u272a\u2618\u2744\u2663"
                      "\u2665\u2666\u2691\u2302\u2726\u2756\u2638\u2735\u2741\u262e\u2698\u2654\u262f",
}
_emblem_fonts = None


def emblem_fonts():
    """(font path, pictograms) for the symbol fonts installed here."""
    global _emblem_fonts
    if _emblem_fonts is None:
        paths = FO.clutter_fonts() + [os.path.join(FO.FONT_ROOT, "truetype", "dejavu", "DejaVuSans.ttf")]
        _emblem_fonts = [(p, _EMBLEM_GLYPHS[os.path.basename(p)]) for p in paths
                         if os.path.basename(p) in _EMBLEM_GLYPHS and os.path.exists(p)]
    return _emblem_fonts


def _paste(panel, mask, x, y, colour):
    """Blends colour into panel through mask (float 0..1) placed at x, y; clipped."""
    ph, pw = panel.shape[:2]
    h, w = mask.shape
    x0, y0, x1, y1 = max(0, x), max(0, y), min(pw, x + w), min(ph, y + h)
    if x1 <= x0 or y1 <= y0:
        return
    a = mask[y0 - y:y1 - y, x0 - x:x1 - x, None]
    panel[y0:y1, x0:x1] = panel[y0:y1, x0:x1] * (1 - a) + np.float32(colour) * a


def _shape_mask(rng, w, h):
    """A diamond, star, sun with rays or ring: geometric emblems, filled or outlined."""
    m = np.zeros((h, w), np.uint8)
    cx, cy, r = w / 2, h / 2, min(w, h) / 2 * 0.95
    kind = int(rng.integers(4))
    th = -1 if rng.random() < 0.5 else max(1, int(r * rng.uniform(0.08, 0.2)))
    if kind == 0:
        pts = [(cx, cy - r), (cx + r * rng.uniform(0.5, 1), cy), (cx, cy + r), (cx - r * rng.uniform(0.5, 1), cy)]
    elif kind == 1:
        n = int(rng.integers(5, 9))
        ang = np.arange(2 * n) * math.pi / n - math.pi / 2
        rad = np.where(np.arange(2 * n) % 2 == 0, r, r * rng.uniform(0.35, 0.6))
        pts = list(zip(cx + rad * np.cos(ang), cy + rad * np.sin(ang)))
    else:
        pts = None
    if pts is not None:
        poly = [np.round(np.array(pts)).astype(np.int32)]
        if th < 0:
            cv2.fillPoly(m, poly, 255, cv2.LINE_AA)
        else:
            cv2.polylines(m, poly, True, 255, th, cv2.LINE_AA)
    else:
        rc = int(r * rng.uniform(0.3, 0.55))
        cv2.circle(m, (int(cx), int(cy)), rc, 255, -1 if kind == 2 else max(1, rc // 3), cv2.LINE_AA)
        if kind == 2:  # sun: groups of rays on four or more sides
            n = int(rng.integers(4, 9))
            for k in range(n):
                a = 2 * math.pi * k / n
                for off in np.linspace(-0.3, 0.3, int(rng.integers(1, 5))):
                    p0 = (cx + rc * 1.2 * math.cos(a + off * 0.5), cy + rc * 1.2 * math.sin(a + off * 0.5))
                    p1 = (cx + r * math.cos(a + off * 0.5), cy + r * math.sin(a + off * 0.5))
                    cv2.line(m, tuple(int(v) for v in p0), tuple(int(v) for v in p1), 255,
                             max(1, int(r * 0.08)), cv2.LINE_AA)
    return m.astype(np.float32) / 255.0


def draw_emblem(rng, panel, line, left, top, cap_px, where):
    """An emblem about as tall as the code: beside it ("left", "right", where the
    panel was widened for it) or in the widest gap between its characters
    ("gap").  Painted on the panel, so it is background to the detector."""
    pw = panel.shape[1]
    boxes = sorted((g["box"] for g in line.glyphs if g["label"] == "text"), key=lambda b: b[0])
    if not boxes:
        return
    y0 = top + min(b[1] for b in boxes)
    y1 = top + max(b[3] for b in boxes)
    m = 0.08 * cap_px
    if where == "gap":
        gaps = [(b1[0] - b0[2], b0[2], b1[0]) for b0, b1 in zip(boxes, boxes[1:])]
        if not gaps:
            return
        _, xa, xb = max(gaps)
        xa, xb = left + xa + m, left + xb - m
    elif where == "left":
        xa, xb = max(0.0, left + boxes[0][0] - 1.5 * cap_px), left + boxes[0][0] - m
    else:
        xa, xb = left + boxes[-1][2] + m, min(float(pw), left + boxes[-1][2] + 1.5 * cap_px)
    w_max, h_max = xb - xa, (y1 - y0) * rng.uniform(0.7, 1.3)
    if w_max < 0.3 * cap_px or h_max < 4:
        return
    cx, cy = (xa + xb) / 2, (y0 + y1) / 2 + rng.uniform(-0.1, 0.1) * cap_px
    colour = _colour(rng, 0, 230)
    fonts = emblem_fonts()
    if fonts and rng.random() < 0.6:
        path, pool = fonts[int(rng.integers(len(fonts)))]
        a, _, _ = synth.glyph(path, pool[int(rng.integers(len(pool)))], h_max)
        if a is None:
            return
        mask = a.astype(np.float32) / 255.0
    else:
        mask = _shape_mask(rng, int(max(4, min(w_max, h_max * rng.uniform(0.6, 1.2)))), int(h_max))
    f = min(w_max / mask.shape[1], h_max / mask.shape[0])
    mask = cv2.resize(mask, (max(1, int(mask.shape[1] * f)), max(1, int(mask.shape[0] * f))),
                      interpolation=cv2.INTER_AREA)
    h, w = mask.shape
    x, y = int(cx - w / 2), int(cy - h / 2)
    if rng.random() < 0.3:  # a badge behind the pictogram
        pad = int(0.1 * max(h, w)) + 1
        badge = np.zeros((h + 2 * pad, w + 2 * pad), np.float32)
        if rng.random() < 0.5:
            badge[:] = 1.0
        else:
            cv2.circle(badge, (badge.shape[1] // 2, badge.shape[0] // 2), max(badge.shape) // 2, 1.0, -1)
        _paste(panel, badge, x - pad, y - pad, _colour(rng, 0, 255))
        colour = _colour(rng, 0, 255)
    _paste(panel, mask, x, y, colour)


def with_run(rng, code):
    """The code with a run of 2-3 copies of one of its characters, same length."""
    n = len(code)
    k = min(n, int(rng.integers(2, 4)))
    i = int(rng.integers(0, n - k + 1))
    return code[:i] + code[i] * k + code[i + k:]


def with_narrow(rng, code):
    """The code with 1-2 of its characters replaced by a 1 or an I (a 1 among
    digits, an I among letters), same length: the bars that plate faces draw
    thinnest and the detector finds least often."""
    code = list(code)
    for i in rng.choice(len(code), size=min(len(code), int(rng.integers(1, 3))), replace=False):
        code[i] = "1" if code[i].isdigit() else "I"
    return "".join(code)


def add_arguments(ap):
    """The plate options both training scripts take (--monoline reaches the scenes' squeezed codes too)."""
    ap.add_argument("--plate-runs", type=float, default=0.0,
                    help="fraction of plate codes with a run of 2-3 identical characters (0: as the shipped runs)")
    ap.add_argument("--plate-narrow", type=float, default=0.0,
                    help="fraction of plate codes with 1-2 characters replaced by 1 or I (0: as the shipped runs)")
    ap.add_argument("--plate-emblems", type=float, default=0.0,
                    help="fraction of plates with an emblem beside the code or between its groups "
                         "(0: as the shipped runs)")
    ap.add_argument("--plate-small", type=float, default=0.0,
                    help="fraction of plate crops 64-160 px wide instead of 160-440, i.e. small plates of "
                         "larger photos, enlarged up to 12 x by the pipeline (0: as the shipped runs)")
    ap.add_argument("--plate-fonts", nargs="?", const="plate", default=None,
                    choices=FO.PLATE_FONT_CHOICES,
                    help="add the plate-like faces of fonts.plate_fonts() to the training fonts; "
                         "'road' adds the road-sign faces too, 'sign' the road-sign and the "
                         "square-shouldered signage faces, 'square' those and the square faces "
                         "(off: as the shipped runs)")
    ap.add_argument("--monoline", type=float, default=0.0,
                    help="fraction of squeezed codes whose stems keep the face's stroke width "
                         "(synth.restore_stems: narrow plate gothics; 0: as the shipped runs)")


def loader_setup(held_out=False, plate_fonts=False, plate_runs=0.0, plate_emblems=0.0, plate_narrow=0.0,
                 plate_small=0.0):
    """Sets this process's plate options and returns the FontBank its data set
    draws from.  With plate_fonts (True or "plate"; "road" with the road-sign
    faces, "sign" with those and the square-shouldered signage faces) the plate
    faces join the training fonts and half of the plates are drawn in them."""
    global PLATE_FONTS, RUN_FRACTION, EMBLEM_FRACTION, NARROW_FRACTION, SMALL_PLATE_FRACTION
    RUN_FRACTION = plate_runs
    SMALL_PLATE_FRACTION = plate_small
    NARROW_FRACTION = plate_narrow
    EMBLEM_FRACTION = plate_emblems
    PLATE_FONTS = None
    if held_out:
        return synth.FontBank(FO.held_out_fonts())
    if not plate_fonts:
        return synth.FontBank(FO.train_fonts())
    faces = FO.plate_fonts("plate" if plate_fonts is True else plate_fonts)
    PLATE_FONTS = synth.FontBank(faces)
    return synth.FontBank(FO.train_fonts() + faces)


def plate_style(rng):
    style = dict(art=plate_art, under_code=under_code, colours=plate_colours,
                 gap=lambda r, gap: r.uniform(-0.02, 0.25))  # plates space their characters evenly
    if EMBLEM_FRACTION > 0 and rng.random() < EMBLEM_FRACTION:
        style["emblem"] = ("left", "right", "gap", "gap")[int(rng.integers(4))]
        style["draw_emblem"] = draw_emblem
    if rng.random() < 0.8:  # tall narrow plate typefaces
        style["sx"] = lambda r, sx: r.uniform(0.45, 0.8)
    if PLATE_FONTS is not None and rng.random() < 0.5:
        style["font"] = PLATE_FONTS.sample(rng)
    return style


def plate_crop(rng, fonts, clutter_fonts):
    """A whole-plate crop at the size a plate reader gets it (about 160-440 px
    wide; 64-160 px for SMALL_PLATE_FRACTION of them), degraded there.
    Returns (RGB uint8, glyphs with quads in its pixels, indices of the code's
    glyphs); None when the code could not be drawn.  Glyphs mostly outside the
    crop are relabelled "ignore"."""
    n = int(rng.integers(4, 8))
    code = synth.random_code(rng, n)
    if RUN_FRACTION > 0 and rng.random() < RUN_FRACTION:
        code = with_run(rng, code)
    if NARROW_FRACTION > 0 and rng.random() < NARROW_FRACTION:
        code = with_narrow(rng, code)
    if SMALL_PLATE_FRACTION > 0 and rng.random() < SMALL_PLATE_FRACTION:
        Ws = int(rng.integers(64, 160))
    else:
        Ws = int(rng.integers(160, 440))
    cap = Ws * rng.uniform(0.12, 0.22)  # character height in the crop's pixels
    layer, main = synth.make_code_layer(rng, fonts, code, cap, plate=True, style=plate_style(rng))
    if layer is None:
        return None
    lh, lw = layer.alpha.shape
    s = Ws * rng.uniform(0.92, 1.25) / lw  # the plate fills the width, its margins often cut
    Hs = int(max(16, lh * s * rng.uniform(0.95, 1.25)))
    img = synth.background(rng, Hs, Ws)
    Hm = synth.random_homography(rng, lw, lh, Ws / 2 + rng.normal(0, 0.02) * Ws,
                                 Hs / 2 + rng.normal(0, 0.03) * Hs, s, max_rot=6.0, persp=0.04)
    glyphs = synth.composite(img, layer, Hm)
    img = synth.degrade(rng, img, char_h=cap * s)
    img_rect = np.float32([[0, 0], [Ws, 0], [Ws, Hs], [0, Hs]])
    for g in glyphs:
        # characters cut by the crop's edge follow the window rule: labelled only when mostly visible
        q = g["quad"].astype(np.float32)
        area = abs(cv2.contourArea(q))
        if g["label"] == "text" and (area <= 0 or cv2.intersectConvexConvex(q, img_rect)[0] / area < 0.6):
            g["label"] = "ignore"
    return img, glyphs, main


def plate_window(rng, fonts, clutter_fonts, T=320):
    """A T x T detector window (RGB uint8, labels uint8) of a plate crop
    enlarged like the pipeline enlarges it: onto the detector's square canvas
    at the top left, zero beyond the image."""
    crop = plate_crop(rng, fonts, clutter_fonts)
    if crop is None:
        return None
    img, glyphs, _ = crop
    Hs, Ws = img.shape[:2]
    S = C.DET_SIZE
    f = min(S / Ws, S / Hs)
    rw, rh = min(S, int(Ws * f)), min(S, int(Hs * f))
    big = cv2.resize(img, (rw, rh), interpolation=cv2.INTER_LINEAR)
    x0 = int(rng.integers(0, max(1, rw - T + 1)))
    # mostly the whole height of the crop; sometimes its lower part with the canvas's zeros below
    y0 = int(rng.integers(0, max(1, rh - T + 1) if rng.random() < 0.8 else max(1, rh - T // 2)))
    win = np.zeros((T, T, 3), np.uint8)
    part = big[y0:y0 + T, x0:x0 + T]
    win[:part.shape[0], :part.shape[1]] = part
    for g in glyphs:
        g["quad"] = g["quad"] * [rw / Ws, rh / Hs] - [x0, y0]
        g["core"] = g["core"] * [rw / Ws, rh / Hs] - [x0, y0]
    lab = synth.label_map(glyphs, T, T)
    beyond = np.ones((T, T), bool)  # the canvas's zeros: background unless ignored
    beyond[:part.shape[0], :part.shape[1]] = False
    lab[beyond & (lab != 255)] = 0
    return win, lab


def plate_rec_samples(rng, fonts, clutter_fonts, jitter=1.0):
    """Recogniser crops of a plate crop's code, cut the way the pipeline cuts
    them; the crop is read whole or, sometimes, as part of a larger photo."""
    crop = plate_crop(rng, fonts, clutter_fonts)
    if crop is None:
        return []
    img, glyphs, main = crop
    Hs, Ws = img.shape[:2]
    f = min(C.DET_SIZE / Ws, C.DET_SIZE / Hs)
    if rng.random() < 0.3:
        f *= synth.loguniform(rng, 0.3, 1.0)
    main = [i for i in main if glyphs[i]["label"] == "text"]
    return synth.pipeline_crops(rng, np.ascontiguousarray(img[:, :, ::-1]), glyphs, main, f, jitter)
