#!/usr/bin/python3
"""Draws accuracy against latency for the engines of one or more compare runs.

    bench/plot_compare.py OUT.png RESULT.tsv [RESULT.tsv ...]

Each RESULT.tsv is written by bench/compare (--out PREFIX gives PREFIX.tsv);
its file name (without .tsv) labels the image set.
"""
import csv
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out, inputs = sys.argv[1], sys.argv[2:]
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for path in inputs:
        label = os.path.basename(path)[: -len(".tsv")]
        with open(path) as f:
            for row in csv.DictReader(f, delimiter="\t"):
                engine = row["engine"]
                # the main code where the table has it (what the library returns), else the main characters
                y = float(row.get("exact_code_pct") or row["exact_main_pct"])
                x = float(row["median_ms"])
                ax.scatter(x, y, s=60, marker="o" if engine.startswith("KeshOCR") else "s")
                # a thresholded row shares its latency with the plain one: label it on the left
                left = "--threshold" in engine
                ax.annotate(f"{engine}\n{label}", (x, y), textcoords="offset points",
                            xytext=(-6, 4) if left else (6, 4), ha="right" if left else "left", fontsize=8)
    ax.set_xscale("log")
    ax.set_xlabel("median latency per image, ms (log scale)")
    ax.set_ylabel("exact matches, main code, %")
    ax.set_ylim(0, 105)
    ax.grid(True, alpha=0.3)
    ax.set_title("Accuracy against latency")
    fig.tight_layout()
    fig.savefig(out, dpi=120)


if __name__ == "__main__":
    main()
