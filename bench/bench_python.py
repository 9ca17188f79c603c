"""The Python package's costs: a read from Python against Run from C++ on the
same image, and batch throughput with one and with two one-thread workers.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [--images DIR] [--rounds 3]

Each round times `bench_pipeline --benchmark_filter=BM_Run/1` (the plate crop of
bench/data) and then the same image read from Python, so the two alternate on
the same machine state; the batch part reads DIR (default: the dev plate crops)
with --workers 1 and --workers 2 into scratch files, whole commands timed,
cluster start included.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import cv2

import keshocr

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cxx_run_ms():
    out = subprocess.run([os.path.join(ROOT, "build", "bench", "bench_pipeline"), "--benchmark_filter=BM_Run/1",
                          "--benchmark_format=json"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return json.loads(out.stdout)["benchmarks"][0]["real_time"]


def python_read_ms(reader, image, seconds=3.0):
    for _ in range(3):
        reader.read(image)
    times, start = [], time.perf_counter()
    while time.perf_counter() - start < seconds:
        t = time.perf_counter()
        reader.read(image)
        times.append(time.perf_counter() - t)
    return 1e3 * statistics.mean(times)


def batch_seconds(images, workers):
    with tempfile.TemporaryDirectory() as tmp:
        t = time.perf_counter()
        subprocess.run([sys.executable, "-m", "keshocr.batch", images, "-o", os.path.join(tmp, "out.jsonl"),
                        "--workers", str(workers), "--threads-per-worker", "1"], check=True,
                       stderr=subprocess.DEVNULL)
        return time.perf_counter() - t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", default=os.path.join(ROOT, "..", "shared", "eval", "alpr_platecrops", "images"))
    ap.add_argument("--rounds", type=int, default=3)
    a = ap.parse_args()
    reader = keshocr.Reader()
    image = cv2.imread(os.path.join(ROOT, "bench", "data", "plate_crop.png"))
    for r in range(a.rounds):
        c, p = cxx_run_ms(), python_read_ms(reader, image)
        print("round %d: C++ Run %.2f ms, Python read %.2f ms, ratio %.3f" % (r + 1, c, p, p / c), flush=True)
    n = len([f for f in os.listdir(a.images) if f.lower().endswith((".png", ".jpg", ".jpeg"))])
    for r in range(a.rounds):
        one, two = batch_seconds(a.images, 1), batch_seconds(a.images, 2)
        print("round %d: batch of %d images, 1 worker %.1f s (%.1f img/s), 2 workers %.1f s (%.1f img/s), "
              "speed-up %.2f" % (r + 1, n, one, n / one, two, n / two, one / two), flush=True)


if __name__ == "__main__":
    main()
