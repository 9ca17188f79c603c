"""Writes the committed sample images (all in HELD-OUT fonts, with ground truth).

  /usr/bin/python3 training/make_samples.py [--check]

  samples/code.png + code.txt          one clear code for the README demo
  tests/data/e2e/*.png + manifest.tsv  small regression images
  bench/data/synthetic_code.png, plate_crop.png, photo_1920x1080.jpg + README.md

With --check every candidate is read with the exported networks
(training/export/*.onnx) and only images read correctly are kept for
tests/data/e2e (candidates are tried in a fixed order, so the output is
deterministic for a given pair of networks).
"""
import argparse
import os
import sys

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import config as C
import fonts as FO
import pipeline as P
import synth

ROOT = os.path.dirname(C.HERE)


def font(name):
    for p in FO.held_out_fonts():
        if os.path.basename(p).startswith(name):
            return p
    raise KeyError(name)


def plate_crop(rng, fb, cl, code, fnt, width=320):
    layer, main = synth.make_code_layer(rng, fb, code, 60.0, plate=True, style=dict(font=fnt))
    lh, lw = layer.alpha.shape
    W, H = int(lw * 1.04), int(lh * 1.06)
    img = synth.background(rng, H, W)
    Hm = synth.random_homography(rng, lw, lh, W / 2, H / 2, 1.0, max_rot=2.0, persp=0.01)
    glyphs = synth.composite(img, layer, Hm)
    img = synth.degrade(rng, img, strength=0.3, char_h=60)[:, :, ::-1]
    s = width / W
    img = cv2.resize(img, (width, int(round(H * s))), interpolation=cv2.INTER_AREA)
    text = "".join(glyphs[i]["char"] for i in main if glyphs[i]["label"] == "text")
    return np.ascontiguousarray(img), text


def scene(rng, fb, cl, code, fnt, h768, W, H, plate=None, strength=0.4, n_clutter=2):
    for k in range(50):
        r = synth.scene_image(rng, fb, cl, h768, W=W, H=H, code=code, plate=plate, n_clutter=n_clutter,
                              strength=strength, style=dict(font=fnt))
        if r is not None:
            return r[0], r[1]
    raise RuntimeError("could not place the code")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--check", action="store_true")
    a = ap.parse_args()
    fb = synth.FontBank(FO.held_out_fonts())
    cl = FO.clutter_fonts()
    reader = None
    if a.check:
        det_fn, rec_fn = P.onnx_fns(os.path.join(C.EXPORT_DIR, "det.onnx"), os.path.join(C.EXPORT_DIR, "rec.onnx"))
        reader = lambda img: P.read(img, det_fn, rec_fn)["text"]

    def ok(img, text):
        if reader is None:
            return True
        got = reader(img)
        print("   read %r (truth %r)" % (got, text))
        return got == text

    # ---- README demo
    os.makedirs(os.path.join(ROOT, "samples"), exist_ok=True)
    for k in range(40):
        rng = np.random.default_rng([11, k])
        img, text = scene(rng, fb, cl, "KX7204B", font("Lato-Bold"), 70.0, 640, 240, plate=True, strength=0.1,
                          n_clutter=0)
        if ok(img, text):
            break
    cv2.imwrite(os.path.join(ROOT, "samples", "code.png"), img)
    open(os.path.join(ROOT, "samples", "code.txt"), "w").write(text + "\n")
    print("samples/code.png", text)

    # ---- bench images
    bd = os.path.join(ROOT, "bench", "data")
    os.makedirs(bd, exist_ok=True)
    texts = {}
    for k in range(40):
        rng = np.random.default_rng([12, k])
        img, text = scene(rng, fb, cl, "SN4417Q9", font("JetBrainsMono-Bold"), 48.0, 800, 300, plate=False, strength=0.3)
        if ok(img, text):
            break
    cv2.imwrite(os.path.join(bd, "synthetic_code.png"), img)
    texts["synthetic_code.png"] = text
    for k in range(40):
        rng = np.random.default_rng([13, k])
        img, text = plate_crop(rng, fb, cl, "8GRT350", font("Oxygen-Sans-Bold"))
        if ok(img, text):
            break
    cv2.imwrite(os.path.join(bd, "plate_crop.png"), img)
    texts["plate_crop.png"] = text
    for k in range(40):
        rng = np.random.default_rng([14, k])
        img, text = scene(rng, fb, cl, "TR58K21", font("Cantarell-Bold"), 26.0, 1920, 1080, strength=0.4)
        if ok(img, text):
            break
    cv2.imwrite(os.path.join(bd, "photo_1920x1080.jpg"), img, [cv2.IMWRITE_JPEG_QUALITY, 85])
    texts["photo_1920x1080.jpg"] = text
    with open(os.path.join(bd, "README.md"), "w") as f:
        f.write("# Benchmark images\n\nSynthetic images made by `training/make_samples.py` in fonts that the\n"
                "networks never saw during training (held-out fonts, see `training/fonts.py`).\n\n"
                "| image | size | text |\n|---|---|---|\n")
        for name, t in texts.items():
            im = cv2.imread(os.path.join(bd, name))
            f.write("| `%s` | %dx%d | `%s` |\n" % (name, im.shape[1], im.shape[0], t))
    print(texts)

    # ---- end-to-end regression images
    ed = os.path.join(ROOT, "tests", "data", "e2e")
    os.makedirs(ed, exist_ok=True)
    specs = [  # name, code, font, char height at 768, W, H, plate
        ("label_mono", "A7Q0931", "Inconsolata", 60.0, 420, 160, False),
        ("plate_panel", "7HJK214", "Lato-Black", 95.0, 320, 150, True),
        ("serial_small", "PN20XY4418", "Oxygen-Sans-Bold", 30.0, 480, 270, False),
        ("gothic_digits", "90125", "URWGothic-Demi", 90.0, 360, 200, None),
        ("serif_code", "C4L4DEA8", "Caladea-Bold", 55.0, 480, 200, None),
        ("single_char", "Q", "Cantarell-Bold", 160.0, 160, 160, False),
    ]
    rows = []
    for name, code, fn, h, W, H, plate in specs:
        for k in range(60):
            rng = np.random.default_rng([15, k, len(rows)])
            img, text = scene(rng, fb, cl, code, font(fn), h, W, H, plate=plate, strength=0.15)
            enc = cv2.imencode(".png", img, [cv2.IMWRITE_PNG_COMPRESSION, 9])[1]
            if len(enc) < 60000 and ok(img, text):
                break
        else:
            print("no correctly read candidate for", name)
            continue
        fn_out = name + ".png"
        cv2.imwrite(os.path.join(ed, fn_out), img, [cv2.IMWRITE_PNG_COMPRESSION, 9])
        size = os.path.getsize(os.path.join(ed, fn_out))
        print(fn_out, text, size, "bytes")
        rows.append((fn_out, text))
    with open(os.path.join(ed, "manifest.tsv"), "w") as f:
        f.write("image\ttext\n")
        for r in rows:
            f.write("%s\t%s\n" % r)


if __name__ == "__main__":
    main()
