"""Reads a folder or a list of images on a Dask cluster and writes one JSON line per image.

    python3 -m keshocr.batch IMAGES_DIR_OR_MANIFEST -o results.jsonl [--workers N]
        [--threads-per-worker 1] [--scheduler ADDRESS] [--model PKG] [--threshold T]

IMAGES_DIR_OR_MANIFEST is a folder (searched recursively for the image types
keshocr reads, in sorted order) or a manifest: a text file with one image path
per line, or a TSV whose header has an "image" column; relative paths are taken
from the manifest's folder. Each output line has the fields of ``keshocr --json``
(image, text, main_code, main_line, lines, characters), or {"image", "error"} for
an image that cannot be read; lines are written as images finish, not in input
order. Images already in the output file are skipped, so an interrupted batch is
resumed by running the same command again.

Without --scheduler a local cluster of --workers processes (default: one per core)
with --threads-per-worker threads each is started on this machine. With
--scheduler ADDRESS the same work runs on an existing cluster:

    dask scheduler                             # on one machine: tcp://HOST:8786
    dask worker tcp://HOST:8786 --nthreads 1   # on every machine, as often as it has cores
    python3 -m keshocr.batch images/ -o out.jsonl --scheduler tcp://HOST:8786

Images are sent to the workers as paths, so every worker must see the images at
the same paths (a shared file system) and have KeshOCR installed (the library,
its Python package and the model package). Each worker thread loads the model
package once and reads many images.
"""
import argparse
import csv
import json
import os
import sys
from typing import Iterable, List, Set

IMAGE_TYPES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp", ".pbm", ".pgm", ".ppm")


def list_images(source: str) -> List[str]:
    """The images of a folder (recursively, sorted) or of a manifest, as paths."""
    if os.path.isdir(source):
        found = []
        for root, dirs, files in os.walk(source):
            dirs.sort()
            found += [os.path.join(root, f) for f in files if f.lower().endswith(IMAGE_TYPES)]
        return sorted(found)
    base = os.path.dirname(source)
    with open(source, newline="") as f:
        text = f.read()
    rows = text.splitlines()
    if rows and "\t" in rows[0] and "image" in rows[0].split("\t"):
        names = [r["image"] for r in csv.DictReader(rows, delimiter="\t") if r.get("image")]
    else:
        names = [r.strip() for r in rows if r.strip() and not r.lstrip().startswith("#")]
    return [n if os.path.isabs(n) else os.path.join(base, n) for n in names]


def done_images(output: str) -> Set[str]:
    """The images an earlier run already wrote; a last line cut off by an interrupt
    is removed so that appending starts on a fresh line."""
    if not os.path.exists(output):
        return set()
    with open(output, "rb+") as f:
        data = f.read()
        end = data.rfind(b"\n") + 1
        if end < len(data):
            f.truncate(end)
    done = set()
    for line in data[:end].decode("utf-8", "replace").splitlines():
        try:
            done.add(json.loads(line)["image"])
        except (ValueError, KeyError, TypeError):
            continue
    return done


def chunks(items: List[str], size: int) -> Iterable[List[str]]:
    for i in range(0, len(items), size):
        yield items[i:i + size]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python3 -m keshocr.batch", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("source", metavar="IMAGES_DIR_OR_MANIFEST")
    ap.add_argument("-o", "--output", required=True, help="JSON lines file (appended to, resumed)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="local worker processes")
    ap.add_argument("--threads-per-worker", type=int, default=1)
    ap.add_argument("--scheduler", default=None, help="address of a running Dask scheduler")
    ap.add_argument("--model", default=None, help="model package (default: the shipped one)")
    ap.add_argument("--threshold", type=float, default=0.0,
                    help="characters whose score is not above it take no part in lines and main code")
    ap.add_argument("--chunk", type=int, default=8, help="images per task")
    a = ap.parse_args(argv)

    from dask.distributed import Client, LocalCluster, as_completed
    from tqdm import tqdm

    from . import _work

    images = list_images(a.source)
    done = done_images(a.output)
    todo = [p for p in images if p not in done]
    model = os.path.abspath(a.model) if a.model else None
    if a.scheduler:
        cluster, client = None, Client(a.scheduler)
    else:
        cluster = LocalCluster(n_workers=a.workers, threads_per_worker=a.threads_per_worker, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    failed = 0
    try:
        with open(a.output, "a") as out, tqdm(total=len(todo), unit="img", disable=not sys.stderr.isatty()) as bar:
            futures = [client.submit(_work.read_paths, c, model, a.threshold, pure=False)
                       for c in chunks(todo, max(1, a.chunk))]
            for future in as_completed(futures):
                lines = future.result()
                for line, ok in lines:
                    failed += not ok
                    out.write(line + "\n")
                out.flush()
                bar.update(len(lines))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print("keshocr.batch: %d images read, %d skipped (already in %s), %d could not be read"
          % (len(todo) - failed, len(images) - len(todo), a.output, failed), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
