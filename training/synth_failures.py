"""Why held-out synthetic scenes are misread: counts per failure kind.

  /usr/bin/python3 training/synth_failures.py --det training/export/det.onnx --rec training/export/rec.onnx --n 300

Reads the first N of eval_synth.py's >= 20 px scenes (same seeds, same images)
and sorts every passing box that lies on none of the code's characters (its
centre outside all of their quadrilaterals) by what is under it:
  glyph: a clutter glyph (other scripts, symbols, separators);
  other: shapes, stripes, texture or empty background;
and by size: "small" when under half the code's median character height (about
what the small-character filter, half the tallest box, drops), else "big".
Wrong readings are also counted as short / same / long against the truth,
and exact matches are split by whether the scene holds a clutter glyph at least
half the code's height (one that looks like a capital can pass for one).
Prints exact matches raw and with the small-character filter (about 1.5 min
for 300 scenes).

Two readings bound what each network costs (with --threshold, both apply it):
  "right without extra boxes": the pipeline's reading with every box that lies
    on none of the code's characters dropped, as if no clutter were ever found;
  "right on true boxes": the recogniser alone, on the boxes the pipeline would
    cut from perfectly found characters (each character's core, as the
    detector is taught to mark it, grown by the pipeline's rule).
"""
import argparse
import collections
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
from det_crops import inside
import eval_synth as E
import fonts as FO
import pipeline as P
import synth


def read_true_boxes(img, code, rec_fn, threshold=None):
    """The recogniser's reading of the code's characters cut from their true
    cores, scaled into the detector's 768 frame and grown as det_postprocess
    grows a component; characters it would drop as too small count as missing."""
    _, sx, sy = P.det_preprocess(img)
    crops = []
    for g in sorted(code, key=lambda g: g["quad"][:, 0].min()):
        c = synth.core_box(g["core"] * [sx, sy], sx, sy)
        cr = P.rectify(img, c) if c is not None else None
        if cr is not None:
            crops.append(P.rec_preprocess(cr))
    if not crops:
        return ""
    p = rec_fn(np.stack(crops))
    return "".join(C.ALPHABET[k] for k, s in zip(p.argmax(axis=1), p.max(axis=1))
                   if threshold is None or s > threshold)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--det", default=os.path.join(C.EXPORT_DIR, "det.onnx"))
    ap.add_argument("--rec", default=os.path.join(C.EXPORT_DIR, "rec.onnx"))
    ap.add_argument("--n", type=int, default=300)
    ap.add_argument("--threshold", type=float, default=None,
                    help="leave out characters whose score is not above this (default: none, raw output)")
    a = ap.parse_args()
    det_fn, rec_fn = P.onnx_fns(a.det, a.rec)
    fb = synth.FontBank(FO.held_out_fonts())
    cl = FO.clutter_fonts()
    counts = collections.Counter()
    for i in range(a.n):
        img, text, _, code, everything = E.make_case_glyphs(E.SEED, i, fb, cl, 20.0, 300.0)
        res = P.read(img, det_fn, rec_fn, threshold=a.threshold)
        counts["images"] += 1
        counts["right"] += res["text"] == text
        counts["right, small dropped"] += P.drop_small(res) == text
        if res["text"] != text:
            n, m = len(res["text"]), len(text)
            counts["short" if n < m else "long" if n > m else "same"] += 1
        code_quads = [g["quad"] for g in code]
        code_h = np.median([synth.quad_height(q) for q in code_quads])
        # scenes with a clutter glyph at least half the code's height: one the
        # small-character filter would keep if it were read
        big_clutter = any(g["label"] == "bg" and synth.quad_height(g["quad"]) >= 0.5 * code_h for g in everything)
        group = "scenes with big clutter glyphs" if big_clutter else "scenes without"
        counts[group] += 1
        counts[group + ", right"] += res["text"] == text
        counts["right on true boxes"] += read_true_boxes(img, code, rec_fn, a.threshold) == text
        # box heights include the pipeline's growth of each side by 0.214 x the shorter side
        char_h = code_h * (1 + 2 * C.DET_PAD_RATIO)
        on_code = ""
        for ch, b in zip(res["text"], res["boxes"]):
            box = np.asarray(b, np.float32)
            centre = tuple(float(v) for v in box.mean(axis=0))
            if any(inside(q, centre) for q in code_quads):
                on_code += ch
                continue
            on_glyph = any(g["label"] != "text" and inside(g["quad"], centre) for g in everything)
            size = "small" if P.box_height(box) < 0.5 * char_h else "big"
            counts["extra box on %s, %s" % ("glyph" if on_glyph else "other", size)] += 1
        counts["right without extra boxes"] += on_code == text
    for k in sorted(counts):
        print("%-38s %d" % (k, counts[k]))


if __name__ == "__main__":
    main()
