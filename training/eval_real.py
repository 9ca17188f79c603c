"""Accuracy on the real-photo evaluation sets (never used for training).

  /usr/bin/python3 training/eval_real.py --det training/export/det.onnx --rec training/export/rec.onnx

  alpr_platecrops : whole plate crop read end to end; exact match and character
                    accuracy, raw and after dropping characters whose box is
                    under half the height of the tallest box; also "ground truth
                    is a substring of the output".
  chars74k_img100 : the recogniser alone on the 100x100 crops (top-1, macro).
  alpr_endtoend   : each photo read on its plate box grown by 20 % (report only).
"""
import argparse
import csv
import json
import os
import sys
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import pipeline as P


def manifest(name):
    root = os.path.join(C.EVAL_ROOT, name)
    rows = []
    with open(os.path.join(root, "manifest.tsv")) as f:
        for r in csv.DictReader(f, delimiter="\t"):
            if r.get("note"):
                continue
            r["path"] = os.path.join(root, r["image"])
            rows.append(r)
    return rows


def score(rows):
    def m(key):
        return float(np.mean([r[key] for r in rows])) if rows else float("nan")
    return dict(n=len(rows), exact=m("exact"), char_acc=m("cacc"),
                exact_filtered=m("exact_f"), char_acc_filtered=m("cacc_f"), gt_in_output=m("substr"))


# The "filtered" (main-character) figures drop characters under this x the tallest box.
SMALL_RATIO = 0.5
# Characters whose recognition score is not above this are left out first
# (keshocr --threshold); None keeps them all, as the library's default does.
THRESHOLD = None


def read_plate(img, det_fn, rec_fn, gt):
    res = P.read(img, det_fn, rec_fn, threshold=THRESHOLD)
    filt = P.drop_small(res, SMALL_RATIO)
    return dict(gt=gt, pred=res["text"], pred_f=filt, exact=res["text"] == gt, cacc=P.char_accuracy(res["text"], gt),
                exact_f=filt == gt, cacc_f=P.char_accuracy(filt, gt), substr=gt in res["text"])


def eval_platecrops(det_fn, rec_fn, limit=None):
    out = []
    for r in manifest("alpr_platecrops")[:limit]:
        img = cv2.imread(r["path"], cv2.IMREAD_COLOR)
        d = read_plate(img, det_fn, rec_fn, r["text"])
        d["image"] = r["image"]
        out.append(d)
    return out


def eval_endtoend(det_fn, rec_fn, limit=None, grow=0.2):
    out = []
    for r in manifest("alpr_endtoend")[:limit]:
        img = cv2.imread(r["path"], cv2.IMREAD_COLOR)
        x, y, w, h = [int(v) for v in r["region_xywh"].split(",")]
        gx, gy = w * grow / 2, h * grow / 2
        x0, y0 = max(0, int(round(x - gx))), max(0, int(round(y - gy)))
        x1, y1 = min(img.shape[1], int(round(x + w + gx))), min(img.shape[0], int(round(y + h + gy)))
        crop = np.ascontiguousarray(img[y0:y1, x0:x1])
        d = read_plate(crop, det_fn, rec_fn, r["text"])
        d["image"] = r["image"]
        d["subset"] = r["subset"]
        out.append(d)
    return out


def eval_chars74k(rec_fn):
    rows = manifest("chars74k_img100")
    xs, ys = [], []
    for r in rows:
        img = cv2.imread(r["path"], cv2.IMREAD_COLOR)
        xs.append(P.rec_preprocess(img))
        ys.append(C.ALPHABET.index(r["text"]))
    preds = []
    for i in range(0, len(xs), 64):
        preds.append(rec_fn(np.stack(xs[i:i + 64])).argmax(1))
    preds = np.concatenate(preds)
    ys = np.array(ys)
    ok = preds == ys
    per = {C.ALPHABET[k]: float(ok[ys == k].mean()) for k in range(36) if (ys == k).any()}
    conf = {}
    for p, t in zip(preds, ys):
        if p != t:
            key = C.ALPHABET[t] + "->" + C.ALPHABET[p]
            conf[key] = conf.get(key, 0) + 1
    top = sorted(conf.items(), key=lambda kv: -kv[1])[:12]
    return dict(n=len(ys), top1=float(ok.mean()), macro=float(np.mean(list(per.values()))), confusions=top)


def main():
    global SMALL_RATIO, THRESHOLD
    ap = argparse.ArgumentParser()
    ap.add_argument("--det", default=os.path.join(C.EXPORT_DIR, "det.onnx"))
    ap.add_argument("--rec", default=os.path.join(C.EXPORT_DIR, "rec.onnx"))
    ap.add_argument("--sets", default="platecrops,chars74k,endtoend")
    ap.add_argument("--out", default=None)
    ap.add_argument("--limit", type=int, default=None)
    ap.add_argument("--small-ratio", type=float, default=SMALL_RATIO,
                    help="main characters: those at least this x the tallest box (the reported figures use 0.5)")
    ap.add_argument("--threshold", type=float, default=None,
                    help="leave out characters whose recognition score is not above this (keshocr --threshold)")
    a = ap.parse_args()
    SMALL_RATIO, THRESHOLD = a.small_ratio, a.threshold
    det_fn, rec_fn = P.onnx_fns(a.det, a.rec)
    res = {}
    detail = {}
    t0 = time.time()
    sets = a.sets.split(",")
    if "chars74k" in sets:
        res["chars74k_img100"] = eval_chars74k(rec_fn)
        print("chars74k", json.dumps(res["chars74k_img100"]), "%.0fs" % (time.time() - t0), flush=True)
    if "platecrops" in sets:
        rows = eval_platecrops(det_fn, rec_fn, a.limit)
        res["alpr_platecrops"] = score(rows)
        detail["alpr_platecrops"] = rows
        print("platecrops", json.dumps(res["alpr_platecrops"]), "%.0fs" % (time.time() - t0), flush=True)
    if "endtoend" in sets:
        rows = eval_endtoend(det_fn, rec_fn, a.limit)
        res["alpr_endtoend"] = score(rows)
        for sub in sorted(set(r["subset"] for r in rows)):
            res["alpr_endtoend_" + sub] = score([r for r in rows if r["subset"] == sub])
        detail["alpr_endtoend"] = rows
        print("endtoend", json.dumps(res["alpr_endtoend"]), "%.0fs" % (time.time() - t0), flush=True)
    print(json.dumps(res, indent=1))
    if a.out:
        json.dump(dict(summary=res, detail=detail), open(a.out, "w"), indent=0)


if __name__ == "__main__":
    main()
