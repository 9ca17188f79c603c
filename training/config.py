"""Every tunable number of the training pipeline lives here."""
import os

ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE_DIR = os.environ.get("KESHOCR_CACHE", os.path.join(HERE, ".cache"))
RUNS_DIR = os.path.join(HERE, "runs")
EXPORT_DIR = os.path.join(HERE, "export")
EVAL_ROOT = os.environ.get("KESHOCR_EVAL", "/work/shared/eval")
ORT_ROOT = os.path.join(os.path.dirname(HERE), "third_party", "onnxruntime")

# ---------------------------------------------------------------- pipeline
DET_SIZE = 768            # every image is scaled (up or down) to fit 768 x 768
DET_TEXT_CLASS = 2
DET_MIN_MEAN_PROB = 0.75  # component kept when mean P(text) >= this
DET_PAD_RATIO = 0.2142857  # growth of the minAreaRect per side, x shorter side
DET_MIN_SIDE = 10          # enlarged rect dropped when its shorter side < 10
DET_MIN_EDGE = 5           # box dropped when its top/left edge <= 5 px (image coords)
REC_SIZE = 128

# ---------------------------------------------------------------- targets
CORE_SHRINK = 0.15        # text core = char box shrunk by 15 % of its shorter side
MIN_BOX_W_RATIO = 0.55    # char boxes widened to >= 0.55 x height (narrow 1, I)
MIN_LABEL_H = 10.0        # chars smaller than this (768 scale) are "ignore"

# ---------------------------------------------------------------- synthetic data
CHAR_H_RANGE = (12.0, 300.0)     # character height at the 768 scale
SMALL_CHAR_FRACTION = 0.45       # fraction of codes drawn with 12..40 px chars
MAX_ROTATION_DEG = 15.0
CODE_LEN_RANGE = (1, 12)

# ---------------------------------------------------------------- detector
DET = dict(
    arch="det_l",
    crop=320,            # training windows of the 768-scaled image
    batch=8,
    lr=3e-3,
    weight_decay=1e-4,
    ce_weights=(1.0, 1.0, 1.5),
    dice_weight=1.0,
    steps=9000,
    ckpt_every=100,
    eval_every=1000,
    seed=1234,
    # logits are multiplied by this before the softmax in the exported model;
    # it sharpens the probabilities without changing any argmax.
    export_logit_scale=1.0,
)

# ---------------------------------------------------------------- recogniser
REC = dict(
    arch="rec_m",
    batch=128,
    lr=2e-3,
    weight_decay=5e-4,
    label_smoothing=0.05,
    steps=6000,
    ckpt_every=100,
    eval_every=500,
    seed=4321,
)
