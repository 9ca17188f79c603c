"""How well the detector finds characters of every size, on held-out synthetic scenes.

  /usr/bin/python3 training/size_sweep.py training/export/det.onnx [--n 60] [--out sweep.json]
  /usr/bin/python3 training/size_sweep.py training/runs/det_x/last.pt [--n 60]

Characters span 8 to 700 px tall at the 768 scale, in seven buckets; each
bucket's scenes are the kind of image where such characters occur:

  8-12, 12-20    small codes in big scenes (1,000-2,000 px wide, clutter), half
                 of them on plate-like panels, as in a whole car photo
  20-40 .. 100-300  the usual mix of scene sizes, panels and labels
  300-500        short codes (1-3 characters) in close-ups 100-800 px wide
  500-700        one character filling a close-up

Fonts are the held-out ones and the seed is fixed, so every run sees the same
images.  Per bucket: recall (a character found as exactly one passing box
centred inside it that holds no other character's centre, the library's own
post-processing), merged (its box also holds a neighbour's centre), split (two
boxes on it), and false boxes per image (passing boxes whose centre lies on no
character of the code; the scenes hold no other character of the alphabet).
"""
import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fonts as FO
import pipeline as P
import synth
from det_crops import inside
from eval_det import miss_causes

BUCKETS = [(8, 12), (12, 20), (20, 40), (40, 100), (100, 300), (300, 500), (500, 700)]
SEED = 3131


def bucket_name(lo, hi):
    return "%d-%d" % (lo, hi)


def scene_size(rng, lo):
    """Image size (W, H) for a bucket: big scenes for small characters, close-ups for big ones."""
    if lo < 20:
        return int(rng.integers(1000, 2000)), int(rng.integers(700, 1400))
    if lo >= 300:
        s = int(rng.integers(100, 800))
        return s, int(s * rng.uniform(0.8, 1.25))
    return None, None  # scene_image's own mix


def make_scene(b, i, fb, cl):
    """Scene i of bucket b: (BGR image, character height at 768, code glyphs)."""
    lo, hi = BUCKETS[b]
    for k in range(200):
        rng = np.random.default_rng([SEED, b, i, k])
        h = synth.loguniform(rng, lo, hi)
        W, H = scene_size(rng, lo)
        if lo >= 500:
            n, plate = 1, False
        elif lo >= 300:
            n, plate = int(rng.integers(1, 4)), False
        else:
            n, plate = int(rng.integers(1, synth.max_code_len(h) + 1)), (rng.random() < 0.5 if lo < 20 else None)
        r = synth.scene_image(rng, fb, cl, h, W=W, H=H, code=synth.random_code(rng, n), plate=plate)
        if r is not None:
            img, _, glyphs, _ = r
            return img, h, glyphs
    raise RuntimeError("bucket %s scene %d: no code fits the frame" % (bucket_name(lo, hi), i))


def load_detector(path, threads):
    """det_fn(x) -> probabilities, from an ONNX export or a training checkpoint."""
    if path.endswith(".onnx"):
        det_fn, _ = P.onnx_fns(path, None, threads)
        return det_fn
    import torch
    import models
    torch.set_num_threads(threads)
    st = torch.load(path, map_location="cpu")
    net = models.make_detector(st["arch"])
    net.load_state_dict(st["model"])
    net.eval()
    return P.torch_fns(net)[0]


def sweep(det_fn, n, fb, cl, verbose=False):
    out = {}
    t0 = time.time()
    for b, (lo, hi) in enumerate(BUCKETS):
        causes, false_boxes, exact = [], 0, 0
        for i in range(n):
            img, _, glyphs = make_scene(b, i, fb, cl)
            x, sx, sy = P.det_preprocess(img)
            probs = det_fn(x)[0]
            boxes = P.det_postprocess(probs, sx, sy)
            c = miss_causes(boxes, [], glyphs)
            causes += c
            false_boxes += sum(1 for bx in boxes
                               if not any(inside(g["quad"], bx.astype(np.float64).mean(axis=0)) for g in glyphs))
            exact += all(v == "hit" for v in c) and len(boxes) == len(glyphs)
        m = lambda key: round(float(np.mean([v == key for v in causes])), 4)
        out[bucket_name(lo, hi)] = dict(images=n, chars=len(causes), recall=m("hit"), merged=m("merged"),
                                        split=m("split"), false_per_image=round(false_boxes / n, 3),
                                        images_exact=round(exact / n, 4))
        if verbose:
            print(bucket_name(lo, hi), json.dumps(out[bucket_name(lo, hi)]), "%.0fs" % (time.time() - t0),
                  flush=True)
    return out


def markdown(res):
    rows = ["| chars (px at 768) | images | chars | recall | merged | split | false boxes / image |",
            "|---|---|---|---|---|---|---|"]
    for k, d in res.items():
        rows.append("| %s | %d | %d | %.1f %% | %.1f %% | %.1f %% | %.2f |" % (
            k, d["images"], d["chars"], 100 * d["recall"], 100 * d["merged"], 100 * d["split"],
            d["false_per_image"]))
    return "\n".join(rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("detector", help="det.onnx export or a detector training checkpoint (.pt)")
    ap.add_argument("--n", type=int, default=60, help="scenes per bucket")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--out", default=None, help="write the figures as JSON here")
    a = ap.parse_args()
    fb = synth.FontBank(FO.held_out_fonts())
    cl = FO.clutter_fonts()
    res = sweep(load_detector(a.detector, a.threads), a.n, fb, cl, verbose=True)
    print(json.dumps(res, indent=1))
    print(markdown(res))
    if a.out:
        json.dump(res, open(a.out, "w"), indent=1)


if __name__ == "__main__":
    main()
