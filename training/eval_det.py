"""Detector-only evaluation on held-out synthetic scenes, and choice of the
export logit scale.

  /usr/bin/python3 training/eval_det.py runs/det_l/last.pt [--n 200] [--scales 1,1.5,2,3]
  /usr/bin/python3 training/eval_det.py target [--n 200]

With "target" instead of a checkpoint, the training labels of each scene stand
in for the network's output: what a detector that learnt them exactly would
find, i.e. how far the labels themselves keep neighbouring characters apart.

For every ground-truth character: is it found as exactly one passing component
(one final box whose centre lies inside the character's box, and that box does
not also contain another character's centre)?  Reported by character height
at the 768 scale, for each candidate logit scale (the exported network
multiplies its logits by that scale before the softmax; argmax is unchanged,
only the 0.75 mean-probability rule is affected).

Each scale also reports core_mean_median and core_mean_passing: the median
mean text probability of the text-class components (clutter included) and the
share of them that pass the 0.75 rule.  Averaged weights are less confident
than each run they come from; the scale that brings these back to the shipped
detector's at scale 1 is a choice of scale made without the photos.
"""
import argparse
import json
import os
import sys

import cv2
import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import fonts as FO
import models
import pipeline as P
import synth
from det_crops import inside
from eval_synth import make_case_glyphs

BANDS = [(12, 20), (20, 30), (30, 50), (50, 100), (100, 200), (200, 301)]


def char_hits(boxes, glyphs):
    return [c == "hit" for c in miss_causes(boxes, [], glyphs)]


def core_on(core_mask, quad, sx, sy):
    """Any text-class pixel of the 768 frame inside the character's quad?"""
    q = quad.astype(np.float64) * np.array([sx, sy])
    m = np.zeros_like(core_mask)
    cv2.fillPoly(m, [np.round(q).astype(np.int32).reshape(-1, 1, 2)], 1)
    return bool((m & core_mask).any())


def miss_causes(boxes, loose_boxes, glyphs, core_mask=None, sx=1.0, sy=1.0):
    """Per character 'hit' (exactly one passing box centred inside it, holding
    no other character's centre) or why not: 'split' (two or more passing
    boxes centred inside it), 'merged' (its one box also holds a neighbour's
    centre, or a box centred elsewhere covers it), 'low_prob' (only a box that
    the mean-probability rule rejected), 'too_small' (text-class pixels on it,
    but every component there fails the size rules), 'not_found' (no
    text-class pixel on it at all).  loose_boxes: the boxes found without the
    mean-probability rule."""
    centres = [b.astype(np.float64).mean(axis=0) for b in boxes]
    loose = [b.astype(np.float64).mean(axis=0) for b in loose_boxes]
    causes = []
    for g in glyphs:
        q = g["quad"]
        mine = [i for i, c in enumerate(centres) if inside(q, c)]
        if len(mine) >= 2:
            causes.append("split")
        elif len(mine) == 1:
            others = sum(1 for g2 in glyphs if g2 is not g and inside(boxes[mine[0]], g2["quad"].mean(axis=0)))
            causes.append("merged" if others else "hit")
        elif any(inside(q, c) for c in loose):
            causes.append("low_prob")
        elif any(inside(b, q.astype(np.float64).mean(axis=0)) for b in boxes):
            causes.append("merged")  # covered by a box centred elsewhere
        elif core_mask is not None and core_on(core_mask, q, sx, sy):
            causes.append("too_small")
        else:
            causes.append("not_found")
    return causes


def core_means(probs, min_pixels=20):
    """Mean text-class probability of each text-class component of at least min_pixels:
    how confident the detector is about what it marks as text, clutter included."""
    core = (probs.argmax(axis=0) == C.DET_TEXT_CLASS).astype(np.uint8)
    n, cc, stats, _ = cv2.connectedComponentsWithStats(core)
    return [float(probs[C.DET_TEXT_CLASS][cc == j].mean()) for j in range(1, n)
            if stats[j, cv2.CC_STAT_AREA] >= min_pixels]


def target_probs(glyphs, scale):
    """The training labels of a scene as one-hot probabilities in the 768 frame
    (ignored pixels count as background)."""
    lab = synth.label_map(glyphs, C.DET_SIZE, C.DET_SIZE, scale=scale)
    lab[lab == 255] = 0
    return np.eye(3, dtype=np.float32)[lab].transpose(2, 0, 1)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("ckpt", help='detector checkpoint, or "target" to score the training labels')
    ap.add_argument("--n", type=int, default=200)
    ap.add_argument("--scales", default="1,1.5,2,3,4")
    ap.add_argument("--seed", type=int, default=3030)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--arch", default=None,
                    help="run the weights in this architecture instead of the checkpoint's "
                         "(one with the same tensors, e.g. det_lfn for det_lf weights)")
    a = ap.parse_args()
    torch.set_num_threads(a.threads)
    net = None
    if a.ckpt == "target":
        a.scales = "1"
    else:
        st = torch.load(a.ckpt, map_location="cpu")
        net = models.make_detector(a.arch or st["arch"])
        net.load_state_dict(st["model"])
        net.eval()
    scales = [float(s) for s in a.scales.split(",")]
    fb = synth.FontBank(FO.held_out_fonts())
    cl = FO.clutter_fonts()
    res = {s: [] for s in scales}
    why = []  # (height, cause) at the first scale
    img_ok = {s: [] for s in scales}
    means = {s: [] for s in scales}
    for i in range(a.n):
        img, text, h, glyphs, every_glyph = make_case_glyphs(a.seed, i, fb, cl, 12.0, 300.0)
        x, sx, sy = P.det_preprocess(img)
        if net is None:
            def probs_at(s):
                return target_probs(every_glyph, sx)
        else:
            with torch.no_grad():
                lg = net.logits(torch.from_numpy(x))

            def probs_at(s):
                return net.probs(lg, s)[0].numpy()
        for s in scales:
            probs = probs_at(s)
            boxes = P.det_postprocess(probs, sx, sy)
            if s == scales[0]:  # the first scale also says why characters are missed
                loose = P.det_postprocess(probs, sx, sy, min_mean=0.0)
                core = (probs.argmax(axis=0) == C.DET_TEXT_CLASS).astype(np.uint8)
                causes = miss_causes(boxes, loose, glyphs, core, sx, sy)
                why += [(h, c) for c in causes]
                hits = [c == "hit" for c in causes]
            else:
                hits = char_hits(boxes, glyphs)
            res[s] += [(h, ok) for ok in hits]
            if net is not None:
                means[s] += core_means(probs)
            img_ok[s].append(all(hits) and len(boxes) == len(glyphs))
    out = {}
    for s in scales:
        d = {"all": float(np.mean([ok for _, ok in res[s]])), "images_exact": float(np.mean(img_ok[s]))}
        if means[s]:
            d["core_mean_median"] = round(float(np.median(means[s])), 4)
            d["core_mean_passing"] = round(float(np.mean(np.array(means[s]) >= C.DET_MIN_MEAN_PROB)), 4)
        for lo, hi in BANDS:
            sel = [ok for h, ok in res[s] if lo <= h < hi]
            if sel:
                d["h%d-%d" % (lo, hi)] = round(float(np.mean(sel)), 4)
        out[str(s)] = d
    causes = sorted(set(c for _, c in why))
    out["causes_at_scale_%g" % scales[0]] = {
        "all": {c: round(float(np.mean([w == c for _, w in why])), 4) for c in causes},
        **{"h%d-%d" % (lo, hi): {c: round(float(np.mean([w == c for h, w in why if lo <= h < hi])), 4)
                                 for c in causes}
           for lo, hi in BANDS if any(lo <= h < hi for h, _ in why)}}
    print(json.dumps(out, indent=1))


if __name__ == "__main__":
    main()
