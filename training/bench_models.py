"""Median ONNX Runtime latency (CPU, 2 threads) of exported networks.

  /usr/bin/python3 training/bench_models.py training/export/det.onnx training/export/rec.onnx
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ort

for path in sys.argv[1:]:
    import onnx
    m = onnx.load(path)
    dims = [d.dim_value for d in m.graph.input[0].type.tensor_type.shape.dim]
    odims = [d.dim_value for d in m.graph.output[0].type.tensor_type.shape.dim]
    s = ort.Session(path, odims, threads=2)
    x = np.random.default_rng(0).uniform(-1, 1, dims).astype(np.float32)
    iters = 40 if dims[-1] > 256 else 500
    ms = s.bench(x, iters=iters, warmup=5)
    print("%s: input %s output %s  median %.2f ms  (%d runs, 2 threads)  %.2f MB" %
          (path, dims, odims, ms, iters, os.path.getsize(path) / 1e6))
