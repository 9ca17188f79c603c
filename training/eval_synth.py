"""End-to-end accuracy on synthetic codes in HELD-OUT fonts, by character size.

  /usr/bin/python3 training/eval_synth.py --det training/export/det.onnx --rec training/export/rec.onnx

Runs the Python reference pipeline with the ONNX models (ONNX Runtime, 2
threads).  Images: 1,000 with characters >= 20 px high after scaling to 768
(log-uniform 20..300 px) and 300 with 12..20 px characters.  Seeds are fixed,
so every run sees the same images.
"""
import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import fonts as FO
import pipeline as P
import synth

BANDS = [(12, 20), (20, 30), (30, 50), (50, 100), (100, 200), (200, 301)]


SEED = 2024


def make_case(seed, i, fb, cl, lo, hi):
    """Scene i of a fixed list: (BGR image, code, character height at 768)."""
    img, text, h, _, _ = make_case_glyphs(seed, i, fb, cl, lo, hi)
    return img, text, h


def make_case_glyphs(seed, i, fb, cl, lo, hi):
    """make_case, plus the code's glyphs and all glyphs of the scene."""
    k = 0
    while True:
        rng = np.random.default_rng([seed, i, k])
        k += 1
        h = synth.loguniform(rng, lo, hi)
        n = int(rng.integers(1, synth.max_code_len(h) + 1))
        r = synth.scene_image(rng, fb, cl, h, code=synth.random_code(rng, n))
        if r is not None:
            img, text, glyphs, everything = r
            return img, text, h, glyphs, everything


def run(det_fn, rec_fn, n_big=1000, n_small=300, seed=SEED, verbose=False, fails_dir=None, threshold=None):
    fb = synth.FontBank(FO.held_out_fonts())
    cl = FO.clutter_fonts()
    rows = []
    t0 = time.time()
    for part, n, lo, hi in (("ge20", n_big, 20.0, 300.0), ("lt20", n_small, 12.0, 20.0)):
        for i in range(n):
            img, text, h = make_case(seed + (0 if part == "ge20" else 1), i, fb, cl, lo, hi)
            res = P.read(img, det_fn, rec_fn, threshold=threshold)
            ok = res["text"] == text
            rows.append(dict(part=part, i=i, h=h, gt=text, pred=res["text"], ok=ok,
                             cacc=P.char_accuracy(res["text"], text)))
            if fails_dir and not ok and len(os.listdir(fails_dir)) < 60:
                import cv2
                cv2.imwrite(os.path.join(fails_dir, "%s_%04d_%s_%s.png" % (part, i, text, res["text"] or "-")), img)
            if verbose and (i + 1) % 100 == 0:
                sel = [r for r in rows if r["part"] == part]
                print("%s %d/%d exact %.4f  %.1fs" % (part, i + 1, n, np.mean([r["ok"] for r in sel]),
                                                       time.time() - t0), flush=True)
    return rows


def summary(rows):
    out = {}
    for part in ("ge20", "lt20"):
        sel = [r for r in rows if r["part"] == part]
        if sel:
            out[part] = dict(n=len(sel), exact=float(np.mean([r["ok"] for r in sel])),
                             char_acc=float(np.mean([r["cacc"] for r in sel])))
    for lo, hi in BANDS:
        sel = [r for r in rows if lo <= r["h"] < hi]
        if sel:
            out["h%d-%d" % (lo, hi - 1 if hi == 301 else hi)] = dict(
                n=len(sel), exact=float(np.mean([r["ok"] for r in sel])),
                char_acc=float(np.mean([r["cacc"] for r in sel])))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--det", default=os.path.join(C.EXPORT_DIR, "det.onnx"))
    ap.add_argument("--rec", default=os.path.join(C.EXPORT_DIR, "rec.onnx"))
    ap.add_argument("--n-big", type=int, default=1000)
    ap.add_argument("--n-small", type=int, default=300)
    ap.add_argument("--out", default=None, help="write per-image results (json)")
    ap.add_argument("--fails", default=None, help="folder for failure images")
    ap.add_argument("--threshold", type=float, default=None,
                    help="leave out characters whose recognition score is not above this (keshocr --threshold)")
    a = ap.parse_args()
    det_fn, rec_fn = P.onnx_fns(a.det, a.rec)
    if a.fails:
        os.makedirs(a.fails, exist_ok=True)
    rows = run(det_fn, rec_fn, a.n_big, a.n_small, verbose=True, fails_dir=a.fails, threshold=a.threshold)
    s = summary(rows)
    print(json.dumps(s, indent=1))
    if a.out:
        json.dump(dict(summary=s, rows=rows), open(a.out, "w"), indent=0)


if __name__ == "__main__":
    main()
