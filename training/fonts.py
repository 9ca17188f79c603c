"""Font lists for the synthetic generator.

Every path is relative to /usr/share/fonts (Debian font packages, see README.md).
TRAIN_FONTS are used for training; HELD_OUT_FONTS are never shown to a network
during training and are used only for evaluation and for the committed sample
images.  Held-out families were chosen so that no near-copy of them is in the
training list (Liberation/Arimo, Nimbus/FreeSans, DejaVu/Hack are such pairs, so
all of those stay on the training side).
"""
import glob
import os

FONT_ROOT = "/usr/share/fonts"

_TRAIN_GLOBS = [
    "truetype/dejavu/DejaVuSans*.ttf",
    "truetype/dejavu/DejaVuSerif*.ttf",
    "truetype/liberation2/Liberation*.ttf",
    "truetype/croscore/*.ttf",
    "truetype/freefont/Free*.ttf",
    "opentype/urw-base35/C059-*.otf",
    "opentype/urw-base35/NimbusMonoPS-*.otf",
    "opentype/urw-base35/NimbusRoman-*.otf",
    "opentype/urw-base35/NimbusSans-*.otf",
    "opentype/urw-base35/NimbusSansNarrow-*.otf",
    "opentype/urw-base35/P052-*.otf",
    "opentype/urw-base35/URWBookman-*.otf",
    "opentype/urw-base35/Z003-*.otf",
    "truetype/noto/NotoSans-*.ttf",
    "truetype/noto/NotoSansDisplay-*.ttf",
    "truetype/noto/NotoSansMono-*.ttf",
    "truetype/noto/NotoMono-*.ttf",
    "truetype/noto/NotoSerif-*.ttf",
    "truetype/noto/NotoSerifDisplay-*.ttf",
    "truetype/crosextra/Carlito-*.ttf",
    "truetype/roboto/unhinted/RobotoCondensed-*.ttf",
    "truetype/roboto/unhinted/RobotoTTF/Roboto-*.ttf",
    "truetype/open-sans/OpenSans-*.ttf",
    "truetype/firacode/FiraCode-*.ttf",
    "truetype/hack/Hack-*.ttf",
]

_HELD_OUT_GLOBS = [
    "opentype/cantarell/Cantarell-*.otf",
    "truetype/lato/Lato-*.ttf",
    "truetype/oxygen/*.ttf",
    "truetype/inconsolata/Inconsolata.otf",
    "truetype/jetbrains-mono/JetBrainsMono-*.ttf",
    "opentype/urw-base35/URWGothic-*.otf",
    "truetype/crosextra/Caladea-*.ttf",
]

# Condensed and signage faces close to the typefaces of number plates (DIN,
# tall narrow gothics).  Not in the shipped runs' lists: train_rec.py and
# train_det.py add them with --plate-fonts.  None is a near-copy of a
# held-out family.
_PLATE_GLOBS = [
    "truetype/opendin/OSP-DIN.ttf",
    "opentype/bebas-neue/BebasNeue-*.otf",
    "truetype/adf/UniversalisADFStd-*.otf",
    "opentype/b612/B612*.otf",
    "opentype/allerta/allerta_medium.otf",
]

# Road-sign and signage faces: the FHWA highway gothics (series B-E; most
# North American plates are set in them or a near relative), National Park,
# routed gothic and Yanone Kaffeesatz.  Added to the plate faces with
# --plate-fonts road; the plain --plate-fonts keeps the list above.
_ROAD_GLOBS = [
    "truetype/roadgeek/RG2014[BCDE].ttf",
    "truetype/roadgeek/RG2014EM.ttf",
    "opentype/national-park/NationalPark-Heavy.otf",
    "opentype/national-park/NationalPark-Regular.otf",
    "truetype/routed-gothic/routed-gothic.ttf",
    "truetype/routed-gothic/routed-gothic-narrow.ttf",
    "opentype/yanone-kaffeesatz/YanoneKaffeesatz-[BMRS]*.otf",
]
# Square-shouldered and narrow signage faces: Play draws O and 0 as rounded
# rectangles, as the plates of Colorado and Nevada do, squarer than any face
# above; Dosis is narrow with straight-sided round letters; Tiresias (British
# road signs) and OCR-B are plain monoline faces with open shapes.  Added to the
# road-sign faces with --plate-fonts sign.
_SIGN_GLOBS = [
    "opentype/play/Play-*.otf",
    "opentype/dosis/Dosis-Medium.otf",
    "opentype/dosis/Dosis-SemiBold.otf",
    "opentype/dosis/Dosis-Bold.otf",
    "opentype/dosis/Dosis-ExtraBold.otf",
    "truetype/tiresias/tiresias_signfont.ttf",
    "truetype/tiresias/tiresias_signfont_bold.ttf",
    "truetype/tiresias/tiresias_lpfont_bold.ttf",
    "opentype/ocr-b/OCRB.otf",
]
# Square faces: millimetre (a squared grotesque whose O and 0 are the same
# rectangle), OCR-A and the condensed IBM 3270 cuts (octagonal rounds).  The
# zeros and sixes of the narrow plates of Michigan and North Carolina are
# rectangles with barely rounded corners, nearer to these than to any rounded
# face above.  Added to the signage faces with --plate-fonts square.
_SQUARE_GLOBS = [
    "opentype/millimetre/millimetreA*.otf",
    "truetype/ocr-a/OCRA*.ttf",
    "truetype/3270/3270Condensed-Regular.ttf",
    "truetype/3270/3270SemiCondensed-Regular.ttf",
]

# Hairline weights are too thin to survive the degradations at small sizes.
_EXCLUDE_SUBSTR = ["Hairline", "ExtraLight", "-Thin", "Retina"]

# Fonts whose glyphs are only used as clutter (labelled background): non-Latin
# scripts and symbols, so the detector learns that not every glyph is a code.
_CLUTTER_GLOBS = [
    "truetype/noto/NotoSansArabic-Regular.ttf",
    "truetype/noto/NotoSansThai-Regular.ttf",
    "truetype/noto/NotoSansDevanagari-Regular.ttf",
    "truetype/noto/NotoSansHebrew-Regular.ttf",
    "truetype/noto/NotoSansGeorgian-Regular.ttf",
    "truetype/noto/NotoSansArmenian-Regular.ttf",
    "truetype/noto/NotoSansEthiopic-Regular.ttf",
    "truetype/noto/NotoSansTamil-Regular.ttf",
    "truetype/noto/NotoSansBengali-Regular.ttf",
    "truetype/noto/NotoSansKhmer-Regular.ttf",
    "truetype/noto/NotoSansSymbols2-Regular.ttf",
    "truetype/noto/NotoSansSymbols-Regular.ttf",
]


def _expand(globs):
    out = []
    for g in globs:
        for p in sorted(glob.glob(os.path.join(FONT_ROOT, g))):
            rel = os.path.relpath(p, FONT_ROOT)
            if any(s in rel for s in _EXCLUDE_SUBSTR):
                continue
            if rel not in out:
                out.append(rel)
    return out


def train_fonts():
    return [os.path.join(FONT_ROOT, p) for p in _expand(_TRAIN_GLOBS)]


# --plate-fonts' choices: each adds its faces to the one before it
_PLATE_FONT_SETS = {
    "plate": _PLATE_GLOBS,
    "road": _PLATE_GLOBS + _ROAD_GLOBS,
    "sign": _PLATE_GLOBS + _ROAD_GLOBS + _SIGN_GLOBS,
    "square": _PLATE_GLOBS + _ROAD_GLOBS + _SIGN_GLOBS + _SQUARE_GLOBS,
}


PLATE_FONT_CHOICES = list(_PLATE_FONT_SETS)


def plate_fonts(kind="plate"):
    return [os.path.join(FONT_ROOT, p) for p in _expand(_PLATE_FONT_SETS[kind])]


def held_out_fonts():
    return [os.path.join(FONT_ROOT, p) for p in _expand(_HELD_OUT_GLOBS)]


def clutter_fonts():
    return [os.path.join(FONT_ROOT, p) for p in _expand(_CLUTTER_GLOBS)]


if __name__ == "__main__":
    tr, ho, cl, pl = train_fonts(), held_out_fonts(), clutter_fonts(), plate_fonts("sign")
    print(len(tr), "train fonts;", len(ho), "held-out fonts;", len(cl), "clutter fonts;", len(pl), "plate fonts")
    for p in ho:
        print("held-out:", p)
