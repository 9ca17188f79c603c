"""ctypes wrapper around ortrun/libortrun.so (ONNX Runtime C API)."""
import ctypes
import os
import subprocess
import time

import numpy as np

_HERE = os.path.dirname(os.path.abspath(__file__))
_LIB = os.path.join(_HERE, "ortrun", "libortrun.so")
_lib = None


def lib():
    global _lib
    if _lib is None:
        if not os.path.exists(_LIB):
            subprocess.check_call([os.path.join(_HERE, "ortrun", "build.sh")])
        _lib = ctypes.CDLL(_LIB)
        _lib.ort_load.restype = ctypes.c_void_p
        _lib.ort_load.argtypes = [ctypes.c_char_p, ctypes.c_int]
        _lib.ort_run.restype = ctypes.c_long
        _lib.ort_run.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int,
                                 ctypes.c_void_p, ctypes.c_long]
        _lib.ort_free.argtypes = [ctypes.c_void_p]
    return _lib


class Session:
    def __init__(self, path, out_shape, threads=2):
        self.h = lib().ort_load(path.encode(), threads)
        if not self.h:
            raise RuntimeError("cannot load " + path)
        self.out_shape = tuple(out_shape)
        self.out = np.empty(self.out_shape, np.float32)

    def run(self, x):
        x = np.ascontiguousarray(x, np.float32)
        shape = np.array(x.shape, np.int64)
        n = lib().ort_run(self.h, x.ctypes.data, shape.ctypes.data, x.ndim, self.out.ctypes.data, self.out.size)
        if n != self.out.size:
            raise RuntimeError("unexpected output size %d" % n)
        return self.out.copy()

    def bench(self, x, iters=30, warmup=3):
        for _ in range(warmup):
            self.run(x)
        ts = []
        for _ in range(iters):
            t = time.perf_counter()
            self.run(x)
            ts.append(time.perf_counter() - t)
        return float(np.median(ts)) * 1000.0

    def __del__(self):
        try:
            lib().ort_free(self.h)
        except Exception:
            pass
