"""Scores the built C++ library (its `keshocr --json` CLI) on the evaluation sets,
with the same metrics as eval_real.py / eval_synth.py use for the Python
reference pipeline.

  /usr/bin/python3 training/evaluate.py --cli build/tools/keshocr/keshocr [--model models/keshocr-default.pkg]

Sets: alpr_platecrops (whole crops), alpr_endtoend (plate box grown by 20 %,
cut here and written to a temporary folder), photos (alpr_endtoend's whole car
photos, passed as they are), chars74k (chars74k_img100's 100 x 100 close-ups of
one character, passed whole), synthetic held-out codes (the images of
eval_synth.py, written to a temporary folder).  When the CLI is not
found the script says so and exits with status 2.

Figures per set: "exact" / "char_acc" on every character left to right (the
CLI's --chars text); "*_filtered" on the main characters (characters under
half the tallest box dropped here, as only an evaluation does); "*_main_code"
on the library's own main code (the CLI's default text), which is what a user
gets with no post-processing of their own.  On the whole photos,
"plate_in_lines" is the share of photos where the plate number is the text of
one of the library's lines.  On the close-ups, "exact_main_code" is the share
read right.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import pipeline as P
from eval_real import manifest, score


def find_cli(explicit):
    cands = [explicit] if explicit else []
    root = os.path.dirname(C.HERE)
    cands += [os.path.join(root, "build", "tools", "keshocr"), os.path.join(root, "build", "tools", "keshocr", "keshocr"),
              os.path.join(root, "build", "keshocr"),
              shutil.which("keshocr")]
    for c in cands:
        if c and os.path.isfile(c) and os.access(c, os.X_OK):
            return c
    return None


def cli_objects(cli, model, paths, threshold=None):
    """{path: the CLI's JSON object}, one `keshocr --json` call per batch of 200 images."""
    out = {}
    for i in range(0, len(paths), 200):
        cmd = [cli, "--json", "--quiet"] + (["--model", model] if model else [])
        cmd += (["--threshold", repr(threshold)] if threshold is not None else []) + paths[i:i + 200]
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for line in p.stdout.splitlines():
            line = line.strip()
            if line.startswith("{"):
                d = json.loads(line)
                out[d["image"]] = d
    return out


def run_cli(cli, model, paths, threshold=None):
    """{path: dict(main_code, boxes, chars)}; with a threshold, the characters
    the CLI marks below it are left out (the CLI leaves them out of its lines
    and main code itself)."""
    out = {}
    for path, d in cli_objects(cli, model, paths, threshold).items():
        chars = [c for c in d.get("characters", []) if threshold is None or not c["below_threshold"]]
        out[path] = dict(main_code=d["main_code"], boxes=[np.array(c["box"], np.float64) for c in chars],
                         chars="".join(c["text"] for c in chars), lines=[ln["text"] for ln in d.get("lines", [])])
    return out


def plate_rows(results, items):
    rows = []
    for path, gt in items:
        r = results.get(path, dict(main_code="", boxes=[], chars=""))
        text, code = r["chars"], r["main_code"]
        res = dict(text=text, boxes=r["boxes"])
        filt = P.drop_small(res) if len(r["boxes"]) == len(text) else text
        rows.append(dict(gt=gt, pred=text, code=code, exact=text == gt, cacc=P.char_accuracy(text, gt),
                         exact_f=filt == gt, cacc_f=P.char_accuracy(filt, gt), substr=gt in text,
                         exact_m=code == gt, cacc_m=P.char_accuracy(code, gt)))
    return rows


def score_rows(rows):
    """eval_real's figures plus the main code's."""
    s = score(rows)
    s.update(exact_main_code=float(np.mean([r["exact_m"] for r in rows])) if rows else float("nan"),
             char_acc_main_code=float(np.mean([r["cacc_m"] for r in rows])) if rows else float("nan"))
    return s


def photo_rows(results, items):
    """plate_rows plus: is the plate number one of the text lines?"""
    rows = plate_rows(results, items)
    for row, (path, gt) in zip(rows, items):
        row["in_lines"] = gt in results.get(path, {}).get("lines", [])
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", default=None)
    ap.add_argument("--model", default=None)
    ap.add_argument("--sets", default="platecrops,endtoend,photos,chars74k,synth")
    ap.add_argument("--n-synth", type=int, default=1000)
    ap.add_argument("--threshold", type=float, default=None,
                    help="passed to keshocr --threshold: characters whose score is not above it are left out")
    a = ap.parse_args()
    cli = find_cli(a.cli)
    if not cli:
        print("keshocr CLI not found (build the library first, or pass --cli)")
        sys.exit(2)
    res = {}
    tmp = tempfile.mkdtemp(prefix="keshocr_eval_")
    try:
        sets = a.sets.split(",")
        if "platecrops" in sets:
            items = [(r["path"], r["text"]) for r in manifest("alpr_platecrops")]
            out = run_cli(cli, a.model, [p for p, _ in items], a.threshold)
            res["alpr_platecrops"] = score_rows(plate_rows(out, items))
        if "endtoend" in sets:
            items = []
            for k, r in enumerate(manifest("alpr_endtoend")):
                img = cv2.imread(r["path"], cv2.IMREAD_COLOR)
                x, y, w, h = [int(v) for v in r["region_xywh"].split(",")]
                gx, gy = w * 0.1, h * 0.1
                x0, y0 = max(0, int(round(x - gx))), max(0, int(round(y - gy)))
                x1, y1 = min(img.shape[1], int(round(x + w + gx))), min(img.shape[0], int(round(y + h + gy)))
                p = os.path.join(tmp, "e2e_%04d.png" % k)
                cv2.imwrite(p, img[y0:y1, x0:x1])
                items.append((p, r["text"]))
            out = run_cli(cli, a.model, [p for p, _ in items], a.threshold)
            res["alpr_endtoend"] = score_rows(plate_rows(out, items))
        if "photos" in sets:
            items = [(r["path"], r["text"]) for r in manifest("alpr_endtoend")]
            rows = photo_rows(run_cli(cli, a.model, [p for p, _ in items], a.threshold), items)
            res["alpr_endtoend_whole_photo"] = dict(score_rows(rows),
                                                    plate_in_lines=float(np.mean([r["in_lines"] for r in rows])))
        if "chars74k" in sets:
            items = [(r["path"], r["text"]) for r in manifest("chars74k_img100")]
            rows = plate_rows(run_cli(cli, a.model, [p for p, _ in items], a.threshold), items)
            res["chars74k_whole_image"] = {k: v for k, v in score_rows(rows).items()
                                           if k in ("n", "exact", "exact_main_code", "gt_in_output")}
        if "synth" in sets:
            import fonts as FO
            import synth
            from eval_synth import make_case
            fb = synth.FontBank(FO.held_out_fonts())
            cl = FO.clutter_fonts()
            items = []
            for i in range(a.n_synth):
                img, text, h = make_case(2024, i, fb, cl, 20.0, 300.0)
                p = os.path.join(tmp, "syn_%04d.png" % i)
                cv2.imwrite(p, img)
                items.append((p, text))
            out = run_cli(cli, a.model, [p for p, _ in items], a.threshold)
            rows = plate_rows(out, items)
            res["synthetic_heldout_ge20"] = {k: v for k, v in score_rows(rows).items()
                                             if k in ("n", "exact", "char_acc", "exact_main_code", "char_acc_main_code")}
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(json.dumps(res, indent=1))


if __name__ == "__main__":
    main()
