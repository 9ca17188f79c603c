"""Python reference of the library's reading pipeline.

detect -> one box per character -> rectify -> recognise, exactly as the C++
library does it, so the networks can be evaluated before the library exists.
The networks are passed in as callables:
  det_fn(x: float32 [1,3,768,768]) -> float32 [1,M,768,768] probabilities
  rec_fn(x: float32 [N,3,128,128]) -> float32 [N,36] probabilities
"""
import math

import cv2
import numpy as np

import config as C

S = C.DET_SIZE


# ------------------------------------------------------------------ detector input
def det_preprocess(img_bgr):
    rows, cols = img_bgr.shape[:2]
    rgb = cv2.cvtColor(img_bgr, cv2.COLOR_BGR2RGB)
    f = min(np.float32(S) / np.float32(cols), np.float32(S) / np.float32(rows))
    rw = int(np.float32(cols) * f)
    rh = int(np.float32(rows) * f)
    rw, rh = max(1, min(S, rw)), max(1, min(S, rh))
    resized = cv2.resize(rgb, (rw, rh), interpolation=cv2.INTER_LINEAR)
    canvas = np.zeros((S, S, 3), np.uint8)
    canvas[:rh, :rw] = resized
    x = canvas.astype(np.float32) / 127.5 - 1.0
    x = np.ascontiguousarray(x.transpose(2, 0, 1)[None])
    return x, rw / cols, rh / rows


# ------------------------------------------------------------------ geometry
def order_corners(pts):
    """Top-left, top-right, bottom-right, bottom-left."""
    idx = np.argsort(pts[:, 0], kind="stable")
    p = pts[idx]
    left, right = p[:2], p[2:]
    tl, bl = (left[0], left[1]) if left[0, 1] <= left[1, 1] else (left[1], left[0])
    tr, br = (right[0], right[1]) if right[0, 1] <= right[1, 1] else (right[1], right[0])
    return np.array([tl, tr, br, bl], np.float32)


def grow_rect(points_xy):
    """minAreaRect of a component's pixels grown by 0.2142857 x its shorter side
    on every side.  Returns 4 corners (float, 768 frame, clipped, ordered) or None."""
    (cx, cy), (w, h), ang = cv2.minAreaRect(points_xy.astype(np.float32))
    s = min(w, h)
    pad = math.ceil(C.DET_PAD_RATIO * s)
    w2, h2 = w + 2 * pad, h + 2 * pad
    if min(w2, h2) < C.DET_MIN_SIDE:
        return None
    pts = cv2.boxPoints(((cx, cy), (w2, h2), ang))
    pts = np.clip(pts, 0, S - 1)
    return order_corners(pts)


def to_image(corners, sx, sy):
    """768-frame corners -> integer image corners; None when the box is too thin."""
    c = np.empty((4, 2), np.int64)
    c[:, 0] = np.trunc(corners[:, 0] / sx)
    c[:, 1] = np.trunc(corners[:, 1] / sy)
    top = math.hypot(*(c[1] - c[0]))
    left = math.hypot(*(c[3] - c[0]))
    if top <= C.DET_MIN_EDGE or left <= C.DET_MIN_EDGE:
        return None
    return c


def det_postprocess(probs, sx, sy, min_mean=C.DET_MIN_MEAN_PROB, return_stats=False):
    """probs: [M,768,768].  Returns image-space boxes (4x2 int) sorted by corner-0 x."""
    best = probs.max(axis=0)
    arg = probs.argmax(axis=0)
    arg[best <= 0] = 0
    mask = (arg == C.DET_TEXT_CLASS).astype(np.uint8)
    n, lab, stats, _ = cv2.connectedComponentsWithStats(mask, connectivity=8)
    p2 = probs[C.DET_TEXT_CLASS]
    boxes, info = [], []
    for i in range(1, n):
        x, y, w, h, area = stats[i]
        sub = lab[y:y + h, x:x + w] == i
        mean = float(p2[y:y + h, x:x + w][sub].mean())
        if mean < min_mean:
            info.append(("lowprob", mean, None))
            continue
        ys, xs = np.nonzero(sub)
        pts = np.stack([xs + x, ys + y], axis=1)
        corners = grow_rect(pts)
        if corners is None:
            info.append(("small", mean, None))
            continue
        c = to_image(corners, sx, sy)
        if c is None:
            info.append(("thin", mean, None))
            continue
        boxes.append(c)
        info.append(("ok", mean, c))
    order = sorted(range(len(boxes)), key=lambda k: boxes[k][0, 0])
    boxes = [boxes[k] for k in order]
    if return_stats:
        return boxes, info
    return boxes


# ------------------------------------------------------------------ crops
def rectify(img, c):
    c = c.astype(np.float64)
    W = int(max(np.linalg.norm(c[1] - c[0]), np.linalg.norm(c[2] - c[3])))
    H = int(max(np.linalg.norm(c[3] - c[0]), np.linalg.norm(c[2] - c[1])))
    if W < 1 or H < 1:
        return None
    dst = np.array([[0, 0], [W, 0], [W, H], [0, H]], np.float64)
    Hm, _ = cv2.findHomography(c, dst, 0)
    if Hm is None:
        return None
    return cv2.warpPerspective(img, Hm, (W, H), flags=cv2.INTER_LINEAR,
                               borderMode=cv2.BORDER_CONSTANT, borderValue=0)


def rec_preprocess(crop):
    """Crop (image channel order, no conversion) -> float32 [3,128,128]."""
    R = C.REC_SIZE
    h0, w0 = crop.shape[:2]
    if h0 > w0:
        h, w = R, int(w0 / h0 * R)
    else:
        w, h = R, int(h0 / w0 * R)
    w, h = max(1, w), max(1, h)
    r = cv2.resize(crop, (w, h), interpolation=cv2.INTER_LINEAR)
    top = (R - h) // 2
    left = (R - w) // 2
    out = np.zeros((R, R, 3), np.uint8)
    out[top:top + h, left:left + w] = r
    return out.astype(np.float32).transpose(2, 0, 1) / 127.5 - 1.0


# ------------------------------------------------------------------ whole pipeline
def read(img_bgr, det_fn, rec_fn, return_probs=False, threshold=None):
    """The library's Run.  With a threshold, the characters whose best score is
    not above it are left out, as keshocr --threshold leaves them out of its text."""
    x, sx, sy = det_preprocess(img_bgr)
    probs = det_fn(x)[0]
    boxes = det_postprocess(probs, sx, sy)
    crops, kept = [], []
    for b in boxes:
        cr = rectify(img_bgr, b)
        if cr is None:
            continue
        crops.append(rec_preprocess(cr))
        kept.append(b)
    text = ""
    scores = []
    if crops:
        p = rec_fn(np.stack(crops))
        idx = p.argmax(axis=1)
        text = "".join(C.ALPHABET[i] for i in idx)
        scores = p.max(axis=1).tolist()
    res = dict(text=text, boxes=kept, scores=scores)
    if threshold is not None:
        res = above_threshold(res, threshold)
    if return_probs:
        res["probs"] = probs
    return res


def above_threshold(res, threshold):
    """read()'s result without the characters whose score is not above threshold."""
    keep = [i for i, s in enumerate(res["scores"]) if s > threshold]
    return dict(text="".join(res["text"][i] for i in keep), boxes=[res["boxes"][i] for i in keep],
                scores=[res["scores"][i] for i in keep])


def box_height(c):
    c = np.asarray(c, np.float64)
    return 0.5 * (np.linalg.norm(c[3] - c[0]) + np.linalg.norm(c[2] - c[1]))


def drop_small(res, ratio=0.5):
    """Text without the characters whose box is under `ratio` x the tallest box."""
    if not res["boxes"]:
        return ""
    hs = [box_height(b) for b in res["boxes"]]
    m = max(hs)
    return "".join(ch for ch, h in zip(res["text"], hs) if h >= ratio * m)


def edit_distance(a, b):
    d = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        prev, d[0] = d[0], i
        for j in range(1, len(b) + 1):
            cur = d[j]
            d[j] = min(d[j] + 1, d[j - 1] + 1, prev + (a[i - 1] != b[j - 1]))
            prev = cur
    return d[len(b)]


def char_accuracy(pred, gt):
    return max(0.0, 1.0 - edit_distance(pred, gt) / max(1, len(gt)))


# ------------------------------------------------------------------ network wrappers
def torch_fns(det_net=None, rec_net=None):
    import torch

    def det_fn(x):
        with torch.no_grad():
            return det_net(torch.from_numpy(x)).numpy()

    def rec_fn(x):
        with torch.no_grad():
            return rec_net(torch.from_numpy(np.ascontiguousarray(x, np.float32))).numpy()
    return det_fn, rec_fn


def onnx_fns(det_path, rec_path, threads=2):
    import ort
    det = ort.Session(det_path, (1, 3, S, S), threads) if det_path else None
    rec = ort.Session(rec_path, (1, len(C.ALPHABET)), threads) if rec_path else None

    def det_fn(x):
        return det.run(x)

    def rec_fn(x):
        return np.concatenate([rec.run(x[i:i + 1]) for i in range(len(x))], axis=0)
    return det_fn, rec_fn
