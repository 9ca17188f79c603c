"""Network definitions: character detector (segmentation) and recogniser (classifier)."""
import torch
import torch.nn as nn
import torch.nn.functional as F


def conv_bn(cin, cout, k=3, s=1, d=1, groups=1, act=True):
    layers = [nn.Conv2d(cin, cout, k, s, padding=d * (k // 2), dilation=d, groups=groups, bias=False),
              nn.BatchNorm2d(cout)]
    if act:
        layers.append(nn.ReLU(inplace=True))
    return nn.Sequential(*layers)


class DS(nn.Module):
    """Depthwise-separable block: dw 3x3 (stride, dilation) + pw 1x1, residual when shapes match."""

    def __init__(self, cin, cout, s=1, d=1):
        super().__init__()
        self.dw = conv_bn(cin, cin, 3, s, d, groups=cin)
        self.pw = conv_bn(cin, cout, 1, act=False)
        self.res = (s == 1 and cin == cout)

    def forward(self, x):
        y = self.pw(self.dw(x))
        if self.res:
            y = y + x
        return F.relu(y)


def up2(x, mode="bilinear"):
    if mode == "nearest":
        return F.interpolate(x, scale_factor=2.0, mode="nearest")
    if mode == "bilinear":
        return F.interpolate(x, scale_factor=2.0, mode="bilinear", align_corners=False)
    raise ValueError("upsampling mode %r: bilinear or nearest" % (mode,))


class Detector(nn.Module):
    """Encoder with five stride-2 stages (1/2 .. 1/32, dilated tail for a
    receptive field of several hundred pixels), additive top-down decoder back
    to 1/2 resolution, 1x1 head, softmax, x2 upsampling to full resolution.

    Output: probabilities of {background, char ring, char core}.

    upsample: "bilinear" or "nearest" (each pixel repeated 2 x 2) for every x2
    step, or one mode per step: the four decoder steps from 1/32 to 1/2, then
    the output.  The runtime's bilinear resize at the library's optimisation
    level costs about as much as a convolution at the same resolution,
    nearest a fraction of it."""

    def __init__(self, ch=(12, 24, 48, 64, 96), n_cls=3, extra=1, extra_s2=None, half_blocks=(),
                 upsample="bilinear", subpixel=False):
        super().__init__()
        self.up_modes = (upsample,) * 5 if isinstance(upsample, str) else tuple(upsample)
        if len(self.up_modes) != 5:
            raise ValueError("upsample: one mode, or five (four decoder steps and the output)")
        c0, c1, c2, c3, c4 = ch
        if extra_s2 is None:
            extra_s2 = extra
        self.stem = conv_bn(3, c0, 3, 2)                                     # 1/2
        self.s2 = nn.Sequential(DS(c0, c1, 2), *[DS(c1, c1) for _ in range(extra_s2)])  # 1/4
        self.s3 = nn.Sequential(DS(c1, c2, 2), *[DS(c2, c2) for _ in range(extra)])     # 1/8
        self.s4 = nn.Sequential(DS(c2, c3, 2), DS(c3, c3), DS(c3, c3, d=2))   # 1/16
        self.s5 = nn.Sequential(DS(c3, c4, 2), DS(c4, c4, d=2), DS(c4, c4, d=4), DS(c4, c4, d=2))  # 1/32
        self.l5 = conv_bn(c4, c3, 1)
        self.d4 = DS(c3, c3)
        self.l4 = conv_bn(c3, c2, 1)
        self.d3 = DS(c2, c2)
        self.l3 = conv_bn(c2, c1, 1)
        self.d2 = DS(c1, c1)
        self.l2 = conv_bn(c1, c0, 1)
        self.d1 = DS(c0, c0)
        # optional residual blocks at 1/2 resolution (their dilations), where the
        # ring between touching characters is decided
        self.half_res = nn.Sequential(*[DS(c0, c0, d=d) for d in half_blocks])
        self.head = nn.Conv2d(c0, n_cls, 1)
        # optional full-resolution correction: per half-resolution pixel, the
        # logits of its 2 x 2 full-resolution pixels (depth-to-space), added to
        # the upsampled logits.  The gap between touching small characters is
        # often one half-resolution pixel wide; without it the network can cut
        # the gap only by thinning the cores beside it.  Zero at the start, so
        # weights trained without it start from nearly what they computed
        # before (the softmax then comes after the upsampling, not before).
        self.sub = None
        if subpixel:
            self.sub = nn.Conv2d(c0, n_cls * 4, 1)
            nn.init.zeros_(self.sub.weight)
            nn.init.zeros_(self.sub.bias)
        self.register_buffer("logit_scale", torch.ones(()))

    def features(self, x):
        x1 = self.stem(x)
        x2 = self.s2(x1)
        x3 = self.s3(x2)
        x4 = self.s4(x3)
        x5 = self.s5(x4)
        m = self.up_modes
        y = self.d4(up2(self.l5(x5), m[0]) + x4)
        y = self.d3(up2(self.l4(y), m[1]) + x3)
        y = self.d2(up2(self.l3(y), m[2]) + x2)
        return self.half_res(self.d1(up2(self.l2(y), m[3]) + x1))  # half resolution

    def logits(self, x):
        """Half-resolution logits, or full-resolution ones with the sub-pixel head."""
        y = self.features(x)
        if self.sub is None:
            return self.head(y)
        return up2(self.head(y), self.up_modes[4]) + F.pixel_shuffle(self.sub(y), 2)

    def probs(self, logits, scale=None):
        """Logits -> full-resolution probabilities (scale: the logit scale, by
        default the network's own)."""
        s = self.logit_scale if scale is None else scale
        if self.sub is not None:
            return softmax_c(logits * s)
        # softmax at half resolution, then x2: upsampled probabilities still sum
        # to one, and this is much cheaper than a softmax at 768 x 768
        return up2(softmax_c(logits * s), self.up_modes[4])

    def forward(self, x):
        return self.probs(self.logits(x))


def softmax_c(y):
    """Softmax over dim 1 written with elementwise ops (fast in ONNX Runtime)."""
    m = y.max(dim=1, keepdim=True)[0] if y.shape[1] != 3 else torch.max(torch.max(y[:, 0:1], y[:, 1:2]), y[:, 2:3])
    e = torch.exp(y - m)
    return e / e.sum(dim=1, keepdim=True)


class Recogniser(nn.Module):
    """Stride-2 CNN on the 128x128 letterboxed crop, global average pooling,
    linear layer, softmax over the 36 characters."""

    def __init__(self, ch=(24, 32, 64, 128, 256), n_cls=36, dropout=0.2, pool_input=1):
        super().__init__()
        c0, c1, c2, c3, c4 = ch
        # pool_input > 1 averages the crop down first: the same layers then run at
        # 1/pool_input the resolution (1/pool_input^2 the work), with the same
        # weight shapes, so a full-resolution recogniser's weights can start it
        self.pool = nn.AvgPool2d(pool_input) if pool_input > 1 else nn.Identity()
        self.features = nn.Sequential(
            conv_bn(3, c0, 3, 2),        # 64
            conv_bn(c0, c1, 3, 2),       # 32
            DS(c1, c1),
            conv_bn(c1, c2, 3, 2),       # 16
            DS(c2, c2),
            conv_bn(c2, c3, 3, 2),       # 8
            DS(c3, c3),
            conv_bn(c3, c4, 3, 2),       # 4
            conv_bn(c4, c4, 1),
        )
        self.drop = nn.Dropout(dropout)
        self.fc = nn.Linear(c4, n_cls)

    def logits(self, x):
        x = self.features(self.pool(x))
        x = x.mean(dim=(2, 3))
        return self.fc(self.drop(x))

    def forward(self, x):
        return torch.softmax(self.logits(x), dim=1)


_DET_L = dict(ch=(16, 48, 96, 160, 256), extra=3)
# det_l with one residual block at 1/4 resolution instead of three: the
# depthwise convolutions there are the slowest per multiply-add at the
# library's optimisation level
_DET_LF = dict(_DET_L, extra_s2=1)

DET_ARCHS = {
    "det_s": dict(ch=(8, 16, 32, 48, 64), extra=1),
    "det_m": dict(ch=(16, 32, 64, 96, 128), extra=2),
    "det_l": _DET_L,
    "det_lf": _DET_LF,
    # det_lf with one more residual block (dilation 2) at 1/2 resolution, to
    # keep the ring between touching characters; about 1.1 x det_lf's time
    "det_lfh1": dict(_DET_LF, half_blocks=(2,)),
    # det_lf with nearest-neighbour upsampling in the decoder and at the output
    "det_lfn": dict(_DET_LF, upsample="nearest"),
    # det_lf with nearest-neighbour upsampling in the two finest decoder steps
    # (1/8 -> 1/4 -> 1/2), where the bilinear resizes cost most and where a
    # sharper step keeps touching characters apart; same tensors as det_lf
    "det_lfn2": dict(_DET_LF, upsample=("bilinear", "bilinear", "nearest", "nearest", "bilinear")),
}
# det_lfn2 with the full-resolution sub-pixel head; det_lfn2's weights start it
DET_ARCHS["det_lfn2s"] = dict(DET_ARCHS["det_lfn2"], subpixel=True)
REC_ARCHS = {
    "rec_s": dict(ch=(16, 24, 48, 96, 192)),
    "rec_m": dict(ch=(24, 32, 64, 128, 256)),
    # rec_m on the crop averaged down to 64 x 64: a quarter of the work
    "rec_m_p2": dict(ch=(24, 32, 64, 128, 256), pool_input=2),
}


def make_detector(arch):
    return Detector(**DET_ARCHS[arch])


def make_recogniser(arch):
    return Recogniser(**REC_ARCHS[arch])


def n_params(m):
    return sum(p.numel() for p in m.parameters())


def start_as_identity(blocks):
    """Zero the last batch-norm scale of each residual block: its branch then
    adds nothing, so a trained network grown by these blocks computes what it
    computed before, and fine-tuning starts from there."""
    for b in blocks:
        nn.init.zeros_(b.pw[1].weight)
        nn.init.zeros_(b.pw[1].bias)


def set_pointwise_dilation(model, d):
    """PyTorch 1.13 on CPU runs 1x1 convolutions of small batches on one thread
    through a slow generic-BLAS path; a dilation of 2 (which changes nothing
    for a 1x1 kernel) sends them to oneDNN, about 5x faster.  Training sets
    d=2, export sets d=1 back so the ONNX graph stays plain."""
    for m in model.modules():
        if isinstance(m, nn.Conv2d) and m.kernel_size == (1, 1):
            m.dilation = (d, d)
    return model
