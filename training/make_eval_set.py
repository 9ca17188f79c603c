"""Writes a synthetic evaluation set in held-out fonts as images + manifest.tsv
(the format of the real evaluation sets), for bench/compare.

  /usr/bin/python3 training/make_eval_set.py [--n 200] [--out training/data/synthetic_eval]

The images are the first N of eval_synth.py's ">= 20 px" part (same seed), so
the C++ comparison and the Python evaluation read the same scenes.
"""
import argparse
import os
import sys

import cv2

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import fonts as FO
import synth
from eval_synth import make_case


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200)
    ap.add_argument("--out", default=os.path.join(C.HERE, "data", "synthetic_eval"))
    a = ap.parse_args()
    os.makedirs(os.path.join(a.out, "images"), exist_ok=True)
    fb = synth.FontBank(FO.held_out_fonts())
    cl = FO.clutter_fonts()
    with open(os.path.join(a.out, "manifest.tsv"), "w") as f:
        f.write("image\ttext\n")
        for i in range(a.n):
            img, text, _ = make_case(2024, i, fb, cl, 20.0, 300.0)
            name = "images/%04d.png" % i
            cv2.imwrite(os.path.join(a.out, name), img)
            f.write("%s\t%s\n" % (name, text))
    print("wrote %d images to %s" % (a.n, a.out))


if __name__ == "__main__":
    main()
