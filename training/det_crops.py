"""Recogniser crops cut from boxes that a trained detector really found.

The other crop makers emulate the detector (a jittered core, grown the way the
pipeline grows it).  A real detector's boxes differ in ways the emulation does
not model: a separator dot or a neighbour's edge caught inside, a box a little
short of the glyph, a slanted rectangle on a slanted character.  These crops
come from running the exported detector on a synthetic plate or scene and
labelling each passing box with the one code character whose centre it holds.
"""
import cv2
import numpy as np

import config as C
import pipeline as P
import plates
import synth

_session = {}


def _detector(path):
    """One single-threaded ONNX Runtime session per data-loader process."""
    if path not in _session:
        import ort
        _session[path] = ort.Session(path, (1, 3, C.DET_SIZE, C.DET_SIZE), threads=1)  # the shipped detectors' 3 classes
    return _session[path]


def _inside(quad, pt):
    return cv2.pointPolygonTest(np.asarray(quad, np.float32).reshape(-1, 1, 2),
                                (float(pt[0]), float(pt[1])), False) >= 0


def label_boxes(boxes, glyphs, indices):
    """(box, class index) for each box that holds exactly one centre of the
    glyphs[indices] and whose own centre lies on that glyph; merged boxes, boxes
    on clutter and boxes off-centre are left out."""
    centres = [(i, glyphs[i]["quad"].mean(axis=0)) for i in indices]
    out = []
    for b in boxes:
        held = [i for i, c in centres if _inside(b, c)]
        if len(held) != 1:
            continue
        g = glyphs[held[0]]
        if g["label"] != "text" or not _inside(g["quad"], b.mean(axis=0)):
            continue
        out.append((b, synth.ALPHABET.index(g["char"])))
    return out


def crops_from_image(det_path, img_bgr, glyphs, indices):
    """Crops the pipeline would read in img_bgr, with the true class of each."""
    x, sx, sy = P.det_preprocess(img_bgr)
    probs = _detector(det_path).run(x)[0]
    out = []
    for b, k in label_boxes(P.det_postprocess(probs, sx, sy), glyphs, indices):
        cr = P.rectify(img_bgr, b)
        if cr is not None and cr.shape[0] >= 4 and cr.shape[1] >= 4:
            out.append((cr, k))
    return out


def detector_samples(rng, fonts, clutter_fonts, det_path, plate_fraction):
    """Crops of one whole-plate crop (plate_fraction of the time) or one short
    scene like those of synth.rec_samples, read by the detector at det_path."""
    if rng.random() < plate_fraction:
        crop = plates.plate_crop(rng, fonts, clutter_fonts)
        if crop is None:
            return []
        img, glyphs, main = crop
    else:
        n = int(rng.integers(1, 11))
        h_src = synth.loguniform(rng, 10, 90)
        mx = rng.uniform(0.3, 2.5) * h_src
        W = int(max(24, (n * h_src * 0.9 + 2 * mx) * rng.uniform(1.0, 1.3)))
        H = int(max(16, h_src * rng.uniform(1.6, 3.5)))
        img, glyphs, mains = synth.build_scene(rng, fonts, clutter_fonts, W, H, 1, [h_src],
                                               codes=[synth.random_code(rng, n)],
                                               n_clutter=int(rng.integers(0, 3)))
        if not mains:
            return []
        img = synth.degrade(rng, img, char_h=h_src)
        main = mains[0][1]
    img_bgr = np.ascontiguousarray(img[:, :, ::-1])
    return crops_from_image(det_path, img_bgr, glyphs, main)
