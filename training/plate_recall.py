"""How often the detector finds each code character of synthetic whole-plate
crops as a box of its own, split by character (1, I, the rest) and by face
(OSP-DIN, the other plate faces, the training fonts).

  /usr/bin/python3 training/plate_recall.py --det training/export/det.onnx --n 1200

A character counts as found when a passing box holds its centre and no other
code character's centre (det_crops.label_boxes).  Narrow bars (1, I) in the
plate faces are where real plates lose characters, so they are counted apart.
The median width / height of the characters' training cores (class 2) is
printed beside: a thin core is a weak target.
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
import plates


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--det", default=os.path.join(C.EXPORT_DIR, "det.onnx"))
    ap.add_argument("--n", type=int, default=1200, help="plate crops")
    ap.add_argument("--seed", type=int, default=4242)
    a = ap.parse_args()
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
        boxes = D.detector_boxes(a.det, np.ascontiguousarray(img[:, :, ::-1]))
        alone = {gi for _, gi in D.label_boxes(boxes, glyphs, main)}
        p = face["path"]
        kind = "training fonts" if p is None else "OSP-DIN" if "DIN" in p else "other plate faces"
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


if __name__ == "__main__":
    main()
