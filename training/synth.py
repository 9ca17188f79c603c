"""Synthetic scenes with printed codes, with per-character quadrilaterals.

Everything is driven by a numpy Generator, so a given seed always gives the same
image.  The main entry points are

  make_layer_code(...)   a code (optionally on a plate-like panel) in local coordinates
  det_sample(rng, T)     a T x T window of a 768-scaled scene + label map (detector)
  scene_image(rng, ...)  a whole image at its own resolution + char quads (evaluation,
                         recogniser crops, sample files)

Glyph labels: "text" (a character of the alphabet that has to be read),
"ignore" (no loss: too small, cut by the window, or a lower-case letter that looks
like a capital) and "bg" (clutter: punctuation, lower case, other scripts).
"""
import math
import os

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont

import config as C

ALPHABET = C.ALPHABET
LOWER_LIKE_UPPER = set("cosuvwxz")
# Clutter glyphs shaped like a character of the alphabet: lower-case l (a bar, like
# I), Hebrew vav and zayin (a bar with a flag, like the 1 of narrow plate faces),
# Ethiopic ha (like U).  Labelled background they teach the detector to reject
# plain bars, which is what a 1 or an I is in many plate typefaces; labelled
# "ignore" they cost nothing either way.  False keeps the shipped runs' labels
# (the images do not change with it); train_det.py --ignore-lookalikes sets it.
LOOKALIKES_IGNORED = False
LOOKALIKES = set("l\u05d5\u05d6\u1200")
# Capitals of clutter words that also hold lower-case letters ("Arkansas", "Serial
# No"): such a word is prose, not a code, yet its capitals are characters of the
# alphabet and are labelled "text" like a code's.  The detector then finds the
# big initial of a plate's state name, which the pipeline reads into the code
# (Arkansas plates: 541AXY read 54A1AXY).  Labelled background they teach the
# detector that a capital leading lower case is not part of a code.  False keeps
# the shipped runs' labels (the images do not change with it);
# train_det.py --mixed-case-bg sets it.
MIXED_CASE_CAPITALS_BG = False
# Fraction of code layers drawn horizontally condensed (x 0.5-0.8), like the
# narrow plate typefaces that a plain font list rarely covers.  0 keeps the
# random stream of the shipped runs unchanged; train_rec.py --condensed sets it.
CONDENSED_FRACTION = 0.0
# Faces that draw a letter and a digit alike (the O and 0 of Bebas Neue, OSP-DIN
# and several highway gothics) leave the recogniser no way to tell the two
# apart.  Trained on both labels it learns an even split, and its best score,
# about 0.5 or less, falls under a caller's threshold: the character is dropped.
# Codes carry the digit far more often than the letter (many plate series leave
# O and I out), so with this set such a letter is drawn and labelled as the
# digit.  False keeps the shipped runs' labels; train_rec.py --shared-as-digit
# sets it.
SHARED_GLYPH_AS_DIGIT = False
# Fraction of squeezed code layers (x 0.9 or less) whose vertical strokes are
# thickened back towards the face's stroke width.  Squeezing a face thins its
# stems but not its bars, while a real condensed plate face (the narrow gothics
# of many US states) keeps one stroke width and so has straight-sided,
# rounded-rectangle rounds (0, O, D, 6) that no squeezed face shows.  0 keeps
# the random stream of the shipped runs; --monoline of both training scripts
# sets it.
MONOLINE_FRACTION = 0.0
# Clutter per training scene: the mean number of non-code text layers, and the
# share of them drawn from other scripts and symbols rather than words.  Other
# scripts are the detector's commonest false characters (Thai, Ethiopic and
# Hebrew glyphs that look like J, U, D, O), so a run may ask for more of them.
# The defaults keep the shipped runs' random stream; train_det.py --clutter and
# --script-clutter set them.
CLUTTER_MEAN = 2.5
SCRIPT_CLUTTER = 0.5
# Share of detector training codes drawn with small characters (12-40 px at the
# 768 scale).  Small text is where a lighter detector loses first, so a run may
# ask for more of it; train_det.py --small-frac sets it.
SMALL_FRACTION = C.SMALL_CHAR_FRACTION
# Minimum width / height of a code character's core (class 2).  The core is the
# box shrunk on every side, so a narrow 1 or I, whose box can be widened only into
# half the gap to its neighbours, gets a sliver of a core that the detector finds
# less often than any other character.  Above 0 such cores are widened to this
# ratio, as far as the gap to the neighbouring cores allows (NARROW_CORE_GAP x the
# height is always left between them).  0 keeps the shipped runs' labels (the
# images do not change with it); train_det.py --narrow-core sets it.
NARROW_CORE = 0.0
NARROW_CORE_GAP = 0.12

# Smallest code character drawn in detector windows and smallest one labelled
# text (768 scale).  The defaults keep the shipped runs' data; train_det.py
# --min-char-h / --min-label-h lower them for small codes in whole photos.
MIN_CHAR_H = C.CHAR_H_RANGE[0]
MIN_LABEL_H = C.MIN_LABEL_H

SEPARATORS = ["-", "\u00b7", "\u2022", "=", ".", ":", "/", "*", "#", "\u2605", "\u2013"]
WORDS = ("the of state land opportunity natural county dealer sample island sunshine "
         "freedom live free or die great lakes empire garden treasure beautiful keystone "
         "heart of dixie grand canyon peach evergreen pride spirit america tax exempt "
         "lot no batch exp use by made in serial model type ref date best before "
         "warning caution keep dry fragile handle with care property of inspected "
         "voltage rated power input output class code part assembly").split()


# ------------------------------------------------------------------ fonts
class FontBank:
    """Fonts grouped by family; sampling picks a family first, then a style."""

    def __init__(self, paths):
        fams = {}
        for p in paths:
            if not font_ok(p):
                continue
            key = os.path.dirname(p) + "/" + os.path.basename(p).split("-")[0].split(".")[0]
            fams.setdefault(key, []).append(p)
        self.families = [fams[k] for k in sorted(fams)]
        self.paths = [p for f in self.families for p in f]

    def sample(self, rng):
        fam = self.families[rng.integers(len(self.families))]
        return fam[rng.integers(len(fam))]


_font_cache = {}


def get_font(path, size):
    key = (path, size)
    f = _font_cache.get(key)
    if f is None:
        if len(_font_cache) > 4000:
            _font_cache.clear()
        f = ImageFont.truetype(path, size)
        _font_cache[key] = f
    return f


_ok_cache = {}


def font_ok(path):
    """True when the font has distinct, non-empty glyphs for the whole alphabet."""
    if path in _ok_cache:
        return _ok_cache[path]
    ok = True
    try:
        seen = set()
        for ch in ALPHABET:
            a, _, _ = _render_glyph(path, ch, 40, 0)
            if a is None or a.size == 0 or a.max() < 128:
                ok = False
                break
            seen.add((a.shape, a.tobytes()))
        if ok and len(seen) < len(ALPHABET) - 1:
            ok = False
    except Exception:
        ok = False
    _ok_cache[path] = ok
    return ok


_shared_cache = {}


def shared_letters(path):
    """{letter: digit} for the letters this face draws as a digit: their inks,
    centred on each other, overlap by 93 % or more (the O and 0 of Bebas Neue,
    OSP-DIN, National Park Heavy and the highway gothics overlap by 95-100 %,
    the closest pairs of the other faces by 91 % at most)."""
    m = _shared_cache.get(path)
    if m is None:
        inks = {ch: _render_glyph(path, ch, 60, 0)[0] for ch in ALPHABET}
        m = {}
        for ch in ALPHABET:
            if not ch.isalpha() or inks[ch] is None:
                continue
            for d in "0123456789":
                if inks[d] is not None and _overlap(inks[ch], inks[d]) >= 0.93:
                    m[ch] = d
                    break
        _shared_cache[path] = m
    return m


def _overlap(a, b):
    """Intersection over union of two ink masks centred on each other."""
    H, W = max(a.shape[0], b.shape[0]), max(a.shape[1], b.shape[1])

    def centred(x):
        out = np.zeros((H, W), bool)
        t, l = (H - x.shape[0]) // 2, (W - x.shape[1]) // 2
        out[t:t + x.shape[0], l:l + x.shape[1]] = x > 127
        return out
    A, B = centred(a), centred(b)
    return (A & B).sum() / max(1, (A | B).sum())


_cap_cache = {}


def cap_ratio(path):
    r = _cap_cache.get(path)
    if r is None:
        a, _, _ = _render_glyph(path, "H", 200, 0)
        r = a.shape[0] / 200.0 if a is not None else 0.7
        _cap_cache[path] = r
    return r


def _render_glyph(path, ch, size, stroke):
    """Ink-cropped alpha (uint8), ink top relative to the baseline, advance."""
    font = get_font(path, size)
    pad = size + stroke + 4
    W = 2 * size + 2 * pad
    img = Image.new("L", (W, W), 0)
    d = ImageDraw.Draw(img)
    base_y = pad + int(size * 1.3)
    d.text((pad, base_y), ch, font=font, fill=255, anchor="ls",
           stroke_width=stroke, stroke_fill=255)
    a = np.asarray(img)
    ys = np.nonzero(a.max(axis=1))[0]
    xs = np.nonzero(a.max(axis=0))[0]
    if len(ys) == 0:
        return None, 0, font.getlength(ch)
    a = a[ys[0]:ys[-1] + 1, xs[0]:xs[-1] + 1]
    return a, ys[0] - base_y, font.getlength(ch)


_glyph_cache = {}


def glyph(path, ch, cap_px, stroke=0):
    size = max(5, int(round(cap_px / cap_ratio(path))))
    key = (path, ch, size, stroke)
    g = _glyph_cache.get(key)
    if g is None:
        if len(_glyph_cache) > 30000:
            _glyph_cache.clear()
        g = _render_glyph(path, ch, size, stroke)
        _glyph_cache[key] = g
    return g


# ------------------------------------------------------------------ random helpers
def loguniform(rng, a, b):
    return float(math.exp(rng.uniform(math.log(a), math.log(b))))


def max_code_len(h768):
    """The longest code (at most 12) whose characters, h768 px high at the 768
    scale, fit in about 85 % of the frame's width."""
    return max(1, min(12, int(768 * 0.85 / (h768 * 0.8))))


def random_code(rng, n=None):
    if n is None:
        n = int(rng.integers(C.CODE_LEN_RANGE[0], C.CODE_LEN_RANGE[1] + 1))
    mode = rng.random()
    if mode < 0.25:
        pool = "0123456789"
    elif mode < 0.4:
        pool = ALPHABET[10:]
    else:
        pool = ALPHABET
    s = "".join(pool[i] for i in rng.integers(0, len(pool), n))
    if rng.random() < 0.15 and n >= 2:  # repeated characters (11, 00, II ...)
        i = int(rng.integers(0, n - 1))
        s = s[:i] + s[i] + s[i + 1:]
        s = s[:i + 1] + s[i] + s[i + 2:]
    return s[:n]


def random_color(rng):
    return rng.uniform(0, 255, 3)


def contrasting_pair(rng):
    """Foreground/background colours with a luminance gap (sometimes small)."""
    for _ in range(20):
        bg = random_color(rng)
        fg = random_color(rng)
        if rng.random() < 0.5:  # dark on light, the common case
            bg = rng.uniform(150, 255, 3) * rng.uniform(0.85, 1.0)
            fg = rng.uniform(0, 110, 3)
            if rng.random() < 0.3:  # red/blue/green ink
                k = int(rng.integers(3))
                fg[k] = rng.uniform(120, 230)
        elif rng.random() < 0.3:  # light on dark
            bg = rng.uniform(0, 90, 3)
            fg = rng.uniform(170, 255, 3)
        lum = lambda c: 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]
        gap = abs(lum(fg) - lum(bg))
        need = 45 if rng.random() < 0.85 else 25
        if gap >= need:
            return fg, bg
    return np.array([20.0, 20, 20]), np.array([235.0, 235, 235])


# ------------------------------------------------------------------ text lines
class Line:
    """A line of glyphs rendered into a local canvas."""

    def __init__(self, alpha, glyphs):
        self.alpha = alpha      # float32 HxW in [0,1]
        self.glyphs = glyphs    # list of dict(char, label, box=[x0,y0,x1,y1])


def stroke_width(a):
    """A glyph alpha's stroke width, estimated as 2 x ink area / outline length."""
    ink = (a > 127).astype(np.uint8)
    contours, _ = cv2.findContours(ink, cv2.RETR_LIST, cv2.CHAIN_APPROX_NONE)
    outline = sum(cv2.arcLength(c, True) for c in contours)
    return 2.0 * float(ink.sum()) / outline if outline > 0 else 0.0


def restore_stems(squeezed, stroke, sx):
    """A glyph alpha squeezed to sx of its width, its vertical stems dilated
    sideways back towards the unsqueezed stroke width, but never over a fifth of
    the squeezed width, so that the counters of bold faces stay open."""
    k = int(round(min(stroke * (1.0 - sx), 0.2 * squeezed.shape[1] - stroke * sx)))
    if k < 1:
        return squeezed
    out = np.pad(squeezed, ((0, 0), (k // 2 + 1, k - k // 2 + 1)))
    return cv2.dilate(out, np.ones((1, k + 1), np.uint8))


def render_line(rng, items, font, cap_px, gap_ratio=0.15, sx=1.0, stroke=0,
                gap_jitter=0.03, italic_shear=0.0, mono=False, monoline=False):
    """items: list of (char, label); ' ' is a space.  monoline: squeezed glyphs
    keep their stroke width (restore_stems)."""
    placed = []
    x = 0.0
    adv_mono = None
    if mono:
        g0 = glyph(font, "W", cap_px, stroke)
        adv_mono = (g0[0].shape[1] if g0[0] is not None else cap_px * 0.6) * sx
    for ch, lab in items:
        if ch == " ":
            x += cap_px * rng.uniform(0.35, 1.0)
            continue
        ch_px = cap_px
        if lab != "text" and ch not in SEPARATORS and not ch.isdigit() and not ch.isupper():
            pass
        a, top, adv = glyph(font, ch, ch_px, stroke)
        if a is None:
            continue
        if sx != 1.0:
            nw = max(1, int(round(a.shape[1] * sx)))
            squeezed = cv2.resize(a, (nw, a.shape[0]), interpolation=cv2.INTER_AREA if sx < 1 else cv2.INTER_LINEAR)
            a = restore_stems(squeezed, stroke_width(a), sx) if monoline and sx < 1.0 else squeezed
        w = a.shape[1]
        if mono:
            x0 = x + (adv_mono - w) / 2.0
            step = adv_mono + cap_px * (gap_ratio + rng.uniform(-gap_jitter, gap_jitter))
        else:
            x0 = x
            step = w + cap_px * (gap_ratio + rng.uniform(-gap_jitter, gap_jitter))
        placed.append((ch, lab, a, x0, float(top)))
        x += step
    if not placed:
        return None
    min_x = min(p[3] for p in placed)
    max_x = max(p[3] + p[2].shape[1] for p in placed)
    min_y = min(p[4] for p in placed)
    max_y = max(p[4] + p[2].shape[0] for p in placed)
    m = int(math.ceil(cap_px * 0.3)) + 2
    shear_extra = int(abs(italic_shear) * (max_y - min_y)) + 1
    Wc = int(math.ceil(max_x - min_x)) + 2 * m + 2 * shear_extra
    Hc = int(math.ceil(max_y - min_y)) + 2 * m
    canvas = np.zeros((Hc, Wc), np.float32)
    glyphs = []
    for ch, lab, a, x0, top in placed:
        ox = x0 - min_x + m + shear_extra
        oy = top - min_y + m
        ix, iy = int(round(ox)), int(round(oy))
        h, w = a.shape
        sub = canvas[iy:iy + h, ix:ix + w]
        np.maximum(sub, a[:sub.shape[0], :sub.shape[1]].astype(np.float32) / 255.0, out=sub)
        glyphs.append(dict(char=ch, label=lab, box=[ix, iy, ix + w, iy + h]))
    if italic_shear != 0.0:
        cy = Hc / 2.0
        M = np.array([[1, -italic_shear, italic_shear * cy], [0, 1, 0]], np.float32)
        canvas = cv2.warpAffine(canvas, M, (Wc, Hc), flags=cv2.INTER_LINEAR)
        for g in glyphs:
            x0, y0, x1, y1 = g["box"]
            # sheared ink box: keep the upright box that encloses the slanted glyph
            xs = [x0 - italic_shear * (y0 - cy), x1 - italic_shear * (y0 - cy),
                  x0 - italic_shear * (y1 - cy), x1 - italic_shear * (y1 - cy)]
            g["box"] = [min(xs), y0, max(xs), y1]
        # ink boxes of sheared glyphs: shrink to actual ink inside the enclosing box
        for g in glyphs:
            x0, y0, x1, y1 = [int(round(v)) for v in g["box"]]
            x0, x1 = max(0, x0), min(Wc, x1)
            sub = canvas[y0:y1, x0:x1]
            cols = np.nonzero(sub.max(axis=0) > 0.2)[0]
            if len(cols):
                g["box"] = [x0 + cols[0], y0, x0 + cols[-1] + 1, y1]
    widen_boxes(glyphs)
    return Line(canvas, glyphs)


def widen_boxes(glyphs):
    """Widen narrow text boxes to MIN_BOX_W_RATIO x height, limited to half the gap
    to each neighbour so that the cores of neighbouring characters never merge."""
    for i, g in enumerate(glyphs):
        x0, y0, x1, y1 = g["box"]
        g["ink"] = list(g["box"])
        if g["label"] != "text":
            continue
        w, h = x1 - x0, y1 - y0
        want = C.MIN_BOX_W_RATIO * h
        if w >= want:
            continue
        e = (want - w) / 2.0
        el, er = e, e
        if i > 0:
            gap = x0 - glyphs[i - 1]["ink"][2] if "ink" in glyphs[i - 1] else x0 - glyphs[i - 1]["box"][2]
            el = min(el, max(0.0, gap / 2.0))
        if i + 1 < len(glyphs):
            gap = glyphs[i + 1]["box"][0] - x1
            er = min(er, max(0.0, gap / 2.0))
        g["box"] = [x0 - el, y0, x1 + er, y1]


# ------------------------------------------------------------------ layers
class Layer:
    """Local RGB + alpha image and glyph boxes, to be warped into a scene."""

    def __init__(self, rgb, alpha, glyphs):
        self.rgb = rgb.astype(np.float32)
        self.alpha = alpha.astype(np.float32)
        self.glyphs = glyphs


def _fill_texture(rng, h, w, base):
    """Colour field around `base` (flat, gradient or mottled)."""
    r = rng.random()
    out = np.empty((h, w, 3), np.float32)
    out[:] = base
    if r < 0.35:
        return out
    if r < 0.7:
        other = np.clip(base + rng.normal(0, 35, 3), 0, 255)
        ang = rng.uniform(0, 2 * math.pi)
        yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
        t = (xx * math.cos(ang) + yy * math.sin(ang))
        t = (t - t.min()) / max(1e-3, t.max() - t.min())
        return out * (1 - t[..., None]) + other * t[..., None]
    n = value_noise(rng, h, w, scale=rng.uniform(4, 40))
    return np.clip(out + (n[..., None] - 0.5) * rng.uniform(10, 60), 0, 255)


def value_noise(rng, h, w, scale=16.0):
    gh, gw = max(2, int(h / scale) + 2), max(2, int(w / scale) + 2)
    g = rng.random((gh, gw)).astype(np.float32)
    return cv2.resize(g, (w, h), interpolation=cv2.INTER_CUBIC).clip(0, 1)


def items_for_code(rng, code, sep_prob=0.25):
    """Characters of the code as (char,label), with optional group separators."""
    items = [(c, "text") for c in code]
    if len(code) >= 4 and rng.random() < sep_prob:
        pos = int(rng.integers(1, len(code)))
        r = rng.random()
        if r < 0.5:
            sep = [(" ", "bg")]
        elif r < 0.8:
            sep = [(SEPARATORS[int(rng.integers(len(SEPARATORS)))], "bg")]
        else:
            sep = [(" ", "bg"), (SEPARATORS[int(rng.integers(len(SEPARATORS)))], "bg"), (" ", "bg")]
        items = items[:pos] + sep + items[pos:]
    return items


def clutter_items(rng, fonts_clutter=None):
    """A word or phrase whose glyphs are not codes (labels bg/ignore/text)."""
    r = rng.random()
    if r < 0.6:
        n = int(rng.integers(1, 4))
        s = " ".join(WORDS[int(rng.integers(len(WORDS)))] for _ in range(n))
        case = rng.random()
        if case < 0.45:
            s = s.capitalize() if rng.random() < 0.5 else s.title()
        elif case < 0.75:
            s = s.upper()
    elif r < 0.8:
        s = "".join(rng.choice(list("abcdefghijklmnopqrstuvwxyz-.,:;/()!?'&%+")) for _ in range(int(rng.integers(3, 12))))
    else:
        s = "".join(rng.choice(SEPARATORS + list("()[]<>+%&@$!?")) for _ in range(int(rng.integers(1, 5))))
    prose = set()
    if MIXED_CASE_CAPITALS_BG:
        at = 0
        for word in s.split(" "):
            if any(c.islower() for c in word):
                prose.update(range(at, at + len(word)))
            at += len(word) + 1
    items = []
    for i, c in enumerate(s):
        if c == " ":
            items.append((" ", "bg"))
        elif c in ALPHABET:
            items.append((c, "bg" if i in prose else "text"))
        elif c in LOWER_LIKE_UPPER or (LOOKALIKES_IGNORED and c in LOOKALIKES):
            items.append((c, "ignore"))
        else:
            items.append((c, "bg"))
    return items


def make_code_layer(rng, fonts, code, cap_px, plate=None, style=None, clean=False):
    """The code (and, for plates, panel + header/footer text) in local coords.

    Returns (Layer, main_glyph_indices)."""
    style = style or {}
    font = style.get("font") or fonts.sample(rng)
    if SHARED_GLYPH_AS_DIGIT:
        code = "".join(shared_letters(font).get(c, c) for c in code)
    fg, bg = contrasting_pair(rng)
    if "colours" in style:
        fg, bg = style["colours"](rng, fg, bg)
    if plate is None:
        plate = rng.random() < 0.4
    stroke = 0
    if rng.random() < 0.25:
        stroke = int(round(cap_px * rng.uniform(0.01, 0.05)))
    r = rng.random()
    if r < 0.15:
        gap = rng.uniform(-0.04, 0.03)  # touching
    elif r < 0.8:
        gap = rng.uniform(0.05, 0.3)
    else:
        gap = rng.uniform(0.3, 0.7)
    sx = float(np.clip(rng.normal(1.0, 0.15), 0.65, 1.4))
    if CONDENSED_FRACTION > 0 and rng.random() < CONDENSED_FRACTION:
        sx = rng.uniform(0.5, 0.8)
    if "sx" in style:  # caller-chosen width and spacing (plate typefaces); no draw otherwise
        sx = style["sx"](rng, sx)
    if "gap" in style:
        gap = style["gap"](rng, gap)
    # no draw at MONOLINE_FRACTION=0: the shipped runs' stream
    monoline = sx < 0.9 and MONOLINE_FRACTION > 0 and rng.random() < MONOLINE_FRACTION
    shear = rng.uniform(-0.25, 0.25) if rng.random() < 0.15 else 0.0
    items = items_for_code(rng, code, sep_prob=0.45 if plate else 0.15)
    emblem = style.get("emblem") if plate else None  # where the plate's emblem goes, if it has one
    if emblem == "gap" and len(code) >= 2:  # room for it between two groups
        pos = int(rng.integers(1, len(code)))
        at = [i for i, it in enumerate(items) if it[1] == "text"][pos]
        items = items[:at] + [(" ", "bg"), (" ", "bg")] + items[at:]
    line = render_line(rng, items, font, cap_px, gap_ratio=gap, sx=sx, stroke=stroke,
                       italic_shear=shear, mono=rng.random() < 0.2, monoline=monoline)
    if line is None:
        return None, []
    lh, lw = line.alpha.shape
    if not plate:
        # text printed on a surface: only the glyphs (plus optional box behind)
        fill = _fill_texture(rng, lh, lw, fg) if rng.random() < 0.3 else np.full((lh, lw, 3), fg, np.float32)
        alpha = line.alpha
        rgb = fill
        if rng.random() < 0.2:  # label patch behind the code
            mx, my = int(cap_px * rng.uniform(0.2, 0.8)), int(cap_px * rng.uniform(0.15, 0.6))
            H2, W2 = lh + 2 * my, lw + 2 * mx
            panel = _fill_texture(rng, H2, W2, bg)
            pa = np.ones((H2, W2), np.float32)
            a2 = np.zeros((H2, W2), np.float32)
            a2[my:my + lh, mx:mx + lw] = alpha
            rgb = panel * (1 - a2[..., None]) + np.pad(fill, ((my, my), (mx, mx), (0, 0)), mode="edge") * a2[..., None]
            for g in line.glyphs:
                g["box"] = [g["box"][0] + mx, g["box"][1] + my, g["box"][2] + mx, g["box"][3] + my]
                g["ink"] = [g["ink"][0] + mx, g["ink"][1] + my, g["ink"][2] + mx, g["ink"][3] + my]
            alpha = pa
        if rng.random() < 0.2 and alpha is line.alpha:  # drop shadow / emboss
            d = max(1, int(cap_px * rng.uniform(0.02, 0.06)))
            sh = np.zeros_like(alpha)
            sh[d:, d:] = alpha[:-d, :-d]
            shade = np.clip(fg * rng.uniform(0.2, 0.6), 0, 255) if fg.mean() > 100 else np.clip(fg + 80, 0, 255)
            rgb = rgb * alpha[..., None] + shade * (1 - alpha[..., None])
            alpha = np.maximum(alpha, sh * 0.8)
            # premultiplied composite of glyph over its shadow
            rgb = np.where(line.alpha[..., None] > 0, rgb, shade)
        lay = Layer(rgb, alpha, line.glyphs)
        lay.glyph_only = alpha is line.alpha
        return lay, list(range(len(line.glyphs)))

    # ---- plate-like panel
    ph = int(lh + cap_px * rng.uniform(0.5, 1.4))
    pw = int(lw + cap_px * rng.uniform(0.3, 1.2))
    top_space = int((ph - lh) * rng.uniform(0.35, 0.65))
    left = (pw - lw) // 2
    if emblem in ("left", "right"):  # room for it beside the code
        ew = int(cap_px * rng.uniform(0.9, 1.5))
        pw += ew
        left += ew if emblem == "left" else 0
    panel = _fill_texture(rng, ph, pw, bg)
    if "art" in style:  # scenery printed on the plate, behind everything else
        style["art"](rng, panel)
    alpha = np.ones((ph, pw), np.float32)
    # rounded corners
    rad = int(min(ph, pw) * rng.uniform(0.02, 0.12))
    if rad > 1:
        m = np.zeros((ph, pw), np.uint8)
        cv2.rectangle(m, (rad, 0), (pw - 1 - rad, ph - 1), 255, -1)
        cv2.rectangle(m, (0, rad), (pw - 1, ph - 1 - rad), 255, -1)
        for cx, cy in [(rad, rad), (pw - 1 - rad, rad), (rad, ph - 1 - rad), (pw - 1 - rad, ph - 1 - rad)]:
            cv2.circle(m, (cx, cy), rad, 255, -1)
        alpha = m.astype(np.float32) / 255.0
    # border
    if rng.random() < 0.6:
        bc = fg if rng.random() < 0.6 else random_color(rng)
        th = max(1, int(cap_px * rng.uniform(0.02, 0.08)))
        ins = int(cap_px * rng.uniform(0.0, 0.12)) + th
        cv2.rectangle(panel, (ins, ins), (pw - 1 - ins, ph - 1 - ins), tuple(float(v) for v in bc), th)
    glyphs = []
    # stripes / emblem decorations
    if rng.random() < 0.3:
        col = tuple(float(v) for v in random_color(rng))
        y = int(rng.uniform(0, top_space * 0.5))
        cv2.rectangle(panel, (0, y), (pw, y + max(1, int(cap_px * 0.1))), col, -1)
    # mounting holes / bolts
    if rng.random() < 0.5:
        rr = max(1, int(cap_px * rng.uniform(0.04, 0.09)))
        col = tuple(float(v) for v in np.clip(bg * 0.4, 0, 255))
        for fx in (0.25, 0.75):
            for fy in ((0.12,) if rng.random() < 0.5 else (0.12, 0.88)):
                cv2.circle(panel, (int(pw * fx), int(ph * fy)), rr, col, -1)

    def paste_line(ln, x, y, color):
        h, w = ln.alpha.shape
        x, y = int(x), int(y)
        x0, y0 = max(0, x), max(0, y)
        x1, y1 = min(pw, x + w), min(ph, y + h)
        if x1 <= x0 or y1 <= y0:
            return []
        a = ln.alpha[y0 - y:y1 - y, x0 - x:x1 - x][..., None]
        panel[y0:y1, x0:x1] = panel[y0:y1, x0:x1] * (1 - a) + np.asarray(color, np.float32) * a
        out = []
        for g in ln.glyphs:
            b = [g["box"][0] + x, g["box"][1] + y, g["box"][2] + x, g["box"][3] + y]
            if b[0] < 0 or b[1] < 0 or b[2] > pw or b[3] > ph:
                lab = "ignore" if g["label"] != "bg" else "bg"
            else:
                lab = g["label"]
            out.append(dict(char=g["char"], label=lab, box=b,
                            ink=[g["ink"][0] + x, g["ink"][1] + y, g["ink"][2] + x, g["ink"][3] + y]))
        return out

    # header (state name) and footer (slogan)
    for where in ("top", "bottom"):
        if rng.random() < 0.7 and not clean:
            hs = cap_px * (rng.uniform(0.25, 0.55) if where == "top" else rng.uniform(0.1, 0.3))
            if hs < 4:
                continue
            it = clutter_items(rng)
            f2 = fonts.sample(rng)
            ln = render_line(rng, it, f2, hs, gap_ratio=rng.uniform(0.02, 0.2))
            if ln is None:
                continue
            hh, ww = ln.alpha.shape
            x = (pw - ww) / 2 + rng.uniform(-0.2, 0.2) * pw
            if where == "top":
                y = (top_space - hh) / 2
            else:
                y = top_space + lh + (ph - top_space - lh - hh) / 2
            col = fg if rng.random() < 0.5 else random_color(rng)
            glyphs += paste_line(ln, x, y, col)
    # small sticker text at a side
    if rng.random() < 0.3 and not clean:
        hs = cap_px * rng.uniform(0.15, 0.35)
        if hs >= 4:
            it = [(c, "text") for c in random_code(rng, int(rng.integers(1, 4)))]
            ln = render_line(rng, it, fonts.sample(rng), hs)
            if ln is not None:
                x = rng.choice([rng.uniform(0, 0.08), rng.uniform(0.85, 0.95)]) * pw
                glyphs += paste_line(ln, x, rng.uniform(0.02, 0.2) * ph, random_color(rng))
    if "under_code" in style:  # embossing: shading drawn under the code's glyphs
        style["under_code"](rng, panel, line, left, top_space, cap_px)
    if emblem:
        style["draw_emblem"](rng, panel, line, left, top_space, cap_px, emblem)
    main_start = len(glyphs)
    glyphs += paste_line(line, left, top_space, fg)
    main = list(range(main_start, len(glyphs)))
    return Layer(panel, alpha, glyphs), main


def make_clutter_layer(rng, fonts, clutter_fonts, cap_px, clean=False):
    """Non-code text (words, other scripts, symbols).  clean: nothing that
    contains characters of the alphabet (evaluation scenes)."""
    if clean and rng.random() < 0.5:
        return None  # evaluation scenes: half of the clutter layers are left out
    if (clean or rng.random() < SCRIPT_CLUTTER) and clutter_fonts:
        font = clutter_fonts[int(rng.integers(len(clutter_fonts)))]
        # random codepoints the font has are unknown; draw a few common ones per script
        samples = {
            "Arabic": "\u0627\u0644\u0639\u0631\u0628\u064a\u0629\u0633\u0645",
            "Thai": "\u0e01\u0e02\u0e04\u0e07\u0e08\u0e0a\u0e14\u0e15\u0e17",
            "Devanagari": "\u0915\u0916\u0917\u0918\u091a\u091c\u091f\u0921\u0924",
            "Hebrew": "\u05d0\u05d1\u05d2\u05d3\u05d4\u05d5\u05d6\u05d7\u05d8",
            "Georgian": "\u10d0\u10d1\u10d2\u10d3\u10d4\u10d5\u10d6\u10d7\u10d8",
            "Armenian": "\u0561\u0562\u0563\u0564\u0565\u0566\u0567\u0568\u0569",
            "Ethiopic": "\u1200\u1208\u1210\u1218\u1220\u1228\u1230\u1238\u1240",
            "Tamil": "\u0b85\u0b86\u0b87\u0b88\u0b89\u0b8a\u0b8e\u0b8f\u0b90",
            "Bengali": "\u0985\u0986\u0987\u0988\u0989\u098a\u098b\u098f\u0990",
            "Khmer": "\u1780\u1781\u1782\u1783\u1784\u1785\u1786\u1787\u1788",
            "Symbols2": "\u2605\u2606\u25a0\u25b2\u25cf\u2666\u2663\u2660\u2665",
            "Symbols-": "\u2600\u2601\u2602\u2603\u260e\u2614\u2615\u2618\u263a",
        }
        pool = None
        for k, v in samples.items():
            if k in font:
                pool = v
        if pool is None:
            pool = samples["Symbols2"]
        s = "".join(pool[int(i)] for i in rng.integers(0, len(pool), int(rng.integers(2, 9))))
        items = [(c, "ignore" if LOOKALIKES_IGNORED and c in LOOKALIKES else "bg") for c in s]
    else:
        font = fonts.sample(rng)
        items = clutter_items(rng)
    ln = render_line(rng, items, font, cap_px, gap_ratio=rng.uniform(0.02, 0.25))
    if ln is None:
        return None
    col = random_color(rng)
    rgb = np.empty(ln.alpha.shape + (3,), np.float32)
    rgb[:] = col
    return Layer(rgb, ln.alpha, ln.glyphs)


# ------------------------------------------------------------------ backgrounds
def background(rng, h, w):
    r = rng.random()
    c1 = random_color(rng)
    if r < 0.15:
        img = np.empty((h, w, 3), np.float32)
        img[:] = c1
    elif r < 0.35:
        img = _fill_texture(rng, h, w, c1)
    else:
        img = np.empty((h, w, 3), np.float32)
        img[:] = c1
        for _ in range(int(rng.integers(1, 4))):
            n = value_noise(rng, h, w, scale=loguniform(rng, 3, 200))
            col = random_color(rng)
            a = (n * rng.uniform(0.3, 1.0))[..., None]
            img = img * (1 - a) + col * a
    # structured clutter
    n_shapes = int(rng.poisson(4))
    for _ in range(n_shapes):
        col = tuple(float(v) for v in random_color(rng))
        t = rng.random()
        if t < 0.3:
            p1 = (int(rng.integers(0, w)), int(rng.integers(0, h)))
            p2 = (int(rng.integers(0, w)), int(rng.integers(0, h)))
            cv2.line(img, p1, p2, col, int(rng.integers(1, 6)), cv2.LINE_AA)
        elif t < 0.55:
            x, y = int(rng.integers(0, w)), int(rng.integers(0, h))
            cv2.rectangle(img, (x, y), (x + int(rng.integers(5, w // 2 + 6)), y + int(rng.integers(5, h // 2 + 6))),
                          col, -1 if rng.random() < 0.5 else int(rng.integers(1, 5)))
        elif t < 0.75:
            cv2.circle(img, (int(rng.integers(0, w)), int(rng.integers(0, h))), int(rng.integers(3, max(4, w // 4))),
                       col, -1 if rng.random() < 0.5 else int(rng.integers(1, 5)), cv2.LINE_AA)
        elif t < 0.9:  # grille / stripes (text-like vertical bars)
            period = int(rng.integers(4, 40))
            th = max(1, int(period * rng.uniform(0.2, 0.6)))
            x0, y0 = int(rng.integers(0, w)), int(rng.integers(0, h))
            ww, hh = int(rng.integers(10, w)), int(rng.integers(5, h // 2 + 6))
            vertical = rng.random() < 0.6
            for k in range(0, ww if vertical else hh, period):
                if vertical:
                    cv2.rectangle(img, (x0 + k, y0), (x0 + k + th, y0 + hh), col, -1)
                else:
                    cv2.rectangle(img, (x0, y0 + k), (x0 + ww, y0 + k + th), col, -1)
        else:
            pts = rng.integers(0, max(h, w), (int(rng.integers(3, 7)), 2)).astype(np.int32)
            cv2.fillPoly(img, [pts], col, cv2.LINE_AA)
    if rng.random() < 0.5:
        img = cv2.GaussianBlur(img, (0, 0), rng.uniform(0.5, 3.0))
    return np.clip(img, 0, 255)


# ------------------------------------------------------------------ geometry
def random_homography(rng, lw, lh, cx, cy, scale, max_rot=C.MAX_ROTATION_DEG, persp=0.08):
    """Maps the local layer rect (0..lw, 0..lh) to a rotated, scaled, slightly
    perspective quad centred at (cx, cy)."""
    ang = math.radians(rng.uniform(-max_rot, max_rot)) if rng.random() < 0.7 else math.radians(rng.uniform(-3, 3))
    ca, sa = math.cos(ang), math.sin(ang)
    src = np.array([[0, 0], [lw, 0], [lw, lh], [0, lh]], np.float32)
    sxy = scale * np.array([1.0, 1.0])
    if rng.random() < 0.3:
        sxy[0] *= rng.uniform(0.8, 1.15)
    dst = []
    for x, y in src:
        u, v = (x - lw / 2) * sxy[0], (y - lh / 2) * sxy[1]
        dst.append([cx + u * ca - v * sa, cy + u * sa + v * ca])
    dst = np.array(dst, np.float32)
    if rng.random() < 0.6:
        d = persp * scale * min(lw, lh * 3)
        dst += rng.uniform(-d, d, (4, 2)).astype(np.float32)
        if rng.random() < 0.3:  # perspective along the line: one end smaller
            k = rng.uniform(-0.15, 0.15) * lh * scale
            dst[1, 1] += k
            dst[2, 1] -= k
    return cv2.getPerspectiveTransform(src, dst)


def warp_pts(H, pts):
    pts = np.asarray(pts, np.float64).reshape(-1, 1, 2)
    return cv2.perspectiveTransform(pts, H).reshape(-1, 2)


def box_quads(box, shrink=0.0):
    x0, y0, x1, y1 = box
    if shrink > 0:
        s = shrink * min(x1 - x0, y1 - y0)
        x0, y0, x1, y1 = x0 + s, y0 + s, x1 - s, y1 - s
    return np.array([[x0, y0], [x1, y0], [x1, y1], [x0, y1]], np.float64)


def quad_height(q):
    return 0.5 * (np.linalg.norm(q[3] - q[0]) + np.linalg.norm(q[2] - q[1]))


def composite(scene, layer, H):
    h, w = scene.shape[:2]
    a = cv2.warpPerspective(layer.alpha, H, (w, h), flags=cv2.INTER_LINEAR, borderValue=0)
    pm = cv2.warpPerspective(layer.rgb * layer.alpha[..., None], H, (w, h), flags=cv2.INTER_LINEAR, borderValue=0)
    scene *= (1 - a[..., None])
    scene += pm
    cores = [box_quads(g["box"], C.CORE_SHRINK) for g in layer.glyphs]
    if NARROW_CORE > 0:
        cores = widen_narrow_cores(layer.glyphs, cores)
    glyphs = []
    for g, core in zip(layer.glyphs, cores):
        q = warp_pts(H, box_quads(g["box"]))
        glyphs.append(dict(char=g["char"], label=g["label"], quad=q, core=warp_pts(H, core)))
    return glyphs


def widen_narrow_cores(glyphs, cores):
    """Cores of text glyphs narrower than NARROW_CORE x their height, widened
    towards it.  Each side grows by at most half of what the gap to the nearest
    core on that side (text or ignore, overlapping vertically) exceeds
    NARROW_CORE_GAP x the height by, so two widened neighbours still keep that gap.
    Background glyphs (separators, dots) count with their whole box: a core must
    not take in a separator."""
    spans = [(c[0, 0], c[1, 0], c[0, 1], c[2, 1]) for c in cores]  # x0, x1, y0, y1
    for j, o in enumerate(glyphs):
        if o["label"] == "bg":
            spans[j] = (o["box"][0], o["box"][2], o["box"][1], o["box"][3])
    out = list(cores)
    for i, g in enumerate(glyphs):
        if g["label"] != "text":
            continue
        x0, x1, y0, y1 = spans[i]
        h = y1 - y0
        want = NARROW_CORE * h - (x1 - x0)
        if want <= 0:
            continue
        left = right = float("inf")
        for j, o in enumerate(glyphs):
            if j == i or o["char"].isspace():
                continue
            ox0, ox1, oy0, oy1 = spans[j]
            if oy1 <= y0 or oy0 >= y1:
                continue
            if ox1 <= x0:
                left = min(left, x0 - ox1)
            elif ox0 >= x1:
                right = min(right, ox0 - x1)
            else:
                left = right = 0.0  # overlapping cores: leave this one alone
        margin = NARROW_CORE_GAP * h
        el = min(want / 2, max(0.0, (left - margin) / 2))
        er = min(want / 2, max(0.0, (right - margin) / 2))
        out[i] = box_quads([x0 - el, y0, x1 + er, y1])
    return out


# ------------------------------------------------------------------ degradations
def degrade(rng, img, strength=1.0, char_h=None):
    """img float32 HxWx3 0..255 -> uint8, at the image's own resolution.
    char_h (smallest code character height in this image) bounds the blur."""
    h, w = img.shape[:2]
    if rng.random() < 0.5 * strength:  # uneven light
        g = value_noise(rng, h, w, scale=max(h, w) * rng.uniform(0.3, 1.0))
        img = img * (rng.uniform(0.45, 0.9) + g[..., None] * rng.uniform(0.2, 0.8))
    if rng.random() < 0.2 * strength:  # hard shadow
        ang = rng.uniform(0, 2 * math.pi)
        yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
        t = (xx - w * rng.random()) * math.cos(ang) + (yy - h * rng.random()) * math.sin(ang)
        img = img * np.where(t > 0, rng.uniform(0.4, 0.8), 1.0)[..., None]
    if rng.random() < 0.3:
        img = img + rng.normal(0, 12, 3)
        img = img * rng.uniform(0.7, 1.2) + rng.uniform(-30, 30)
    img = np.clip(img, 0, 255)
    if rng.random() < 0.4 * strength:
        sig = rng.uniform(0.3, 1.6)
        if char_h is not None:
            sig = min(sig, 0.08 * char_h)
        img = cv2.GaussianBlur(img, (0, 0), sig)
    if rng.random() < 0.08 * strength and (char_h is None or char_h > 14):  # motion blur
        k = int(rng.integers(3, 8))
        ker = np.zeros((k, k), np.float32)
        ker[k // 2, :] = 1.0 / k
        M = cv2.getRotationMatrix2D((k / 2 - 0.5, k / 2 - 0.5), rng.uniform(0, 180), 1.0)
        ker = cv2.warpAffine(ker, M, (k, k))
        ker /= max(1e-6, ker.sum())
        img = cv2.filter2D(img, -1, ker)
    if rng.random() < 0.6 * strength:
        img = img + rng.normal(0, rng.uniform(1, 12), img.shape).astype(np.float32)
    img = np.clip(img, 0, 255).astype(np.uint8)
    if rng.random() < 0.5 * strength:
        q = int(rng.integers(25, 95))
        ok, enc = cv2.imencode(".jpg", img, [cv2.IMWRITE_JPEG_QUALITY, q])
        img = cv2.imdecode(enc, cv2.IMREAD_UNCHANGED)
    return img


# ------------------------------------------------------------------ scenes
def sample_char_h(rng, lo=C.CHAR_H_RANGE[0], hi=C.CHAR_H_RANGE[1], small_frac=C.SMALL_CHAR_FRACTION):
    if rng.random() < small_frac:
        return loguniform(rng, lo, min(40.0, hi))
    return loguniform(rng, max(lo, 40.0) if hi > 40 else lo, hi)


def _overlaps(rect, rects, margin=0):
    x0, y0, x1, y1 = rect
    for a in rects:
        if x0 < a[2] + margin and a[0] < x1 + margin and y0 < a[3] + margin and a[1] < y1 + margin:
            return True
    return False


def build_scene(rng, fonts, clutter_fonts, W, H, n_codes, char_hs, codes=None, plate=None,
                n_clutter=None, style=None, clean=False):
    """Scene image (float32 RGB, W x H) at the coordinates given (char heights in
    these coordinates).  Returns (img, glyphs, main_codes) where main_codes is a
    list of (text, [glyph indices])."""
    img = background(rng, H, W)
    glyphs = []
    mains = []
    rects = []
    for k in range(n_codes):
        ch_h = char_hs[k]
        code = codes[k] if codes else random_code(rng)
        layer, main = make_code_layer(rng, fonts, code, ch_h, plate=plate, style=style, clean=clean)
        if layer is None:
            continue
        lh, lw = layer.alpha.shape
        placed = False
        for _ in range(12):
            cx = rng.uniform(0.1, 0.9) * W if lw < W else rng.uniform(0.3, 0.7) * W
            cy = rng.uniform(0.1, 0.9) * H if lh < H else rng.uniform(0.3, 0.7) * H
            Hm = random_homography(rng, lw, lh, cx, cy, 1.0)
            corners = warp_pts(Hm, [[0, 0], [lw, 0], [lw, lh], [0, lh]])
            r = [corners[:, 0].min(), corners[:, 1].min(), corners[:, 0].max(), corners[:, 1].max()]
            if not _overlaps(r, rects, margin=4):
                placed = True
                break
        if not placed:
            continue
        rects.append(r)
        if getattr(layer, "glyph_only", False):  # glyphs straight on the scene: keep them legible
            fp = cv2.warpPerspective(layer.alpha, Hm, (W, H), flags=cv2.INTER_NEAREST) > 0.5
            if fp.any():
                lum = lambda c: c[..., 0] * 0.299 + c[..., 1] * 0.587 + c[..., 2] * 0.114
                under = img[fp].mean(axis=0)
                ink = (layer.rgb * layer.alpha[..., None]).sum(axis=(0, 1)) / max(1e-3, layer.alpha.sum())
                need = 60 if rng.random() < 0.85 else 35
                if abs(lum(under) - lum(ink)) < need:
                    if lum(under) > 128:
                        layer.rgb = layer.rgb * 0 + rng.uniform(0, max(5, lum(under) - need - 10), 3)
                    else:
                        layer.rgb = layer.rgb * 0 + rng.uniform(min(250, lum(under) + need + 10), 255, 3)
        gl = composite(img, layer, Hm)
        base = len(glyphs)
        glyphs += gl
        main = [i for i in main if gl[i]["label"] == "text"]
        mains.append(("".join(gl[i]["char"] for i in main), [base + i for i in main]))
    if n_clutter is None:
        n_clutter = int(rng.poisson(CLUTTER_MEAN))
    for _ in range(n_clutter):
        ch_h = sample_char_h(rng, 6, min(200, max(W, H) / 3))
        layer = make_clutter_layer(rng, fonts, clutter_fonts, ch_h, clean=clean)
        if layer is None:
            continue
        lh, lw = layer.alpha.shape
        for _ in range(6):
            cx, cy = rng.uniform(0, W), rng.uniform(0, H)
            Hm = random_homography(rng, lw, lh, cx, cy, 1.0)
            corners = warp_pts(Hm, [[0, 0], [lw, 0], [lw, lh], [0, lh]])
            r = [corners[:, 0].min(), corners[:, 1].min(), corners[:, 0].max(), corners[:, 1].max()]
            if not _overlaps(r, rects, margin=2):
                rects.append(r)
                glyphs += composite(img, layer, Hm)
                break
    return img, glyphs, mains


def label_map(glyphs, H, W, scale=1.0, min_h=C.MIN_LABEL_H):
    """0 background, 1 char box ring, 2 char core, 255 ignore."""
    lab = np.zeros((H, W), np.uint8)
    texts, ignores = [], []
    for g in glyphs:
        if g["label"] == "bg":
            continue
        q = g["quad"] * scale
        if g["label"] == "ignore" or quad_height(q) < min_h:
            ignores.append(q)
            continue
        if (q[:, 0].min() < 0 or q[:, 1].min() < 0 or q[:, 0].max() > W or q[:, 1].max() > H):
            # cut by the window edge: keep the labels when most of the box is visible
            win = np.array([[0, 0], [W, 0], [W, H], [0, H]], np.float32)
            area = abs(cv2.contourArea(q.astype(np.float32)))
            inter, _ = cv2.intersectConvexConvex(q.astype(np.float32), win)
            if area <= 0 or inter / area < 0.6:
                ignores.append(q)
                continue
        texts.append((q, g["core"] * scale))
    sh = 4  # sub-pixel precision for fillPoly
    f = float(1 << sh)
    for q in ignores:
        cv2.fillPoly(lab, [np.round(q * f).astype(np.int32)], 255, cv2.LINE_8, sh)
    for q, _ in texts:
        cv2.fillPoly(lab, [np.round(q * f).astype(np.int32)], 1, cv2.LINE_8, sh)
    for _, c in texts:
        cv2.fillPoly(lab, [np.round(c * f).astype(np.int32)], 2, cv2.LINE_8, sh)
    return lab


def det_sample(rng, fonts, clutter_fonts, T=320):
    """One detector training window (RGB uint8 T x T, labels uint8 T x T).

    The window is a piece of a 768-scaled image.  Low-resolution sources
    (images enlarged by the pipeline) are imitated by building the scene at a
    smaller size, degrading it there and enlarging it."""
    r = rng.random()
    if r < 0.45:
        k = 1.0
    elif r < 0.85:
        k = rng.uniform(1.2, 4.0)   # source image smaller than 768: enlarged
    else:
        k = rng.uniform(0.4, 0.8)   # source image larger than 768: reduced (aliasing)
    Ts = max(16, int(round(T / k)))
    ksc = T / Ts
    r = rng.random()
    if r < 0.05:
        n_codes, hs = 0, []
    else:
        n_codes = 1 if rng.random() < 0.6 else int(rng.integers(2, 4))
        hs = [sample_char_h(rng, lo=MIN_CHAR_H, small_frac=SMALL_FRACTION) / ksc for _ in range(n_codes)]
    codes = []
    for h in hs:
        # big characters: short codes so that they fit the window more often
        # big characters: shorter codes; they may still run past the window, where
        # the cut characters become "ignore" or keep their labels (>= 60 % visible)
        maxlen = max(3, min(12, int(2.0 * T / (h * ksc))))
        codes.append(random_code(rng, int(rng.integers(1, maxlen + 1)) if maxlen < 12 else None))
    img, glyphs, _ = build_scene(rng, fonts, clutter_fonts, Ts, Ts, n_codes, hs, codes=codes)
    img = degrade(rng, img, char_h=min(hs) if hs else None)
    if ksc != 1.0:
        img = cv2.resize(img, (T, T), interpolation=cv2.INTER_LINEAR)
    for g in glyphs:
        g["quad"] = g["quad"] * ksc
        g["core"] = g["core"] * ksc
    lab = label_map(glyphs, T, T, min_h=MIN_LABEL_H)
    if rng.random() < 0.1:  # zero padding of the 768 canvas
        if rng.random() < 0.5:
            x = int(rng.integers(T // 4, T))
            img[:, x:] = 0
            lab[:, x:] = 0
        else:
            y = int(rng.integers(T // 4, T))
            img[y:] = 0
            lab[y:] = 0
    return img, lab


def closeup_sample(rng, fonts, clutter_fonts, T=C.DET_SIZE):
    """One whole detector input (RGB uint8 T x T, labels uint8 T x T) of a
    close-up: a photo cut tightly around one character of a code, so that it
    fills 45-98 % of the frame's height, as the pipeline gets it.  The source
    is small (the character 16-160 px high) and enlarged to the T frame, with
    the blur that brings; neighbours cut by the frame are labelled by the
    window rule (text when at least 60 % visible, else ignore); half the cuts
    are stretched to a square first, as single-character datasets store
    them.  The image lies at the top left of the frame, zero padded."""
    h_src = loguniform(rng, 16.0, 160.0)
    n = 1 if rng.random() < 0.35 else int(rng.integers(2, 6))
    Wb, Hb = int(h_src * (1.2 * n + 2)), int(h_src * 3)
    img, glyphs, mains = build_scene(rng, fonts, clutter_fonts, Wb, Hb, 1, [h_src],
                                     codes=[random_code(rng, n)], plate=rng.random() < 0.3)
    if not mains or not mains[0][1]:
        return None
    g = glyphs[mains[0][1][int(rng.integers(0, len(mains[0][1])))]]
    x0, y0 = g["quad"].min(axis=0)
    x1, y1 = g["quad"].max(axis=0)
    ch = (y1 - y0) / rng.uniform(0.45, 0.98)
    cw = max((x1 - x0) / rng.uniform(0.6, 0.98), ch * rng.uniform(0.5, 1.5))
    cx = (x0 + x1) / 2 + rng.uniform(-0.5, 0.5) * max(0.0, cw - (x1 - x0))
    cy = (y0 + y1) / 2 + rng.uniform(-0.5, 0.5) * max(0.0, ch - (y1 - y0))
    ox, oy = cx - cw / 2, cy - ch / 2
    M = np.float32([[1, 0, -ox], [0, 1, -oy]])
    w_c, h_c = max(4, int(round(cw))), max(4, int(round(ch)))
    crop = cv2.warpAffine(img, M, (w_c, h_c), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
    crop = degrade(rng, crop, char_h=y1 - y0)
    kx = ky = 1.0
    if rng.random() < 0.5:  # stretched to a square, as datasets of single characters are
        side = max(w_c, h_c)
        kx, ky = side / w_c, side / h_c
        crop = cv2.resize(crop, (side, side), interpolation=cv2.INTER_LINEAR)
    rows, cols = crop.shape[:2]
    f = min(T / cols, T / rows)
    rw, rh = max(1, min(T, int(cols * f))), max(1, min(T, int(rows * f)))
    out = np.zeros((T, T, 3), np.uint8)
    out[:rh, :rw] = cv2.resize(crop, (rw, rh), interpolation=cv2.INTER_LINEAR)
    scale = np.array([kx * rw / cols, ky * rh / rows])
    for q in glyphs:
        q["quad"] = (q["quad"] - [ox, oy]) * scale
        q["core"] = (q["core"] - [ox, oy]) * scale
    lab = label_map(glyphs, rh, rw, min_h=MIN_LABEL_H)
    full = np.zeros((T, T), np.uint8)
    full[:rh, :rw] = lab
    return out, full


def scene_image(rng, fonts, clutter_fonts, h768, W=None, H=None, code=None, plate=None,
                n_clutter=None, strength=1.0, style=None, clean=True):
    """A whole test image with one code whose characters are h768 px high once
    the pipeline has scaled the image to 768.  With clean=True (default) the
    only characters of the alphabet in the image are those of the code (clutter
    is drawn from other scripts and symbols), so the expected reading is exactly
    the code.  Returns (BGR uint8, text, glyphs of the code, all glyphs)."""
    if W is None:
        r = rng.random()
        if r < 0.3:
            W, H = int(rng.integers(160, 480)), int(rng.integers(60, 240))
        elif r < 0.7:
            W, H = int(rng.integers(400, 1000)), int(rng.integers(300, 800))
        else:
            W, H = int(rng.integers(1000, 2000)), int(rng.integers(700, 1400))
    f = min(768.0 / W, 768.0 / H)
    h_img = h768 / f
    if code is None:
        code = random_code(rng)
    img, glyphs, mains = build_scene(rng, fonts, clutter_fonts, W, H, 1, [h_img], codes=[code],
                                     plate=plate, n_clutter=n_clutter, style=style, clean=clean)
    img = degrade(rng, img, strength, char_h=h_img)
    if not mains:
        return None
    text, idx = mains[0]
    for i in idx:
        q = glyphs[i]["quad"]
        if q[:, 0].min() < 1 or q[:, 1].min() < 1 or q[:, 0].max() > W - 1 or q[:, 1].max() > H - 1:
            return None  # code cut by the image border
    return img[:, :, ::-1].copy(), text, [glyphs[i] for i in idx], glyphs


# ------------------------------------------------------------------ recogniser crops
def rec_scene(rng, fonts, clutter_fonts):
    """A short code on a small scene, as the recogniser's crops are cut from.
    Returns (BGR uint8 image, glyphs, indices of the code's glyphs), or None
    when the code could not be drawn."""
    n = int(rng.integers(1, 11))
    code = random_code(rng, n)
    h_src = loguniform(rng, 10, 90)
    mx = rng.uniform(0.3, 2.5) * h_src
    est_w = n * h_src * 0.9 + 2 * mx
    W = int(max(24, est_w * rng.uniform(1.0, 1.3)))
    H = int(max(16, h_src * rng.uniform(1.6, 3.5)))
    img, glyphs, mains = build_scene(rng, fonts, clutter_fonts, W, H, 1, [h_src], codes=[code],
                                     n_clutter=int(rng.integers(0, 3)))
    if not mains:
        return None
    img = degrade(rng, img, char_h=h_src)[:, :, ::-1]  # BGR like cv2.imread
    return np.ascontiguousarray(img), glyphs, mains[0][1]


def rec_samples(rng, fonts, clutter_fonts, jitter=1.0):
    """Crops cut the way the pipeline cuts them (emulated detector component ->
    minAreaRect growth -> corners in image pixels -> perspective rectification).

    Returns a list of (crop uint8 BGR, class index)."""
    scene = rec_scene(rng, fonts, clutter_fonts)
    if scene is None:
        return []
    img, glyphs, main = scene
    f = 768.0 / max(img.shape[:2])
    if rng.random() < 0.6:
        f *= loguniform(rng, 0.1, 1.0)  # the region is part of a larger photo
    return pipeline_crops(rng, img, glyphs, main, f, jitter)


def core_box(core, sx, sy, reshape=None):
    """The image box the pipeline cuts for a text component that fills the
    quadrilateral core (768 frame; the image was scaled by sx, sy into it), or
    None where the pipeline drops it; reshape, if given, changes the
    component's mask first."""
    import pipeline as P
    x0, y0 = np.floor(core.min(axis=0)).astype(int) - 3
    x1, y1 = np.ceil(core.max(axis=0)).astype(int) + 3
    if x1 - x0 > 900 or y1 - y0 > 900:  # no component of the 768 frame is that large
        return None
    m = np.zeros((y1 - y0 + 1, x1 - x0 + 1), np.uint8)
    cv2.fillPoly(m, [np.round((core - [x0, y0]) * 16).astype(np.int32)], 1, cv2.LINE_8, 4)
    if reshape is not None:
        m = reshape(m)
    ys, xs = np.nonzero(m)
    if len(xs) < 3:
        return None
    corners = P.grow_rect(np.stack([xs + x0, ys + y0], axis=1))
    return None if corners is None else P.to_image(corners, sx, sy)


def pipeline_crops(rng, img, glyphs, indices, f, jitter=1.0, label=None):
    """Crops of glyphs[indices] from img (BGR uint8), cut the way the pipeline
    cuts them when it sees the image at scale f; returns (crop, class index),
    or (crop, label) for every crop when label is given (glyphs outside the
    alphabet)."""
    import pipeline as P
    H, W = img.shape[:2]
    out = []
    for gi in indices:
        g = glyphs[gi]
        q = g["quad"]
        if q[:, 0].min() < 0 or q[:, 1].min() < 0 or q[:, 0].max() > W or q[:, 1].max() > H:
            continue
        k = ALPHABET.index(g["char"]) if label is None else label
        if rng.random() < 0.12:  # loose, square-stretched crop (photographed single chars)
            c = q.copy()
            hgt = quad_height(q)
            ctr = c.mean(axis=0)
            ex = rng.uniform(0.0, 0.35, 4) * hgt
            c[0] += [-ex[0], -ex[2]]
            c[1] += [ex[1], -ex[2]]
            c[2] += [ex[1], ex[3]]
            c[3] += [-ex[0], ex[3]]
            cr = P.rectify(img, c)
            if cr is None or cr.shape[0] < 4 or cr.shape[1] < 4:
                continue
            cr = cv2.resize(cr, (100, 100), interpolation=cv2.INTER_LINEAR if cr.shape[0] < 100 else cv2.INTER_AREA)
            out.append((cr, k))
            continue
        core = g["core"] * f
        ctr = core.mean(axis=0)
        s = max(1.0, min(np.linalg.norm(core[1] - core[0]), np.linalg.norm(core[3] - core[0])))
        j = jitter
        ang = math.radians(rng.normal(0, 2.0 * j))
        R = np.array([[math.cos(ang), -math.sin(ang)], [math.sin(ang), math.cos(ang)]])
        sc = np.array([rng.normal(1.0, 0.07 * j), rng.normal(1.0, 0.07 * j)])
        # scale along the box's own axes (approximately x/y of the code line)
        core = (core - ctr) * sc @ R.T + ctr + rng.normal(0, 0.05 * j, 2) * s

        def reshape(m):  # a component found a pixel thinner or thicker than taught
            if rng.random() < 0.25:
                kk = np.ones((3, 3), np.uint8)
                m = cv2.erode(m, kk) if rng.random() < 0.5 else cv2.dilate(m, kk)
            return m
        c = core_box(core, f, f, reshape)
        if c is None:
            continue
        cr = P.rectify(img, c)
        if cr is None:
            continue
        out.append((cr, k))
    return out
