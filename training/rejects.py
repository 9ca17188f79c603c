"""Crops that hold no character of the alphabet, to teach the recogniser to say so.

The recogniser answers one of 36 characters and has no "none of these".  What it
can do is spread its probability evenly over them when a crop is no character,
so that its best score (the score the library reports with each character) is
low there and a caller's threshold drops the box.  Most of the extra characters
read on synthetic scenes are boxes the detector finds on glyphs of other
scripts, symbols, stripes and shapes; these crops are that kind of box:

  - glyphs of other scripts and symbols on a scene of clutter alone, cut the
    way the pipeline cuts a character (scene_rejects);
  - boxes an exported detector really finds in a training scene away from every
    character (reject_boxes, used by det_crops.py).

Latin letters, digits and ASCII punctuation are never used: a lower-case l is
an I in many faces, and a lower-case o is an O.  Nor are the clutter glyphs
shaped like I, 1 or U (synth.LOOKALIKES).
"""
import numpy as np

import synth
from det_crops import inside

# The label of a crop that is no character: its target is the even distribution.
REJECT = -1


def is_foreign(ch):
    """A clutter glyph that may serve as a reject: outside ASCII and no look-alike."""
    return len(ch) == 1 and ord(ch) > 127 and ch not in synth.LOOKALIKES


def clutter_crops(rng, img, glyphs, f, max_n, jitter=1.0):
    """Up to max_n of the scene's foreign clutter glyphs, cut the way the
    pipeline cuts them at scale f, labelled REJECT."""
    cand = [i for i, g in enumerate(glyphs) if g["label"] == "bg" and is_foreign(g["char"])]
    if not cand:
        return []
    pick = rng.permutation(len(cand))[:max_n]
    return synth.pipeline_crops(rng, img, glyphs, [cand[int(k)] for k in pick], f, jitter, label=REJECT)


def scene_rejects(rng, fonts, clutter_fonts, max_n, jitter=1.0):
    """Up to max_n REJECT crops from a small scene of clutter alone (glyphs of
    other scripts and symbols over the usual backgrounds), cut at a random scale
    the way the pipeline cuts characters."""
    W, H = int(rng.integers(120, 640)), int(rng.integers(60, 400))
    img, glyphs, _ = synth.build_scene(rng, fonts, clutter_fonts, W, H, 0, [],
                                       n_clutter=int(rng.integers(4, 9)), clean=True)
    img = np.ascontiguousarray(synth.degrade(rng, img, char_h=float(rng.uniform(10, 60)))[:, :, ::-1])
    f = 768.0 / max(W, H) * synth.loguniform(rng, 0.3, 1.0)
    return clutter_crops(rng, img, glyphs, f, max_n, jitter)


def reject_boxes(boxes, glyphs):
    """The boxes that lie on no character: each holds no glyph centre of a
    character (label text or ignore), its own centre is on none, and whatever
    glyph its centre is on is foreign (is_foreign)."""
    chars = [g for g in glyphs if g["label"] != "bg"]
    # background glyphs that are no reject either: Latin lower case, punctuation, look-alikes
    kept_out = [g for g in glyphs if g["label"] == "bg" and not is_foreign(g["char"]) and g["char"].strip()]
    out = []
    for b in boxes:
        c = b.mean(axis=0)
        if any(inside(b, g["quad"].mean(axis=0)) or inside(g["quad"], c) for g in chars):
            continue
        if any(inside(g["quad"], c) for g in kept_out):
            continue
        out.append(b)
    return out
