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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--det", default=os.path.join(C.EXPORT_DIR, "det.onnx"))
    ap.add_argument("--rec", default=os.path.join(C.EXPORT_DIR, "rec.onnx"))
    ap.add_argument("--n", type=int, default=300)
    a = ap.parse_args()
    det_fn, rec_fn = P.onnx_fns(a.det, a.rec)
    fb = synth.FontBank(FO.held_out_fonts())
    cl = FO.clutter_fonts()
    counts = collections.Counter()
    for i in range(a.n):
        img, text, _, code, everything = E.make_case_glyphs(E.SEED, i, fb, cl, 20.0, 300.0)
        res = P.read(img, det_fn, rec_fn)
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
        # box heights include the pipeline's growth of each side by 0.214 x the shorter side
        char_h = code_h * (1 + 2 * C.DET_PAD_RATIO)
        for b in res["boxes"]:
            box = np.asarray(b, np.float32)
            centre = tuple(float(v) for v in box.mean(axis=0))
            if any(inside(q, centre) for q in code_quads):
                continue
            on_glyph = any(g["label"] != "text" and inside(g["quad"], centre) for g in everything)
            size = "small" if P.box_height(box) < 0.5 * char_h else "big"
            counts["extra box on %s, %s" % ("glyph" if on_glyph else "other", size)] += 1
    for k in sorted(counts):
        print("%-38s %d" % (k, counts[k]))


if __name__ == "__main__":
    main()
