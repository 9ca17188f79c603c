"""Average the weights of several runs of one architecture into one checkpoint.

Fine-tunes that start from the same checkpoint and differ only in their data seed stay in one basin
of the loss, so their mean is a network of its own that is usually at least as good as each of them
and less tied to the scenes one seed happened to draw. Batch-norm running statistics are averaged
like the weights. The result has no optimiser state: export it, or start a new run from it with
`--init`, but do not resume from it.

  /usr/bin/python3 training/average.py -o training/runs/det_soup2.pt \
      training/runs/det_lf9/last.pt training/runs/det_lf10/last.pt

Keep the result out of runs/<name>/last.pt: the training scripts would try to resume from it there.
"""
import argparse

import torch


def average(paths):
    states = [torch.load(p, map_location="cpu") for p in paths]
    archs = {s["arch"] for s in states}
    if len(archs) != 1:
        raise SystemExit("the checkpoints have different architectures: %s" % ", ".join(sorted(archs)))
    keys = set(states[0]["model"])
    for p, s in zip(paths, states):
        if set(s["model"]) != keys:
            raise SystemExit("%s has other tensors than %s" % (p, paths[0]))
    model = {}
    for k, v in states[0]["model"].items():
        if v.is_floating_point():
            model[k] = sum(s["model"][k] for s in states) / len(states)
        else:  # counters such as num_batches_tracked: keep the first run's
            model[k] = v
    return {"model": model, "arch": archs.pop(), "step": max(s["step"] for s in states),
            "averaged": list(paths)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("-o", "--out", required=True)
    ap.add_argument("ckpts", nargs="+")
    a = ap.parse_args()
    if len(a.ckpts) < 2:
        raise SystemExit("give at least two checkpoints to average")
    torch.save(average(a.ckpts), a.out)
    print("averaged %d checkpoints into %s" % (len(a.ckpts), a.out))


if __name__ == "__main__":
    main()
