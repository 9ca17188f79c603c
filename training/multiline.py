"""Synthetic MULTI-LINE codes in held-out fonts, with each line drawn alone as a control.

  /usr/bin/python3 training/multiline.py --n 300 --out DIR

Kinds of scene (drawn by the rng): "plate" (a two-row plate: AB12 over 3456,
the top row sometimes smaller), "label" (two stacked codes of 3-10
characters), "serial" (a serial over a date-like code: SN 4821X7 over
2026 11), "three" (three stacked codes of 2-6 characters).  Rows are left-aligned,
centred or right-aligned, 0.15 to 1.5 character heights apart, on a plate,
a label patch or straight on the background; the block is rotated up to 12
degrees and mildly perspective-warped, on synth.py's backgrounds, clutter
(other scripts and symbols only) and degradations.  Characters are 20-150 px
high at the 768 scale.  Fonts: fonts.held_out_fonts() only.  Seed 3030.

Writes DIR/images/NNNN.png, DIR/oneline/NNNN_L.png (line L, 0 at the top, in
the same scene drawn without the other lines: same font, size, style, place,
background, clutter and degradation) and DIR/manifest.tsv with the columns
  image     images/NNNN.png
  text      the lines top to bottom, joined by "|", without spaces
  n_lines   2 or 3
  quads     JSON: each line's quadrilateral in image pixels (TL, TR, BR, BL),
            the box enclosing its characters' boxes
  kind, h768 (character height of a full-size line at the 768 scale),
  spacing (gap between rows / character height), words (the lines as drawn,
  word gaps as spaces), oneline (the control images, joined by "|").
"""
import argparse
import json
import math
import os
import sys
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import fonts as FO
import synth

SEED = 3030
KINDS = ("plate", "label", "serial", "three")
MAX_ROT = 12.0
DIGITS, LETTERS = C.ALPHABET[:10], C.ALPHABET[10:]


def _pick(rng, pool, n):
    return "".join(pool[j] for j in rng.integers(0, len(pool), n))


def _gap(rng, s, p):
    """s with a word gap at a random place, with probability p."""
    if len(s) >= 4 and rng.random() < p:
        k = int(rng.integers(2, len(s) - 1))
        return s[:k] + " " + s[k:]
    return s


def random_lines(rng):
    """(kind, lines top to bottom with word gaps as spaces, size of each line)."""
    kind = KINDS[int(rng.integers(len(KINDS)))]
    small = lambda p: rng.uniform(0.6, 0.9) if rng.random() < p else 1.0
    if kind == "plate":
        top = _pick(rng, LETTERS, int(rng.integers(1, 4)))
        if len(top) == 1 or rng.random() < 0.5:
            top += (" " if rng.random() < 0.3 else "") + _pick(rng, DIGITS, int(rng.integers(1, 3)))
        n = int(rng.integers(3, 6))
        bot = _pick(rng, DIGITS, n) if rng.random() < 0.7 else synth.random_code(rng, n)
        return kind, [top, _gap(rng, bot, 0.2)], [small(0.3), 1.0]
    if kind == "label":
        lines = [_gap(rng, synth.random_code(rng, int(rng.integers(3, 11))), 0.25) for _ in range(2)]
        return kind, lines, [1.0, small(0.3)]
    if kind == "serial":
        pre = ("SN", "S", "SER", "NO", "LOT", "ID", "")[int(rng.integers(7))]
        body = _pick(rng, DIGITS, int(rng.integers(3, 7)))
        if rng.random() < 0.5:
            body += _pick(rng, C.ALPHABET, int(rng.integers(1, 3)))
        serial = pre + (" " if pre and rng.random() < 0.4 else "") + body
        y, m, d = "%d" % rng.integers(1990, 2040), "%02d" % rng.integers(1, 13), "%02d" % rng.integers(1, 29)
        forms = (y + " " + m, m + " " + y, y + " " + m + " " + d, y[2:] + m + d, d + " " + m + " " + y[2:])
        date = forms[int(rng.integers(len(forms)))]
        if rng.random() < 0.3:
            date = ("EXP", "MFG", "DATE")[int(rng.integers(3))] + " " + date
        return kind, [serial, date], [1.0, small(0.4)]
    return kind, [synth.random_code(rng, int(rng.integers(2, 7))) for _ in range(3)], [1.0, 1.0, 1.0]


def random_style(rng, fb, kind):
    """Everything a scene's lines share with their one-line controls."""
    fg, bg = synth.contrasting_pair(rng)
    r = rng.random()
    panel = ("plate" if r < 0.8 else "label") if kind == "plate" else \
        "plate" if r < 0.2 else "label" if r < 0.6 else "bare"
    r = rng.random()
    gap = rng.uniform(-0.04, 0.03) if r < 0.15 else rng.uniform(0.05, 0.3) if r < 0.8 else rng.uniform(0.3, 0.7)
    r = rng.random()
    spacing = rng.uniform(0.15, 0.3) if r < 0.35 else rng.uniform(0.3, 0.7) if r < 0.75 else rng.uniform(0.7, 1.5)
    r = rng.random()
    if kind == "plate":
        align = "centre" if r < 0.8 else "left"
    else:
        align = "left" if r < 0.5 else "centre" if r < 0.85 else "right"
    return dict(font=fb.sample(rng), fg=fg, bg=bg, panel=panel, gap=gap, spacing=spacing, align=align,
                sx=float(np.clip(rng.normal(1.0, 0.15), 0.65, 1.4)),
                stroke=rng.uniform(0.01, 0.05) if rng.random() < 0.25 else 0.0,
                shear=rng.uniform(-0.25, 0.25) if rng.random() < 0.15 else 0.0,
                mono=bool(rng.random() < 0.2), tex=bool(rng.random() < 0.3), tex_seed=int(rng.integers(1 << 30)),
                pad=(rng.uniform(0.3, 0.9), rng.uniform(0.35, 0.8)) if panel != "bare" else (0.3, 0.3),
                radius=rng.uniform(0.02, 0.12), holes=bool(rng.random() < 0.4),
                border=(rng.uniform(0.02, 0.08), rng.uniform(0.0, 0.12)) if rng.random() < 0.6 else None,
                angle=rng.uniform(-MAX_ROT, MAX_ROT) if rng.random() < 0.7 else rng.uniform(-3, 3),
                persp=rng.uniform(-0.04, 0.04, (4, 2)) if rng.random() < 0.6 else np.zeros((4, 2)),
                at=rng.random(2))


def block_layer(rng, st, lines, caps):
    """The lines stacked in local coordinates, caps: each line's character
    height in pixels.  Returns (synth.Layer, [glyph indices of each line],
    [each line's box x0, y0, x1, y1 enclosing its characters]) or None."""
    rows = []
    for s, cap in zip(lines, caps):
        ln = synth.render_line(rng, [(c, "bg" if c == " " else "text") for c in s], st["font"], cap,
                               gap_ratio=st["gap"], sx=st["sx"], stroke=int(round(cap * st["stroke"])),
                               italic_shear=st["shear"], mono=st["mono"])
        if ln is None or len(ln.glyphs) != len(s.replace(" ", "")):
            return None
        b = np.array([g["box"] for g in ln.glyphs], np.float64)
        rows.append((ln, b[:, :2].min(axis=0), b[:, 2:].max(axis=0)))
    cmax = max(caps)
    bw = max(hi[0] - lo[0] for _, lo, hi in rows)
    mx, my = int(math.ceil(st["pad"][0] * cmax)) + 2, int(math.ceil(st["pad"][1] * cmax)) + 2
    y, offs = float(my), []
    for k, (ln, lo, hi) in enumerate(rows):
        w = hi[0] - lo[0]
        x = mx + {"left": 0.0, "centre": (bw - w) / 2, "right": bw - w}[st["align"]]
        offs.append((int(round(x - lo[0])), int(round(y - lo[1]))))
        if k + 1 < len(rows):
            y += hi[1] - lo[1] + st["spacing"] * max(caps[k], caps[k + 1])
    lh, lw = int(math.ceil(y + rows[-1][2][1] - rows[-1][1][1])) + my, int(math.ceil(bw)) + 2 * mx
    alpha = np.zeros((lh, lw), np.float32)
    glyphs, idx, rects = [], [], []
    for (ln, lo, hi), (ox, oy) in zip(rows, offs):
        h, w = ln.alpha.shape
        x0, y0, x1, y1 = max(0, ox), max(0, oy), min(lw, ox + w), min(lh, oy + h)
        np.maximum(alpha[y0:y1, x0:x1], ln.alpha[y0 - oy:y1 - oy, x0 - ox:x1 - ox], out=alpha[y0:y1, x0:x1])
        idx.append(list(range(len(glyphs), len(glyphs) + len(ln.glyphs))))
        for g in ln.glyphs:
            b = g["box"]
            glyphs.append(dict(char=g["char"], label="text", box=[b[0] + ox, b[1] + oy, b[2] + ox, b[3] + oy]))
        rects.append([lo[0] + ox, lo[1] + oy, hi[0] + ox, hi[1] + oy])
    trng = np.random.default_rng(st["tex_seed"])  # the same textures for the controls
    fill = synth._fill_texture(trng, lh, lw, st["fg"]) if st["tex"] else np.full((lh, lw, 3), st["fg"], np.float32)
    if st["panel"] == "bare":
        lay = synth.Layer(fill, alpha, glyphs)
        return lay, idx, rects
    panel = synth._fill_texture(trng, lh, lw, st["bg"])
    if st["border"] is not None:
        th = max(1, int(cmax * st["border"][0]))
        ins = int(cmax * st["border"][1]) + th
        cv2.rectangle(panel, (ins, ins), (lw - 1 - ins, lh - 1 - ins), tuple(float(v) for v in st["fg"]), th)
    mask = np.ones((lh, lw), np.float32)
    if st["panel"] == "plate":
        if st["holes"]:
            col = tuple(float(v) for v in np.clip(st["bg"] * 0.4, 0, 255))
            for cx in (0.25 * lw, 0.75 * lw):
                cv2.circle(panel, (int(cx), my // 2), max(1, int(cmax * 0.06)), col, -1)
        rad = int(min(lh, lw) * st["radius"])
        if rad > 1:
            m = np.zeros((lh, lw), np.uint8)
            cv2.rectangle(m, (rad, 0), (lw - 1 - rad, lh - 1), 255, -1)
            cv2.rectangle(m, (0, rad), (lw - 1, lh - 1 - rad), 255, -1)
            for cx, cy in [(rad, rad), (lw - 1 - rad, rad), (rad, lh - 1 - rad), (lw - 1 - rad, lh - 1 - rad)]:
                cv2.circle(m, (cx, cy), rad, 255, -1)
            mask = m.astype(np.float32) / 255.0
    rgb = panel * (1 - alpha[..., None]) + fill * alpha[..., None]
    return synth.Layer(rgb, mask, glyphs), idx, rects


def block_homography(st, lh, lw, W, H):
    """Rotation by st["angle"], mild perspective, centred at st["at"] within
    the image; None when the layer does not fit."""
    a = math.radians(st["angle"])
    ca, sa = math.cos(a), math.sin(a)
    ex, ey = (lw * abs(ca) + lh * abs(sa)) / 2 * 1.08, (lw * abs(sa) + lh * abs(ca)) / 2 * 1.08
    if 2 * ex >= W - 2 or 2 * ey >= H - 2:
        return None
    cx, cy = ex + 1 + st["at"][0] * (W - 2 - 2 * ex), ey + 1 + st["at"][1] * (H - 2 - 2 * ey)
    src = np.array([[0, 0], [lw, 0], [lw, lh], [0, lh]], np.float32)
    uv = src - [lw / 2, lh / 2] + st["persp"] * [lw, lh]
    dst = np.stack([cx + uv[:, 0] * ca - uv[:, 1] * sa, cy + uv[:, 0] * sa + uv[:, 1] * ca], axis=1)
    return cv2.getPerspectiveTransform(src, dst.astype(np.float32))


def _inside(q, W, H):
    return q[:, 0].min() >= 1 and q[:, 1].min() >= 1 and q[:, 0].max() <= W - 1 and q[:, 1].max() <= H - 1


def _legible(rng, img, layer, Hm, st):
    """Text straight on the background: new ink where it stands out too little
    (as synth.build_scene does); st keeps it for the controls."""
    fp = cv2.warpPerspective(layer.alpha, Hm, img.shape[1::-1], flags=cv2.INTER_NEAREST) > 0.5
    if not fp.any():
        return
    lum = lambda c: float(c[0] * 0.299 + c[1] * 0.587 + c[2] * 0.114)
    under, need = lum(img[fp].mean(axis=0)), 60 if rng.random() < 0.85 else 35
    if abs(under - lum(st["fg"])) < need:
        st["fg"] = rng.uniform(0, max(5, under - need - 10), 3) if under > 128 else \
            rng.uniform(min(250, under + need + 10), 255, 3)
        st["tex"] = False
        layer.rgb[:] = st["fg"]


def _scene(seeds, layer, Hm, W, H, fb, cl, avoid, char_h, st=None):
    """Background, the layer, clutter and degradation, each from a seed of its
    own, so that a control (same seeds, same size) differs only by its layer."""
    img = synth.background(np.random.default_rng(seeds + [1]), H, W)
    if st is not None and st["panel"] == "bare":
        _legible(np.random.default_rng(seeds + [5]), img, layer, Hm, st)
    synth.composite(img, layer, Hm)
    rng = np.random.default_rng(seeds + [2])
    rects = list(avoid)
    for _ in range(int(rng.poisson(synth.CLUTTER_MEAN))):
        lay = synth.make_clutter_layer(rng, fb, cl, synth.sample_char_h(rng, 6, min(200, max(W, H) / 3)), clean=True)
        if lay is None:
            continue
        lh, lw = lay.alpha.shape
        for _ in range(6):
            Hc = synth.random_homography(rng, lw, lh, rng.uniform(0, W), rng.uniform(0, H), 1.0)
            c = synth.warp_pts(Hc, [[0, 0], [lw, 0], [lw, lh], [0, lh]])
            r = [c[:, 0].min(), c[:, 1].min(), c[:, 0].max(), c[:, 1].max()]
            if not synth._overlaps(r, rects, margin=2):
                rects.append(r)
                synth.composite(img, lay, Hc)
                break
    img = synth.degrade(np.random.default_rng(seeds + [3]), img, 1.0, char_h=char_h)
    return img[:, :, ::-1].copy()


def _case(seeds, fb, cl):
    rng = np.random.default_rng(seeds)
    kind, words, sizes = random_lines(rng)
    st = random_style(rng, fb, kind)
    r = rng.random()
    if r < 0.3:
        W, H = int(rng.integers(200, 600)), int(rng.integers(120, 450))
    elif r < 0.7:
        W, H = int(rng.integers(400, 1000)), int(rng.integers(300, 800))
    else:
        W, H = int(rng.integers(1000, 2000)), int(rng.integers(700, 1400))
    f = min(768.0 / W, 768.0 / H)
    probe = block_layer(np.random.default_rng(seeds + [4]), st, words, [100.0 * s for s in sizes])
    if probe is None:
        return None
    lh, lw = probe[0].alpha.shape
    ca, sa = abs(math.cos(math.radians(st["angle"]))), abs(math.sin(math.radians(st["angle"])))
    hmax = 100 * 0.9 * f * min(W / (lw * ca + lh * sa), H / (lw * sa + lh * ca))
    lo, hi = max(20.0, 16.0 / min(sizes)), min(150.0, hmax)
    if hi < lo:
        return None
    h768 = synth.loguniform(rng, lo, hi)
    caps = [h768 * s / f for s in sizes]
    made = block_layer(rng, st, words, caps)
    if made is None:
        return None
    layer, _, rects = made
    Hm = block_homography(st, *layer.alpha.shape, W, H)
    if Hm is None:
        return None
    quads = [synth.warp_pts(Hm, synth.box_quads(b)) for b in rects]
    if not all(_inside(q, W, H) for q in quads):
        return None
    c = synth.warp_pts(Hm, [[0, 0], [layer.alpha.shape[1], 0], [layer.alpha.shape[1], layer.alpha.shape[0]],
                            [0, layer.alpha.shape[0]]])
    avoid = [[c[:, 0].min(), c[:, 1].min(), c[:, 0].max(), c[:, 1].max()]]
    img = _scene(seeds, layer, Hm, W, H, fb, cl, avoid, min(caps), st)
    controls = []
    for s, cap, b in zip(words, caps, rects):
        one = block_layer(rng, st, [s], [cap])
        if one is None:
            return None
        b1 = one[2][0]
        T = np.array([[1, 0, (b[0] + b[2] - b1[0] - b1[2]) / 2], [0, 1, (b[1] + b[3] - b1[1] - b1[3]) / 2], [0, 0, 1]])
        H1 = Hm @ T
        if not _inside(synth.warp_pts(H1, synth.box_quads(b1)), W, H):
            return None
        controls.append(_scene(seeds, one[0], H1, W, H, fb, cl, avoid, cap))
    info = dict(kind=kind, words=words, h768=h768, heights=[h768 * s for s in sizes], spacing=st["spacing"],
                align=st["align"], panel=st["panel"], angle=st["angle"], font=os.path.basename(st["font"]))
    return img, [w.replace(" ", "") for w in words], controls, quads, info


def make_case_info(seed, i, fb, cl):
    """make_case, plus a dict: kind, words (lines as drawn), h768, heights,
    spacing, align, panel, angle, font."""
    k = 0
    while True:
        r = _case([seed, i, k], fb, cl)
        k += 1
        if r is not None:
            return r


def make_case(seed, i, fb, cl):
    """Scene i of a fixed list: (BGR image, lines top to bottom without spaces,
    [BGR image of each line alone], [each line's quad, 4x2 image pixels])."""
    return make_case_info(seed, i, fb, cl)[:4]


def write_set(out, n, seed=SEED, verbose=False):
    """Writes n cases under out (images/, oneline/, manifest.tsv)."""
    fb = synth.FontBank(FO.held_out_fonts())
    cl = FO.clutter_fonts()
    for d in ("images", "oneline"):
        os.makedirs(os.path.join(out, d), exist_ok=True)
    t0 = time.time()
    with open(os.path.join(out, "manifest.tsv"), "w") as f:
        f.write("image\ttext\tn_lines\tquads\tkind\th768\tspacing\twords\toneline\n")
        for i in range(n):
            img, lines, controls, quads, info = make_case_info(seed, i, fb, cl)
            name = "images/%04d.png" % i
            cv2.imwrite(os.path.join(out, name), img)
            ones = []
            for k, im in enumerate(controls):
                ones.append("oneline/%04d_%d.png" % (i, k))
                cv2.imwrite(os.path.join(out, ones[-1]), im)
            q = json.dumps([np.round(x, 1).tolist() for x in quads])
            f.write("%s\t%s\t%d\t%s\t%s\t%.1f\t%.2f\t%s\t%s\n" % (name, "|".join(lines), len(lines), q, info["kind"],
                                                              info["h768"], info["spacing"], "|".join(info["words"]),
                                                              "|".join(ones)))
            if verbose and (i + 1) % 50 == 0:
                print("%d/%d  %.1fs" % (i + 1, n, time.time() - t0), flush=True)
    return time.time() - t0


def read_set(root):
    """The manifest's rows: dict(image, lines, quads (4x2 arrays), kind, h768,
    spacing, words, oneline), image paths absolute."""
    rows = []
    with open(os.path.join(root, "manifest.tsv")) as f:
        head = f.readline().rstrip("\n").split("\t")
        for line in f:
            r = dict(zip(head, line.rstrip("\n").split("\t")))
            rows.append(dict(image=os.path.abspath(os.path.join(root, r["image"])), lines=r["text"].split("|"),
                             quads=[np.array(q, np.float64) for q in json.loads(r["quads"])], kind=r["kind"],
                             h768=float(r["h768"]), spacing=float(r["spacing"]), words=r["words"].split("|"),
                             oneline=[os.path.abspath(os.path.join(root, p)) for p in r["oneline"].split("|")]))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=300)
    ap.add_argument("--out", required=True)
    ap.add_argument("--seed", type=int, default=SEED)
    a = ap.parse_args()
    dt = write_set(a.out, a.n, a.seed, verbose=True)
    print("wrote %d scenes to %s in %.1fs" % (a.n, a.out, dt))


if __name__ == "__main__":
    main()
