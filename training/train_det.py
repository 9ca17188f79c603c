"""Train the character detector on synthetic windows of 768-scaled scenes.

  nice -n 10 /usr/bin/python3 training/train_det.py --name det_l --arch det_l

Resumes from runs/<name>/last.pt when it exists.  Logs to runs/<name>/log.tsv.
"""
import argparse
import os
import sys
import time
import warnings

import cv2
import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import fonts as FO
import models
import plates
import synth

# the per-gap maximum uses scatter_reduce, which torch 1.13 marks as beta
warnings.filterwarnings("ignore", message="scatter_reduce")


class DetData(torch.utils.data.Dataset):
    def __init__(self, seed, T, held_out=False, n=10 ** 9, condensed=0.0, with_between=False, plates=0.0,
                 plate_fonts=False, plate_runs=0.0, plate_emblems=0.0, plate_narrow=0.0, plate_small=0.0,
                 clutter=synth.CLUTTER_MEAN, script_clutter=synth.SCRIPT_CLUTTER,
                 small_frac=synth.SMALL_FRACTION, ignore_lookalikes=False, narrow_core=0.0, gap_radius=0,
                 gap_min_height=0, gap_midline=False, monoline=0.0, mixed_case_bg=False,
                 min_char_h=synth.MIN_CHAR_H, min_label_h=synth.MIN_LABEL_H):
        self.seed, self.T, self.n, self.held_out = seed, T, n, held_out
        self.condensed, self.with_between, self.plates = condensed, with_between, plates
        self.plate_fonts, self.plate_runs, self.plate_emblems = plate_fonts, plate_runs, plate_emblems
        self.plate_narrow, self.plate_small = plate_narrow, plate_small
        self.clutter, self.script_clutter, self.small_frac = clutter, script_clutter, small_frac
        self.ignore_lookalikes, self.narrow_core = ignore_lookalikes, narrow_core
        self.gap_radius, self.gap_min_height, self.gap_midline = gap_radius, gap_min_height, gap_midline
        self.monoline, self.mixed_case_bg = monoline, mixed_case_bg
        self.min_char_h, self.min_label_h = min_char_h, min_label_h
        self.fb = None

    def __len__(self):
        return self.n

    def setup(self):
        """The synthesis switches and font banks, once in each loader process."""
        if self.fb is None:
            synth.CONDENSED_FRACTION = self.condensed
            synth.CLUTTER_MEAN, synth.SCRIPT_CLUTTER = self.clutter, self.script_clutter
            synth.SMALL_FRACTION = self.small_frac
            synth.LOOKALIKES_IGNORED = self.ignore_lookalikes
            synth.NARROW_CORE = self.narrow_core
            synth.MONOLINE_FRACTION = self.monoline
            synth.MIXED_CASE_CAPITALS_BG = self.mixed_case_bg
            synth.MIN_CHAR_H, synth.MIN_LABEL_H = self.min_char_h, self.min_label_h
            self.fb = plates.loader_setup(self.held_out, self.plate_fonts, self.plate_runs,
                                          self.plate_emblems, self.plate_narrow, self.plate_small)
            self.cl = FO.clutter_fonts()

    def __getitem__(self, i):
        self.setup()
        rng = np.random.default_rng([self.seed, i])
        sample = None
        if self.plates > 0 and rng.random() < self.plates:  # no draw at 0: the shipped runs' stream
            sample = plates.plate_window(rng, self.fb, self.cl, self.T)
        img, lab = sample if sample is not None else synth.det_sample(rng, self.fb, self.cl, self.T)
        x = torch.from_numpy(img).permute(2, 0, 1).float() / 127.5 - 1.0
        # the between-cores maps cost a labelling pass per window: only when the loss uses them.
        # Bit 0: the ring between touching cores (the CE weight); bit 1: the gaps of gap_loss.
        between = torch.zeros(0, dtype=torch.uint8)
        if self.with_between:
            m = between_cores(lab)
            if self.gap_radius > 0:
                gaps = core_midlines if self.gap_midline else between_cores
                m |= gaps(lab, self.gap_radius, self.gap_min_height) << 1
            between = torch.from_numpy(m)
        return x, torch.from_numpy(lab.astype(np.int64)), between


class CloseupData(DetData):
    """Whole 768 inputs of close-ups (synth.closeup_sample): characters that
    fill the frame are seen whole only in the full frame, never in a window."""

    def __getitem__(self, i):
        self.setup()
        for k in range(100):
            r = synth.closeup_sample(np.random.default_rng([self.seed, i, k]), self.fb, self.cl)
            if r is not None:
                break
        else:
            raise RuntimeError("close-up %d: no code was placed in 100 tries" % i)
        img, lab = r
        x = torch.from_numpy(img).permute(2, 0, 1).float() / 127.5 - 1.0
        return x, torch.from_numpy(lab.astype(np.int64)), torch.zeros(0, dtype=torch.uint8)


def between_cores(lab, radius=3, min_height=0):
    """1 where a pixel lies within `radius` of two different character cores
    (the ring between touching characters), else 0.  Merged neighbours are
    most of the detector's misses, so the loss can weight these pixels up.
    Cores less than `min_height` pixels high are left out, as if absent."""
    n, cores, stats, _ = cv2.connectedComponentsWithStats((lab == 2).astype(np.uint8), connectivity=4)
    low = stats[:, cv2.CC_STAT_HEIGHT] < min_height
    low[0] = False
    if n - 1 - low.sum() < 2:
        return np.zeros(lab.shape, np.uint8)
    cores[low[cores]] = 0
    k = np.ones((2 * radius + 1, 2 * radius + 1), np.uint8)
    cores = cores.astype(np.float32)
    hi = cv2.dilate(cores, k)
    lo = cv2.erode(np.where(cores > 0, cores, np.float32(n + 1)), k)
    return ((hi > 0) & (lo <= n) & (hi != lo) & (lab != 2)).astype(np.uint8)


def core_midlines(lab, radius, min_height=0):
    """1 on the line halfway between two different character cores (where the
    nearest core changes), within `radius` of them, else 0.  Any chain of core
    pixels that joins two characters crosses it, and unlike the whole band of
    between_cores it stays away from the cores' edges, so a loss on it does
    not pay the network to shrink them.  The line is two pixels wide, so that
    a diagonal step cannot cross it either.  Cores less than `min_height`
    pixels high are left out, as if absent."""
    n, cores, stats, _ = cv2.connectedComponentsWithStats((lab == 2).astype(np.uint8), connectivity=4)
    keep = stats[:, cv2.CC_STAT_HEIGHT] >= min_height
    keep[0] = False
    if keep.sum() < 2:
        return np.zeros(lab.shape, np.uint8)
    free = np.where(keep[cores], 0, 1).astype(np.uint8)
    dist, near = cv2.distanceTransformWithLabels(free, cv2.DIST_L2, 3, labelType=cv2.DIST_LABEL_CCOMP)
    line = np.zeros(lab.shape, bool)
    for a, b in (((slice(None), slice(0, -1)), (slice(None), slice(1, None))),
                 ((slice(0, -1), slice(None)), (slice(1, None), slice(None)))):
        d = near[a] != near[b]
        line[a] |= d
        line[b] |= d
    return (line & (dist <= radius) & (lab != 2)).astype(np.uint8)


def per_region(p, masks, connectivity, reduce):
    """The core probabilities of each connected region of each window's mask,
    reduced per region ("amax" or "mean"): one 1-D tensor over all windows'
    regions, empty when there are none."""
    out = [p.new_zeros(0)]
    for j in range(p.shape[0]):
        n, regions = cv2.connectedComponents(masks[j], connectivity=connectivity)
        if n <= 1:
            continue
        regions = torch.from_numpy(regions).view(-1).long()
        inside = regions > 0
        out.append(p.new_zeros(n - 1).scatter_reduce(
            0, regions[inside] - 1, p[j, 2].reshape(-1)[inside], reduce=reduce, include_self=False))
    return torch.cat(out)


def gap_loss(p, y, between):
    """Mean over the gaps between touching characters of -log(1 - the highest
    core probability in the gap).  One core pixel is enough to join two
    neighbours into one component, and the pixel-averaged losses hardly see
    it; this charges each gap for its worst pixel.  A gap is a connected
    region of bit 1 of the between map (between_cores at the gap radius) less
    the pixels next to a core: their probability is soft at any core's edge,
    and charging them would only shrink the cores."""
    near_core = F.max_pool2d((y == 2).float().unsqueeze(1), 3, stride=1, padding=1).squeeze(1) > 0
    maps = ((between & 2).bool() & ~near_core).to(torch.uint8).numpy()
    worst = per_region(p, maps, 8, "amax")
    return -torch.log((1 - worst).clamp_min(1e-4)).mean() if worst.numel() else p.sum() * 0


def core_mean_loss(p, y):
    """Mean over the characters' cores of -log(the core's mean core
    probability).  The pipeline keeps a component only when its mean is at
    least 0.75; the Dice term is dominated by large characters, while this
    counts a thin 1 as much as a wide W."""
    means = per_region(p, (y == 2).to(torch.uint8).numpy(), 4, "mean")
    return -torch.log(means.clamp_min(1e-4)).mean() if means.numel() else p.sum() * 0


def det_loss(p, y, cfg, between=None):
    """p: probabilities [B,3,H,W]; y: labels with 255 = ignore; between: the
    map of between_cores, weighted by cfg["sep_weight"] when that is > 0 and
    charged per gap by cfg["gap_weight"] when that is > 0."""
    w = torch.tensor(cfg["ce_weights"], dtype=p.dtype)
    logp = torch.log(p.clamp_min(1e-6))
    if between is not None and cfg.get("sep_weight", 0) > 0:
        pix = 1 + cfg["sep_weight"] * (between & 1).to(p.dtype)
        valid_y = y.clamp_max(p.shape[1] - 1)
        per = F.nll_loss(logp, y, weight=w, ignore_index=255, reduction="none") * pix
        norm = (w[valid_y] * pix * (y != 255).to(p.dtype)).sum().clamp_min(1)
        ce = per.sum() / norm
    else:
        ce = F.nll_loss(logp, y, weight=w, ignore_index=255)
    valid = (y != 255).float()
    core = (y == 2).float()
    pc = p[:, 2] * valid
    inter = (pc * core).sum(dim=(1, 2))
    den = pc.sum(dim=(1, 2)) + core.sum(dim=(1, 2))
    has = (core.sum(dim=(1, 2)) > 0).float()
    dice = 1 - (2 * inter + 1) / (den + 1)
    # images without any text: dice pushes false positives down
    dice = (dice * has).sum() / has.sum().clamp_min(1) + 0.1 * ((pc.sum(dim=(1, 2)) / (y.shape[1] * y.shape[2])) * (1 - has)).sum()
    loss = ce + cfg["dice_weight"] * dice
    if between is not None and cfg.get("gap_weight", 0) > 0:
        loss = loss + cfg["gap_weight"] * gap_loss(p, y, between)
    if cfg.get("core_mean_weight", 0) > 0:
        loss = loss + cfg["core_mean_weight"] * core_mean_loss(p, y)
    return loss, ce.item(), dice.item()


def components_hit_rate(prob, lab, min_mean=C.DET_MIN_MEAN_PROB):
    """Fraction of labelled text characters covered by exactly one passing
    component (checked on the core label: the component must overlap the core
    of this char and of no other char)."""
    arg = prob.argmax(0)
    mask = (arg == 2).astype(np.uint8)
    n, cc = cv2.connectedComponents(mask, connectivity=8)
    cores_n, cores = cv2.connectedComponents((lab == 2).astype(np.uint8), connectivity=4)
    if cores_n <= 1:
        return 0, 0
    p2 = prob[2]
    passing = np.zeros(n, bool)
    for i in range(1, n):
        m = cc == i
        passing[i] = p2[m].mean() >= min_mean and m.sum() >= 9
    # component -> set of cores it overlaps
    hits = 0
    for k in range(1, cores_n):
        ids = np.unique(cc[cores == k])
        ids = [i for i in ids if i > 0 and passing[i]]
        if len(ids) == 1:
            others = np.unique(cores[cc == ids[0]])
            if len([o for o in others if o > 0]) == 1:
                hits += 1
    return hits, cores_n - 1


def lr_at(step, cfg):
    warm = 300
    if step < warm:
        return cfg["lr"] * (step + 1) / warm
    total = cfg["steps"]
    decay_start = int(total * 0.7)
    if step < decay_start:
        return cfg["lr"]
    return cfg["lr"] * max(0.02, 1 - (step - decay_start) / max(1, total - decay_start))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--name", default="det_l")
    ap.add_argument("--arch", default=None)
    ap.add_argument("--steps", type=int, default=None)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--workers", type=int, default=1)
    ap.add_argument("--batch", type=int, default=None)
    ap.add_argument("--crop", type=int, default=None)
    ap.add_argument("--lr", type=float, default=None)
    ap.add_argument("--seed", type=int, default=None,
                    help="training data seed; give a fresh one when continuing a run so it sees new scenes")
    ap.add_argument("--sep-weight", type=float, default=None,
                    help="extra loss weight on ring pixels between two cores (0: off, as the shipped det_l)")
    ap.add_argument("--gap-weight", type=float, default=None,
                    help="weight of the loss on the highest core probability in each gap between two "
                         "touching characters' cores (0: off, as the shipped runs)")
    ap.add_argument("--gap-radius", type=int, default=8,
                    help="a pixel belongs to a gap of --gap-weight's loss when two characters' cores lie "
                         "within this many pixels of it")
    ap.add_argument("--gap-min-height", type=int, default=0,
                    help="leave out of --gap-weight's gaps the cores less than this many pixels high "
                         "(0: all), so that small characters' cores are not thinned to cut their gaps")
    ap.add_argument("--core-mean-weight", type=float, default=None,
                    help="weight of the loss on each character core's mean core probability "
                         "(0: off, as the shipped runs)")
    ap.add_argument("--gap-midline", action="store_true",
                    help="--gap-weight's gaps are the lines halfway between two cores instead of the "
                         "whole band within --gap-radius of both")
    ap.add_argument("--condensed", type=float, default=0.0,
                    help="fraction of codes drawn horizontally condensed, like narrow plate typefaces "
                         "(0: as the shipped runs)")
    ap.add_argument("--plates", type=float, default=0.0,
                    help="fraction of windows cut from whole-plate crops (plates.py; 0: as the shipped runs)")
    ap.add_argument("--clutter", type=float, default=synth.CLUTTER_MEAN,
                    help="mean number of clutter text layers per scene (%(default)s: as the shipped runs)")
    ap.add_argument("--script-clutter", type=float, default=synth.SCRIPT_CLUTTER,
                    help="share of clutter layers in other scripts and symbols (%(default)s: as the shipped runs)")
    ap.add_argument("--small-frac", type=float, default=synth.SMALL_FRACTION,
                    help="share of scene codes drawn with 12-40 px characters (default keeps the shipped runs' data)")
    ap.add_argument("--ignore-lookalikes", action="store_true",
                    help="label clutter glyphs shaped like I, 1 or U (lower-case l, Hebrew vav and zayin, "
                         "Ethiopic ha) \"ignore\" instead of background (off: as the shipped runs)")
    ap.add_argument("--mixed-case-bg", action="store_true",
                    help="label background the capitals of clutter words that hold lower case "
                         "(a plate's \"Arkansas\"; off: as the shipped runs, which label them text)")
    ap.add_argument("--narrow-core", type=float, default=0.0,
                    help="widen code characters' cores to this width / height where the gap to their "
                         "neighbours allows (narrow 1 and I; 0: as the shipped runs)")
    ap.add_argument("--closeups", type=int, default=0,
                    help="whole 768 close-up inputs (a character filling 45-98 %% of the frame) added to "
                         "every step, their loss weighted by --closeup-weight (0: as the shipped runs)")
    ap.add_argument("--closeup-weight", type=float, default=1.0,
                    help="weight of the close-ups' loss against the windows' (1: as det_sz1)")
    ap.add_argument("--min-char-h", type=float, default=synth.MIN_CHAR_H,
                    help="smallest code character height drawn in windows, 768 scale (%(default)s: as the "
                         "shipped runs)")
    ap.add_argument("--min-label-h", type=float, default=synth.MIN_LABEL_H,
                    help="characters smaller than this are labelled ignore (%(default)s: as the shipped runs)")
    ap.add_argument("--init", default=None,
                    help="start a new run from this checkpoint's weights; the architecture may drop "
                         "blocks of the checkpoint's (their weights are left out), never add any")
    plates.add_arguments(ap)
    a = ap.parse_args()
    cfg = dict(C.DET)
    for k in ("arch", "steps", "batch", "crop", "lr", "seed", "sep_weight", "gap_weight", "core_mean_weight"):
        if getattr(a, k) is not None:
            cfg[k] = getattr(a, k)
    torch.set_num_threads(a.threads)
    run = os.path.join(C.RUNS_DIR, a.name)
    os.makedirs(run, exist_ok=True)
    net = models.set_pointwise_dilation(models.make_detector(cfg["arch"]), 2)
    opt = torch.optim.AdamW(net.parameters(), lr=cfg["lr"], weight_decay=cfg["weight_decay"])
    step = 0
    best = -1.0
    ck = os.path.join(run, "last.pt")
    if os.path.exists(ck):
        st = torch.load(ck, map_location="cpu")
        net.load_state_dict(st["model"])
        opt.load_state_dict(st["opt"])
        step, best = st["step"], st.get("best", -1.0)
        print("resumed at step", step, flush=True)
    elif a.init:
        st = torch.load(a.init, map_location="cpu")
        own = net.state_dict()
        dropped = [k for k in st["model"] if k not in own]
        added = [k for k in own if k not in st["model"]]
        # blocks a network can grow by: they start as identity (the sub-pixel head as zero)
        if any(not k.startswith(("half_res.", "sub.")) for k in added):
            raise SystemExit("%s lacks tensors of this architecture: %s" % (a.init, ", ".join(added)))
        net.load_state_dict({k: v for k, v in st["model"].items() if k in own}, strict=not added)
        new_blocks = sorted({int(k.split(".")[1]) for k in added if k.startswith("half_res.")})
        if new_blocks:
            models.start_as_identity([net.half_res[i] for i in new_blocks])
            print("added %d residual blocks at 1/2 resolution, starting as identity" % len(new_blocks), flush=True)
        if any(k.startswith("sub.") for k in added):
            print("added the sub-pixel head, starting at zero", flush=True)
        print("initialised from", a.init, "(step %s)" % st.get("step"), flush=True)
        if dropped:
            print("left out %d tensors of blocks this architecture does not have: %s"
                  % (len(dropped), ", ".join(sorted({k.rsplit(".", 3)[0] for k in dropped}))), flush=True)
    print("arch", cfg["arch"], "params", models.n_params(net), flush=True)

    val = DetData(seed=999, T=cfg["crop"], held_out=True)
    val_set = [val[i] for i in range(120)]

    gaps = cfg.get("gap_weight", 0) > 0
    data = DetData(seed=cfg["seed"], T=cfg["crop"], condensed=a.condensed,
                   with_between=cfg.get("sep_weight", 0) > 0 or gaps,
                   plates=a.plates, plate_fonts=a.plate_fonts,
                   plate_runs=a.plate_runs, plate_emblems=a.plate_emblems, plate_narrow=a.plate_narrow,
                   plate_small=a.plate_small,
                   clutter=a.clutter, script_clutter=a.script_clutter, small_frac=a.small_frac,
                   ignore_lookalikes=a.ignore_lookalikes, narrow_core=a.narrow_core,
                   gap_radius=a.gap_radius if gaps else 0,
                   gap_min_height=a.gap_min_height, gap_midline=a.gap_midline, monoline=a.monoline,
                   mixed_case_bg=a.mixed_case_bg, min_char_h=a.min_char_h, min_label_h=a.min_label_h)
    closeups = None
    if a.closeups > 0:
        cdata = CloseupData(seed=cfg["seed"] + 1, T=C.DET_SIZE, plate_fonts=a.plate_fonts,
                            clutter=a.clutter, script_clutter=a.script_clutter, mixed_case_bg=a.mixed_case_bg,
                            min_char_h=a.min_char_h, min_label_h=a.min_label_h)
        closeups = iter(torch.utils.data.DataLoader(
            cdata, batch_size=a.closeups, sampler=range(step * a.closeups, 10 ** 9), num_workers=1,
            prefetch_factor=4, persistent_workers=True))
    sampler = range(step * cfg["batch"], 10 ** 9)
    dl = torch.utils.data.DataLoader(data, batch_size=cfg["batch"], sampler=sampler,
                                     num_workers=a.workers, prefetch_factor=4 if a.workers else 2,
                                     persistent_workers=a.workers > 0)
    log = open(os.path.join(run, "log.tsv"), "a")
    if step == 0:
        log.write("step\ttime\tlr\tloss\tce\tdice\tval_loss\tval_core_iou\tval_hit\n")
    t0 = time.time()
    acc = []
    net.train()
    for x, y, between in dl:
        lr = lr_at(step, cfg)
        for g in opt.param_groups:
            g["lr"] = lr
        p = net(x)
        loss, ce, dice = det_loss(p, y, cfg, between if between.numel() else None)
        opt.zero_grad()
        loss.backward()
        total = loss.item()
        if closeups is not None:
            # a backward pass of their own: the windows' graph is freed before
            # the close-ups' is built
            xc, yc, _ = next(closeups)
            lc, cec, dicec = det_loss(net(xc), yc, cfg)
            lc = lc * a.closeup_weight
            lc.backward()
            total, ce, dice = total + lc.item(), ce + cec, dice + dicec
        opt.step()
        step += 1
        acc.append((total, ce, dice))
        if step % 20 == 0:
            m = np.mean(acc, axis=0)
            print("step %d lr %.2e loss %.4f ce %.4f dice %.4f  %.2fs/step" %
                  (step, lr, m[0], m[1], m[2], (time.time() - t0) / 20), flush=True)
            t0 = time.time()
        do_eval = step % cfg["eval_every"] == 0 or step >= cfg["steps"]
        if step % cfg["ckpt_every"] == 0 or do_eval:
            vl = vi = vh = float("nan")
            if do_eval:
                net.eval()
                with torch.no_grad():
                    ls, inter, union, hits, tot = [], 0, 0, 0, 0
                    for i in range(0, len(val_set), 12):
                        xb = torch.stack([v[0] for v in val_set[i:i + 12]])
                        yb = torch.stack([v[1] for v in val_set[i:i + 12]])
                        pb = net(xb)
                        ls.append(det_loss(pb, yb, cfg)[0].item())
                        pred = pb.argmax(1) == 2
                        tgt = yb == 2
                        valid = yb != 255
                        inter += (pred & tgt & valid).sum().item()
                        union += ((pred | tgt) & valid).sum().item()
                        for j in range(len(xb)):
                            h, t = components_hit_rate(pb[j].numpy(), yb[j].numpy())
                            hits += h
                            tot += t
                    vl, vi, vh = float(np.mean(ls)), inter / max(1, union), hits / max(1, tot)
                net.train()
                if vh > best:
                    best = vh
                    torch.save({"model": net.state_dict(), "arch": cfg["arch"], "step": step, "val_hit": vh},
                               os.path.join(run, "best.pt"))
                print("EVAL step %d val_loss %.4f core_iou %.4f hit %.4f" % (step, vl, vi, vh), flush=True)
            m = np.mean(acc, axis=0)
            acc = []
            log.write("%d\t%d\t%.2e\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\n" %
                      (step, time.time(), lr, m[0], m[1], m[2], vl, vi, vh))
            log.flush()
            tmp = ck + ".tmp"
            torch.save({"model": net.state_dict(), "opt": opt.state_dict(), "arch": cfg["arch"],
                        "step": step, "best": best}, tmp)
            os.replace(tmp, ck)
        if step >= cfg["steps"]:
            break


if __name__ == "__main__":
    main()
