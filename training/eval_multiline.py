"""Scores the built C++ library's reading line by line on multiline.py's
synthetic multi-line codes (held-out fonts), next to the same codes read alone.

  /usr/bin/python3 training/eval_multiline.py [--cli build/tools/keshocr] [--model PKG] [--n 300] [--threshold 0.45] [--dir DIR]

The set is generated into a temporary folder (seed 3030), or read from DIR
(multiline.py --out DIR).  Every image goes through `keshocr --json --quiet`
in batches of 200, whose "lines" are scored:
  per_line.exact      a ground-truth line is read when some output line equals it
  per_line.char_acc   against the output line with the smallest edit distance
  per_line.oneline_*  the same line alone (its control image): main_code
                      (oneline_any_line: some output line equals it)
  per_line.lost       read alone but not in the block (gained: the reverse)
  per_line.truth_grouped_exact
                      the characters the CLI kept, grouped by the ground truth
                      instead of by the library (each to the line that owner()
                      gives it, in order along that line): what a perfect
                      layout step would read from the same characters
  image.exact_only    the non-empty output lines, in order, are the ground truth
  image.all_found     every ground-truth line is among the output lines
  image.interleaved   output lines holding characters of two ground-truth lines
                      (each character's box centre is given to the line whose
                      quadrilateral holds it, or lies within a quarter of its
                      height of it), and the images with one
  image.straddling    characters of the output lines whose box lies on two
                      ground-truth lines (a fifth of it or more on each): one
                      box over both rows; and the images with one
with the per-line figures by kind and by row spacing as well.  When the CLI is
not found or its output has no "lines" the script says so and exits with
status 2.  --selftest scores hand-made readings (no CLI needed).
"""
import argparse
import collections
import json
import os
import shutil
import sys
import tempfile

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import multiline as M
from evaluate import cli_objects, find_cli
from pipeline import char_accuracy, edit_distance

SPACINGS = ((0.0, 0.3, "tight<0.3"), (0.3, 0.7, "0.3-0.7"), (0.7, 9.0, "loose>=0.7"))


def owner(pt, quads):
    """Index of the ground-truth line whose quad holds pt (or lies within a
    quarter of its height of it), else None."""
    best, dist = None, -1e9
    for k, q in enumerate(quads):
        d = cv2.pointPolygonTest(q.astype(np.float32).reshape(-1, 1, 2), (float(pt[0]), float(pt[1])), True)
        if d > -0.25 * M.synth.quad_height(q) and d > dist:
            best, dist = k, d
    return best


def straddles(box, quads):
    """True when at least a fifth of the character box lies on each of two
    ground-truth lines: one box drawn over both rows."""
    b = np.array(box, np.float32)
    a = abs(cv2.contourArea(b))
    cover = [cv2.intersectConvexConvex(b, q.astype(np.float32))[0] / a for q in quads] if a > 0 else []
    return sum(c >= 0.2 for c in cover) >= 2


def score_case(case, d):
    """Per-image row for one scene (case: a multiline.read_set row, d: the CLI's
    object for its image, or None)."""
    d = d or {}
    out = [ln for ln in d.get("lines", []) if ln.get("text")]
    texts = [ln["text"] for ln in out]
    chars = d.get("characters", [])
    mixed = across = 0
    for ln in out:
        who = {owner(np.mean(np.array(chars[j]["box"], np.float64), axis=0), case["quads"])
               for j in ln.get("characters", [])} - {None}
        mixed += len(who) > 1
        across += sum(straddles(chars[j]["box"], case["quads"]) for j in ln.get("characters", []))
    kept = [c for c in chars if not c.get("below_threshold") and c.get("text")]
    centre = {id(c): np.mean(np.array(c["box"], np.float64), axis=0) for c in kept}
    by_truth = []
    for k, q in enumerate(case["quads"]):
        u = np.asarray(q[1], np.float64) - np.asarray(q[0], np.float64)
        mine = [c for c in kept if owner(centre[id(c)], case["quads"]) == k]
        by_truth.append("".join(c["text"] for c in sorted(mine, key=lambda c: float(centre[id(c)] @ u))))
    lines = [dict(gt=g, read=g in texts, cacc=max([char_accuracy(t, g) for t in texts] or [0.0]),
                  pred=min(texts, key=lambda t: edit_distance(t, g)) if texts else "", truth_read=t == g)
             for g, t in zip(case["lines"], by_truth)]
    need, have = collections.Counter(case["lines"]), collections.Counter(texts)
    return dict(image=os.path.basename(case["image"]), kind=case["kind"], spacing=case["spacing"], out=texts,
                lines=lines, exact_only=texts == case["lines"], all_found=all(have[g] >= n for g, n in need.items()),
                interleaved=mixed, straddling=across)


def add_controls(row, case, results):
    for ln, p in zip(row["lines"], case["oneline"]):
        d = results.get(p) or {}
        mc = d.get("main_code") or ""
        ln.update(one=mc, one_read=mc == ln["gt"], one_cacc=char_accuracy(mc, ln["gt"]),
                  one_any=any(x.get("text") == ln["gt"] for x in d.get("lines", [])))
    return row


def summary(rows):
    m = lambda v: float(np.mean(v)) if len(v) else float("nan")

    def per_line(ls):
        return dict(n=len(ls), exact=m([x["read"] for x in ls]), oneline_exact=m([x["one_read"] for x in ls]),
                    oneline_any_line=m([x["one_any"] for x in ls]),
                    char_acc=m([x["cacc"] for x in ls]), oneline_char_acc=m([x["one_cacc"] for x in ls]),
                    lost=m([x["one_read"] and not x["read"] for x in ls]),
                    truth_grouped_exact=m([x["truth_read"] for x in ls]),
                    gained=m([x["read"] and not x["one_read"] for x in ls]))
    allx = [x for r in rows for x in r["lines"]]
    res = dict(n_images=len(rows), n_lines=len(allx), per_line=per_line(allx),
               image=dict(exact_only=m([r["exact_only"] for r in rows]), all_found=m([r["all_found"] for r in rows]),
                          interleaved_lines=int(sum(r["interleaved"] for r in rows)),
                          images_interleaved=int(sum(r["interleaved"] > 0 for r in rows)),
                          straddling_chars=int(sum(r["straddling"] for r in rows)),
                          images_straddling=int(sum(r["straddling"] > 0 for r in rows)),
                          mean_output_lines=m([len(r["out"]) for r in rows])))
    res["by_kind"] = {k: per_line([x for r in rows if r["kind"] == k for x in r["lines"]])
                      for k in M.KINDS if any(r["kind"] == k for r in rows)}
    res["by_spacing"] = {name: per_line([x for r in rows if lo <= r["spacing"] < hi for x in r["lines"]])
                         for lo, hi, name in SPACINGS if any(lo <= r["spacing"] < hi for r in rows)}
    return res


def fake_reading(case, texts_by_line):
    """A CLI object whose output line k holds the characters of ground-truth
    lines texts_by_line[k] (a list of line indices), boxes cut from their quads."""
    chars, lines = [], []
    for ks in texts_by_line:
        idx = []
        for k in ks:
            q, g = case["quads"][k], case["lines"][k]
            for j, c in enumerate(g):
                t0, t1 = j / len(g), (j + 1) / len(g)
                box = [q[0] + (q[1] - q[0]) * t0, q[0] + (q[1] - q[0]) * t1, q[3] + (q[2] - q[3]) * t1,
                       q[3] + (q[2] - q[3]) * t0]
                idx.append(len(chars))
                chars.append(dict(text=c, score=0.9, below_threshold=False, box=[p.tolist() for p in box]))
        lines.append(dict(text="".join(chars[j]["text"] for j in idx), characters=idx))
    return dict(image=case["image"], text="".join(ln["text"] for ln in lines), lines=lines, characters=chars,
                main_code=lines[0]["text"] if lines else "", main_line=0 if lines else None)


def selftest():
    """Readings made by hand from the ground truth: right, two lines merged
    into one, nothing, and the lines swapped."""
    tmp = tempfile.mkdtemp(prefix="keshocr_ml_")
    try:
        M.write_set(tmp, 4)
        cases = M.read_set(tmp)
        res = {c["image"]: fake_reading(c, ks) for c, ks in zip(cases, [
            [[k] for k in range(len(cases[0]["lines"]))], [[0, 1]], [], [[1], [0]]])}
        for c in cases:
            for k, p in enumerate(c["oneline"]):
                res[p] = dict(image=p, main_code=c["lines"][k] if c is not cases[2] else "", lines=[])
        rows = [add_controls(score_case(c, res.get(c["image"])), c, res) for c in cases]
        s = summary(rows)
        assert [r["exact_only"] for r in rows] == [True, False, False, False], rows
        assert [r["all_found"] for r in rows] == [True, False, False, True], rows
        assert [r["interleaved"] for r in rows] == [0, 1, 0, 0] and s["image"]["straddling_chars"] == 0, rows
        n1, n2, n = len(cases[1]["lines"]), len(cases[2]["lines"]), s["n_lines"]
        assert abs(s["per_line"]["lost"] - n1 / n) < 1e-9 and abs(s["per_line"]["oneline_exact"] - (1 - n2 / n)) < 1e-9
        print(json.dumps(s, indent=1))
        print("selftest ok")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", default=None)
    ap.add_argument("--model", default=None)
    ap.add_argument("--n", type=int, default=300)
    ap.add_argument("--threshold", type=float, default=0.45,
                    help="passed to keshocr --threshold; a negative value passes none")
    ap.add_argument("--dir", default=None, help="a set written by multiline.py --out (default: generate one)")
    ap.add_argument("--out", default=None, help="write per-image results (json)")
    ap.add_argument("--selftest", action="store_true")
    a = ap.parse_args()
    if a.selftest:
        return selftest()
    cli = find_cli(a.cli)
    if not cli or (a.cli and cli != a.cli):  # find_cli falls back to the default paths
        print("keshocr CLI not found (build the library first, or pass --cli)")
        sys.exit(2)
    tmp = None
    try:
        if a.dir is None:
            tmp = tempfile.mkdtemp(prefix="keshocr_ml_")
            M.write_set(tmp, a.n)
        cases = M.read_set(a.dir or tmp)[:a.n]
        paths = [c["image"] for c in cases] + [p for c in cases for p in c["oneline"]]
        res = cli_objects(cli, a.model, paths, a.threshold if a.threshold >= 0 else None)
        if not res:
            print("keshocr printed no JSON objects (%s)" % cli)
            sys.exit(2)
        if not all("lines" in d for d in res.values()):
            print("keshocr --json gives no \"lines\" (%s): this CLI does not read line by line yet" % cli)
            sys.exit(2)
        rows = [add_controls(score_case(c, res.get(c["image"])), c, res) for c in cases]
    finally:
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
    s = summary(rows)
    print(json.dumps(s, indent=1))
    if a.out:
        json.dump(dict(summary=s, rows=rows), open(a.out, "w"), indent=0)


if __name__ == "__main__":
    main()
