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

_sessions = {}


def session(path):
    """One single-threaded ONNX Runtime session per process and detector."""
    if path not in _sessions:
        import ort
        _sessions[path] = ort.Session(path, (1, 3, C.DET_SIZE, C.DET_SIZE), threads=1)  # the shipped detectors' 3 classes
    return _sessions[path]


def inside(quad, pt):
    """Whether pt lies in (or on) the quadrilateral quad."""
    return cv2.pointPolygonTest(np.asarray(quad, np.float32).reshape(-1, 1, 2),
                                (float(pt[0]), float(pt[1])), False) >= 0


def label_boxes(boxes, glyphs, indices):
    """(box, glyph index) for each box that holds exactly one centre of the
    glyphs[indices] and whose own centre lies on that glyph; merged boxes, boxes
    on clutter and boxes off-centre are left out."""
    centres = [(i, glyphs[i]["quad"].mean(axis=0)) for i in indices]
    out = []
    for b in boxes:
        held = [i for i, c in centres if inside(b, c)]
        if len(held) != 1:
            continue
        g = glyphs[held[0]]
        if g["label"] != "text" or not inside(g["quad"], b.mean(axis=0)):
            continue
        out.append((b, held[0]))
    return out


def detector_boxes(det_path, img_bgr):
    """The passing boxes the detector at det_path finds in img_bgr, in its pixels."""
    x, sx, sy = P.det_preprocess(img_bgr)
    return P.det_postprocess(session(det_path).run(x)[0], sx, sy)


def crops_from_image(det_path, img_bgr, glyphs, indices, rejects=0):
    """Crops the pipeline would read in img_bgr, with the true class of each;
    rejects > 0 adds up to that many of the boxes found on no character,
    labelled rejects.REJECT."""
    boxes = detector_boxes(det_path, img_bgr)
    labelled = [(b, synth.ALPHABET.index(glyphs[gi]["char"])) for b, gi in label_boxes(boxes, glyphs, indices)]
    if rejects > 0:
        import rejects as R
        labelled += [(b, R.REJECT) for b in R.reject_boxes(boxes, glyphs)[:rejects]]
    out = []
    for b, k in labelled:
        cr = P.rectify(img_bgr, b)
        if cr is not None and cr.shape[0] >= 4 and cr.shape[1] >= 4:
            out.append((cr, k))
    return out


def detector_samples(rng, fonts, clutter_fonts, det_path, plate_fraction, rejects=0):
    """Crops of one whole-plate crop (plate_fraction of the time) or one short
    scene like those of synth.rec_samples, read by the detector at det_path.
    With rejects > 0, half of the draws are instead a whole scene like the
    evaluation's (in training fonts), where most boxes on no character are
    found, and up to that many such boxes come back labelled rejects.REJECT."""
    if rejects > 0 and rng.random() < 0.5:
        h768 = synth.loguniform(rng, 12.0, 300.0)
        code = synth.random_code(rng, int(rng.integers(1, synth.max_code_len(h768) + 1)))
        r = synth.scene_image(rng, fonts, clutter_fonts, h768, code=code, clean=rng.random() < 0.5)
        if r is None:
            return []
        img, _, _, glyphs = r
        main = [i for i, g in enumerate(glyphs) if g["label"] == "text"]
        return crops_from_image(det_path, img, glyphs, main, rejects)
    if rng.random() < plate_fraction:
        crop = plates.plate_crop(rng, fonts, clutter_fonts)
        if crop is None:
            return []
        img, glyphs, main = crop
        img = np.ascontiguousarray(img[:, :, ::-1])  # BGR like cv2.imread
    else:
        scene = synth.rec_scene(rng, fonts, clutter_fonts)
        if scene is None:
            return []
        img, glyphs, main = scene
    return crops_from_image(det_path, img, glyphs, main, rejects)
