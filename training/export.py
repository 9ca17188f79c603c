"""Export checkpoints to ONNX, check them against PyTorch with ONNX Runtime, time them.

  /usr/bin/python3 training/export.py det runs/det_m/last.pt training/export/det.onnx
  /usr/bin/python3 training/export.py rec runs/rec_m/last.pt training/export/rec.onnx
"""
import argparse
import os
import sys

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import models
import ort

OPSET = 13


def load(kind, ckpt, arch=None):
    state = torch.load(ckpt, map_location="cpu") if ckpt else None
    arch = arch or (state["arch"] if state else None)
    net = models.make_detector(arch) if kind == "det" else models.make_recogniser(arch)
    if state:
        net.load_state_dict(state["model"])
    models.set_pointwise_dilation(net, 1)
    net.eval()
    return net, state


def export(kind, net, path, logit_scale=None):
    if kind == "det":
        if logit_scale is not None:
            net.logit_scale.fill_(float(logit_scale))
        x = torch.zeros(1, 3, C.DET_SIZE, C.DET_SIZE)
        out_shape = (1, 3, C.DET_SIZE, C.DET_SIZE)
    else:
        x = torch.zeros(1, 3, C.REC_SIZE, C.REC_SIZE)
        out_shape = (1, len(C.ALPHABET))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with torch.no_grad():
        torch.onnx.export(net, x, path, opset_version=OPSET, input_names=["input"],
                          output_names=["probs"], do_constant_folding=True)
    return out_shape


def check(kind, net, path, out_shape, n=3, seed=0):
    """Max abs difference between PyTorch and ONNX Runtime on random-ish inputs."""
    sess = ort.Session(path, out_shape)
    rng = np.random.default_rng(seed)
    size = C.DET_SIZE if kind == "det" else C.REC_SIZE
    worst = 0.0
    for i in range(n):
        x = rng.uniform(-1, 1, (1, 3, size, size)).astype(np.float32)
        if i == 0:  # smooth image-like input
            x = np.repeat(np.linspace(-1, 1, size, dtype=np.float32)[None, None, None, :], 3, 1)
            x = np.repeat(x, size, 2)
        with torch.no_grad():
            ref = net(torch.from_numpy(x)).numpy()
        got = sess.run(x)
        worst = max(worst, float(np.abs(ref - got).max()))
    ms = sess.bench(np.zeros((1, 3, size, size), np.float32), iters=20 if kind == "det" else 200)
    return worst, ms


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kind", choices=["det", "rec"])
    ap.add_argument("ckpt", nargs="?")
    ap.add_argument("out")
    ap.add_argument("--arch")
    ap.add_argument("--logit-scale", type=float, default=None)
    ap.add_argument("--threads", type=int, default=2)
    a = ap.parse_args()
    torch.set_num_threads(2)
    net, state = load(a.kind, a.ckpt, a.arch)
    ls = a.logit_scale
    if a.kind == "det" and ls is None:
        ls = (state or {}).get("logit_scale", C.DET["export_logit_scale"])
    out_shape = export(a.kind, net, a.out, ls)
    diff, ms = check(a.kind, net, a.out, out_shape)
    size = os.path.getsize(a.out)
    print("%s: %s params=%d size=%.2f MB max|torch-ort|=%.2e ort_median=%.2f ms (2 threads)"
          % (a.out, a.kind, models.n_params(net), size / 1e6, diff, ms))
    if diff > 1e-3:
        print("WARNING: ONNX output differs from PyTorch")
        sys.exit(1)


if __name__ == "__main__":
    main()
