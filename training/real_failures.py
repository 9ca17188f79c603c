"""Why the real plate crops (alpr_platecrops) are misread: one line of counts per failure kind.

  /usr/bin/python3 training/real_failures.py --det training/export/det.onnx --rec training/export/rec.onnx

Each wrongly read crop (main characters, as eval_real.py scores them) is put in
"short" (fewer characters than the truth), "same" (as many) or "long" (more),
and tagged with what the detector did among the main-size components (those at
least half as tall as the tallest passing one):
  wide    : a passing box over 1.6 x the median width, i.e. neighbours merged;
  rejected: a class-2 component dropped by the 0.75 mean-probability rule.
A crop can carry both tags.  The mean probabilities of the rejected components
are printed too: when they sit just under the threshold, the detector found
the character but was not confident enough.
"""
import argparse
import collections
import os
import sys

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import pipeline as P
from eval_real import manifest


def components(probs, sx, sy):
    """(mean class-2 probability, height, width) of every class-2 component that
    passes the pipeline's geometry rules, before its probability rule."""
    _, info = P.det_postprocess(probs, sx, sy, min_mean=0.0, return_stats=True)
    return [(mean, P.box_height(c), float(np.linalg.norm(c[1] - c[0]))) for kind, mean, c in info if kind == "ok"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--det", default=os.path.join(C.EXPORT_DIR, "det.onnx"))
    ap.add_argument("--rec", default=os.path.join(C.EXPORT_DIR, "rec.onnx"))
    a = ap.parse_args()
    det_fn, rec_fn = P.onnx_fns(a.det, a.rec)
    counts = collections.Counter()
    rejected_means = []
    for r in manifest("alpr_platecrops"):
        img = cv2.imread(r["path"], cv2.IMREAD_COLOR)  # the whole crop, as eval_real.py reads it
        res = P.read(img, det_fn, rec_fn, return_probs=True)
        text = P.drop_small(res)
        counts["images"] += 1
        if text == r["text"]:
            counts["right"] += 1
            continue
        kind = "short" if len(text) < len(r["text"]) else "long" if len(text) > len(r["text"]) else "same"
        counts[kind] += 1
        _, sx, sy = P.det_preprocess(img)  # only the scale factors; the probabilities come from read()
        comps = components(res["probs"], sx, sy)
        passing = [c for c in comps if c[0] >= C.DET_MIN_MEAN_PROB]
        if not passing:
            counts[kind + " no box"] += 1
            continue
        tallest = max(c[1] for c in passing)
        main_pass = [c for c in passing if c[1] >= 0.5 * tallest]
        main_rejected = [c for c in comps if c[0] < C.DET_MIN_MEAN_PROB and c[1] >= 0.5 * tallest]
        median_w = float(np.median([c[2] for c in main_pass]))
        counts[kind + " wide"] += any(c[2] > 1.6 * median_w for c in main_pass)
        counts[kind + " rejected"] += bool(main_rejected)
        rejected_means += [c[0] for c in main_rejected]
    print(" ".join("%s=%d" % kv for kv in sorted(counts.items())))
    if rejected_means:
        q = np.quantile(rejected_means, [0.1, 0.5, 0.9])
        print("rejected main-size components: %d, mean probability 10/50/90 %%: %.3f %.3f %.3f"
              % (len(rejected_means), *q))


if __name__ == "__main__":
    main()
