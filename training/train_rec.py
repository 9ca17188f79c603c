"""Train the character recogniser on crops cut the way the pipeline cuts them.

  nice -n 10 /usr/bin/python3 training/train_rec.py --name rec_m --arch rec_m

Resumes from runs/<name>/last.pt when it exists.  Logs to runs/<name>/log.tsv.
"""
import argparse
import os
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import det_crops
import export
import fonts as FO
import models
import pipeline as P
import plates
import rejects as R
import synth


class RecData(torch.utils.data.Dataset):
    """Item i = all crops of synthetic scene i (two jittered cuts per character)."""

    def __init__(self, seed, held_out=False, repeats=2, condensed=0.0, plates=0.0, plate_fonts=False,
                 plate_runs=0.0, plate_emblems=0.0, plate_narrow=0.0, plate_small=0.0, det_crops=0.0, det_path=None,
                 rejects=0, shared_as_digit=False, monoline=0.0):
        self.seed, self.held_out, self.repeats = seed, held_out, repeats
        self.monoline = monoline
        self.shared_as_digit = shared_as_digit
        self.rejects = rejects
        self.det_crops, self.det_path = det_crops, det_path
        self.condensed, self.plates, self.plate_fonts = condensed, plates, plate_fonts
        self.plate_runs, self.plate_emblems = plate_runs, plate_emblems
        self.plate_narrow, self.plate_small = plate_narrow, plate_small
        self.fb = None

    def __len__(self):
        return 10 ** 9

    def __getitem__(self, i):
        if self.fb is None:
            synth.CONDENSED_FRACTION = self.condensed  # set in each loader process
            synth.SHARED_GLYPH_AS_DIGIT = self.shared_as_digit
            synth.MONOLINE_FRACTION = self.monoline
            self.fb = plates.loader_setup(self.held_out, self.plate_fonts, self.plate_runs,
                                          self.plate_emblems, self.plate_narrow, self.plate_small)
            self.cl = FO.clutter_fonts()
        rng = np.random.default_rng([self.seed, i])
        xs, ys = [], []
        for _ in range(self.repeats):
            # no draw at det_crops=0 or plates=0: the shipped runs' stream
            if self.det_crops > 0 and rng.random() < self.det_crops:
                got = det_crops.detector_samples(rng, self.fb, self.cl, self.det_path, self.plates,
                                                 rejects=self.rejects)
            else:
                make = (plates.plate_rec_samples if self.plates > 0 and rng.random() < self.plates
                        else synth.rec_samples)
                got = make(rng, self.fb, self.cl)
                if self.rejects > 0:  # drawn after the characters: their stream stays as without
                    got = got + R.scene_rejects(rng, self.fb, self.cl, self.rejects)
            for cr, k in got:
                xs.append(P.rec_preprocess(cr))
                ys.append(k)
        if not xs:
            return torch.zeros(0, 3, C.REC_SIZE, C.REC_SIZE), torch.zeros(0, dtype=torch.int64)
        return torch.from_numpy(np.stack(xs)), torch.tensor(ys, dtype=torch.int64)


def collate(items):
    return torch.cat([a for a, _ in items]), torch.cat([b for _, b in items])


def lr_at(step, cfg):
    warm = 300
    if step < warm:
        return cfg["lr"] * (step + 1) / warm
    total = cfg["steps"]
    decay_start = int(total * 0.6)
    if step < decay_start:
        return cfg["lr"]
    return cfg["lr"] * max(0.02, 1 - (step - decay_start) / max(1, total - decay_start))


def evaluate(net, xs, ys):
    """Top-1 accuracy on the characters; with reject crops among them also the
    share of characters and of rejects whose best score is above 0.5."""
    net.eval()
    with torch.no_grad():
        p = torch.cat([net(xs[i:i + 256]) for i in range(0, len(xs), 256)])
    net.train()
    pos = ys >= 0
    acc = (p[pos].argmax(1) == ys[pos]).float().mean().item() if pos.any() else float("nan")
    if pos.all():
        return acc, None
    top = p.max(1)[0] > 0.5
    return acc, (top[pos].float().mean().item(), top[~pos].float().mean().item(), int((~pos).sum()))


def loss_fn(logits, y, label_smoothing, reject_weight):
    """Cross-entropy on the characters; on reject crops, cross-entropy against
    the even distribution over the alphabet (pushes the best score down)."""
    pos = y >= 0
    loss = logits.new_zeros(())
    if pos.any():
        loss = loss + F.cross_entropy(logits[pos], y[pos], label_smoothing=label_smoothing) * pos.float().mean()
    if not pos.all():
        neg = ~pos
        loss = loss + reject_weight * (-F.log_softmax(logits[neg], 1).mean(1)).sum() / len(y)
    return loss


def distill_loss(logits, teacher_logits, temperature):
    """KL divergence from the teacher's softened scores to the student's, scaled
    by T^2 so that its gradients keep their size whatever the temperature."""
    t = temperature
    return F.kl_div(F.log_softmax(logits / t, 1), F.log_softmax(teacher_logits / t, 1),
                    log_target=True, reduction="batchmean") * t * t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--name", default="rec_m")
    ap.add_argument("--arch", default=None)
    ap.add_argument("--steps", type=int, default=None)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--workers", type=int, default=1)
    ap.add_argument("--scenes", type=int, default=12, help="scenes per batch")
    ap.add_argument("--lr", type=float, default=None)
    ap.add_argument("--condensed", type=float, default=0.0,
                    help="fraction of training codes drawn condensed (0: as the first rec_m run)")
    ap.add_argument("--plates", type=float, default=0.0,
                    help="fraction of training scenes that are whole-plate crops (plates.py; 0: as the shipped runs)")
    ap.add_argument("--det-crops", type=float, default=0.0,
                    help="fraction of training scenes whose crops are cut from the boxes the detector "
                         "given by --det finds (det_crops.py; 0: as the shipped runs)")
    ap.add_argument("--det", default=os.path.join(C.EXPORT_DIR, "det.onnx"),
                    help="exported detector that cuts the --det-crops crops")
    ap.add_argument("--rejects", type=int, default=0,
                    help="add up to this many crops of no character per scene (rejects.py), "
                         "trained towards the even distribution (0: as the shipped runs)")
    ap.add_argument("--reject-weight", type=float, default=0.5,
                    help="weight of the reject crops' loss per crop, against 1 for a character")
    ap.add_argument("--shared-as-digit", action="store_true",
                    help="draw and label as the digit a letter that a face draws alike (synth.shared_letters: "
                         "Bebas Neue's O and 0; off: as the shipped runs)")
    ap.add_argument("--seed", type=int, default=None, help="data seed (default: from config)")
    ap.add_argument("--init", default=None,
                    help="start a new run from this checkpoint's weights (fine-tuning)")
    ap.add_argument("--teacher", default=None,
                    help="checkpoint of a recogniser whose scores the run also learns (distillation), "
                         "so that a smaller network keeps its scores and thus the threshold's meaning")
    ap.add_argument("--distill", type=float, default=0.5,
                    help="with --teacher: weight of the distillation loss against 1 for the labels")
    ap.add_argument("--temperature", type=float, default=2.0, help="with --teacher: softening temperature")
    plates.add_arguments(ap)
    a = ap.parse_args()
    cfg = dict(C.REC)
    for k in ("arch", "steps", "lr", "seed"):
        if getattr(a, k) is not None:
            cfg[k] = getattr(a, k)
    torch.set_num_threads(a.threads)
    run = os.path.join(C.RUNS_DIR, a.name)
    os.makedirs(run, exist_ok=True)
    net = models.set_pointwise_dilation(models.make_recogniser(cfg["arch"]), 2)
    opt = torch.optim.AdamW(net.parameters(), lr=cfg["lr"], weight_decay=cfg["weight_decay"])
    step, best = 0, -1.0
    ck = os.path.join(run, "last.pt")
    if os.path.exists(ck):
        st = torch.load(ck, map_location="cpu")
        net.load_state_dict(st["model"])
        opt.load_state_dict(st["opt"])
        step, best = st["step"], st.get("best", -1.0)
        print("resumed at step", step, flush=True)
    elif a.init:
        st = torch.load(a.init, map_location="cpu")
        net.load_state_dict(st["model"])
        print("initialised from", a.init, "(step %s)" % st.get("step"), flush=True)
    print("arch", cfg["arch"], "params", models.n_params(net), flush=True)
    teacher = None
    if a.teacher:
        teacher, _ = export.load("rec", a.teacher)  # in eval mode
        models.set_pointwise_dilation(teacher, 2)  # the training-time 1x1 fast path, as net
        print("distilling from", a.teacher, "weight", a.distill, "temperature", a.temperature, flush=True)

    vd = RecData(seed=777, held_out=True, repeats=1)
    vx, vy = collate([vd[i] for i in range(300)])
    print("val crops", len(vx), flush=True)
    if a.rejects > 0:  # held-out characters and rejects, emulated cuts only (no detector)
        rd = RecData(seed=778, held_out=True, repeats=1, plates=0.3, rejects=a.rejects)
        rx, ry = collate([rd[i] for i in range(300)])
        print("reject val crops", len(rx), "of which rejects", int((ry < 0).sum()), flush=True)

    data = RecData(seed=cfg["seed"] + (1 if a.init and a.seed is None else 0), condensed=a.condensed,
                   plates=a.plates, plate_fonts=a.plate_fonts,
                   plate_runs=a.plate_runs, plate_emblems=a.plate_emblems, plate_narrow=a.plate_narrow,
                   plate_small=a.plate_small,
                   det_crops=a.det_crops, det_path=a.det, rejects=a.rejects,
                   shared_as_digit=a.shared_as_digit, monoline=a.monoline)
    sampler = range(step * a.scenes, 10 ** 9)
    dl = torch.utils.data.DataLoader(data, batch_size=a.scenes, sampler=sampler, collate_fn=collate,
                                     num_workers=a.workers, prefetch_factor=4 if a.workers else 2,
                                     persistent_workers=a.workers > 0)
    log = open(os.path.join(run, "log.tsv"), "a")
    if step == 0:
        log.write("step\ttime\tlr\tloss\ttrain_acc\tval_acc\n")
    t0 = time.time()
    acc = []
    net.train()
    for x, y in dl:
        if len(x) == 0:
            continue
        lr = lr_at(step, cfg)
        for g in opt.param_groups:
            g["lr"] = lr
        logits = net.logits(x)
        loss = loss_fn(logits, y, cfg["label_smoothing"], a.reject_weight)
        if teacher is not None:
            with torch.no_grad():
                teacher_logits = teacher.logits(x)
            loss = loss + a.distill * distill_loss(logits, teacher_logits, a.temperature)
        opt.zero_grad()
        loss.backward()
        opt.step()
        step += 1
        pos = y >= 0
        acc.append((loss.item(), (logits[pos].argmax(1) == y[pos]).float().mean().item() if pos.any() else 0.0))
        if step % 20 == 0:
            m = np.mean(acc[-20:], axis=0)
            print("step %d lr %.2e loss %.4f acc %.4f  %.2fs/step (%d crops)" %
                  (step, lr, m[0], m[1], (time.time() - t0) / 20, len(x)), flush=True)
            t0 = time.time()
        do_eval = step % cfg["eval_every"] == 0 or step >= cfg["steps"]
        if step % cfg["ckpt_every"] == 0 or do_eval:
            va = float("nan")
            if do_eval:
                va, _ = evaluate(net, vx, vy)
                if a.rejects > 0:
                    ra, rs = evaluate(net, rx, ry)
                    print("REJECT step %d chars %.4f, best score > 0.5: chars %.4f rejects %.4f (%d)" %
                          ((step, ra) + rs), flush=True)
                if va > best:
                    best = va
                    torch.save({"model": net.state_dict(), "arch": cfg["arch"], "step": step, "val_acc": va},
                               os.path.join(run, "best.pt"))
                print("EVAL step %d val_acc %.4f" % (step, va), flush=True)
            m = np.mean(acc, axis=0)
            acc = []
            log.write("%d\t%d\t%.2e\t%.4f\t%.4f\t%.4f\n" % (step, time.time(), lr, m[0], m[1], va))
            log.flush()
            tmp = ck + ".tmp"
            torch.save({"model": net.state_dict(), "opt": opt.state_dict(), "arch": cfg["arch"],
                        "step": step, "best": best}, tmp)
            os.replace(tmp, ck)
        if step >= cfg["steps"]:
            break


if __name__ == "__main__":
    main()
