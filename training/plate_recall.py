"""How often the detector finds each code character of synthetic whole-plate
crops as a box of its own, split by character (1, I, the rest) and by face
(OSP-DIN, the other plate faces, the training fonts).

  /usr/bin/python3 training/plate_recall.py --det training/export/det.onnx --n 1200

A character counts as found when a passing box holds its centre and no other
code character's centre (det_crops.label_boxes).  Narrow bars (1, I) in the
plate faces are where real plates lose characters, so they are counted apart.
The median width / height of the characters' training cores (class 2) is
printed beside: a thin core is a weak target.

With --rec the plates are also read end to end as eval_real.py reads the real
plate crops (characters scoring --threshold or less left out, 0.45 by default,
then those under half the tallest box) and the exact matches are counted by
face.  It ranks detectors by how they read plates of the training kind, which
is not how they rank on the real plate crops (training/README.md, det_lfq).

  /usr/bin/python3 training/plate_recall.py --det D.onnx --rec training/export/rec.onnx --n 600
"""
import argparse
import collections
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import det_crops as D
import fonts as FO
import pipeline as P
import plates


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--det", default=os.path.join(C.EXPORT_DIR, "det.onnx"))
    ap.add_argument("--n", type=int, default=1200, help="plate crops")
    ap.add_argument("--seed", type=int, default=4242)
    ap.add_argument("--rec", default=None, help="also read each plate end to end with this recogniser")
    ap.add_argument("--threshold", type=float, default=0.45)
    a = ap.parse_args()
    if a.rec:
        _, rec_fn = P.onnx_fns(None, a.rec)
    read_ok, read_n = collections.Counter(), collections.Counter()
    fb = plates.loader_setup(held_out=False, plate_fonts=True)
    clutter = FO.clutter_fonts()
    # plate_crop does not say which face it drew; its style does
    face = {}
    plate_style = plates.plate_style

    def recording_style(rng):
        s = plate_style(rng)
        face["path"] = s.get("font")
        return s
    plates.plate_style = recording_style

    found, total = collections.Counter(), collections.Counter()
    core_ratio = collections.defaultdict(list)
    for i in range(a.n):
        crop = plates.plate_crop(np.random.default_rng([a.seed, i]), fb, clutter)
        if crop is None:
            continue
        img, glyphs, main = crop
        main = [k for k in main if glyphs[k]["label"] == "text"]
        bgr = np.ascontiguousarray(img[:, :, ::-1])
        x, sx, sy = P.det_preprocess(bgr)
        det_out = D.session(a.det).run(x)  # run once: the recall and the reading share it
        boxes = P.det_postprocess(det_out[0], sx, sy)
        alone = {gi for _, gi in D.label_boxes(boxes, glyphs, main)}
        p = face["path"]
        kind = "training fonts" if p is None else "OSP-DIN" if "DIN" in p else "other plate faces"
        if a.rec:
            code = "".join(glyphs[j]["char"] for j in main)
            res = P.read(bgr, lambda _: det_out, rec_fn, threshold=a.threshold)
            read_n[kind] += 1
            read_ok[kind] += P.drop_small(res) == code
        for j in main:
            ch = glyphs[j]["char"]
            key = (ch if ch in "1I" else "rest", kind)
            total[key] += 1
            found[key] += j in alone
            q = glyphs[j]["core"]
            core_ratio[key].append(np.linalg.norm(q[1] - q[0]) / max(1e-6, np.linalg.norm(q[3] - q[0])))
    for key in sorted(total):
        print("%-5s %-18s %5d characters, %3.0f %% found, core width / height %.2f" %
              (key[0], key[1], total[key], 100.0 * found[key] / total[key], np.median(core_ratio[key])))
    for kind in sorted(read_n):
        print("read  %-18s %5d plates, %5.1f %% exact" % (kind, read_n[kind], 100.0 * read_ok[kind] / read_n[kind]))
    if read_n:
        print("read  all %20d plates, %5.1f %% exact" % (sum(read_n.values()),
                                                         100.0 * sum(read_ok.values()) / sum(read_n.values())))


if __name__ == "__main__":
    main()
