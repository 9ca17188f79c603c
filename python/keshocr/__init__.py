"""KeshOCR from Python: reads short printed codes (plates, serials, labels) in images.

    import cv2, keshocr
    reader = keshocr.Reader()                      # the shipped model package
    reading = reader.read(cv2.imread("plate.jpg"), threshold=0.45)
    print(reading.main_code)                       # "ABC1234"
    for line in reading.lines:
        print(line.text, line.words, line.box)

Threads: a read releases the GIL, so threads that each have their own Reader
read in parallel. One Reader used from several threads at once is serialised:
its reads take turns, never overlap. Batch reading of a folder on a Dask
cluster: ``python3 -m keshocr.batch --help``.

Importing the package silences the library's own console lines (the package
header that Init prints and the detector's time per image) so that they do not
mix with the program's standard output; ``set_console_output(True)`` restores
them.
"""
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np

from . import _keshocr

__version__ = "1.9.0"
__all__ = ["Reader", "Reading", "Character", "Line", "default_model", "set_console_output", "__version__"]

Point = Tuple[float, float]


def set_console_output(on: bool) -> None:
    """Lets the library's console lines reach standard output again (True) or not."""
    _keshocr.set_console_output(bool(on))


def default_model() -> str:
    """Path of the model package shipped with KeshOCR: installed under
    PREFIX/share/keshocr, or in the source tree of a build that was not installed."""
    here = os.path.dirname(os.path.abspath(__file__))
    # PREFIX/lib/python3.X/dist-packages/keshocr -> PREFIX/share/keshocr
    installed = os.path.normpath(os.path.join(here, "..", "..", "..", "..", "share", "keshocr",
                                              "keshocr-default.pkg"))
    if os.path.isfile(installed):
        return installed
    try:
        from ._build import SOURCE_MODEL  # written into the build tree only
    except ImportError:
        SOURCE_MODEL = None
    if SOURCE_MODEL and os.path.isfile(SOURCE_MODEL):
        return SOURCE_MODEL
    raise FileNotFoundError("the shipped model package was not found (looked for %s); pass model_path" % installed)


@dataclass
class Character:
    """One character: its text, the recogniser's score and its four corners in
    image pixels (top-left, top-right, bottom-right, bottom-left)."""
    text: str
    score: float
    box: List[Point]


@dataclass
class Line:
    """One text line: its characters left to right with no spaces, the same split
    into words at wide gaps, a four-corner box, the median character height, the
    mean and lowest score, and the indices of its characters in Reading.characters."""
    text: str
    words: List[str]
    box: List[Point]
    height: float
    mean_score: float
    min_score: float
    characters: List[int]


@dataclass
class Reading:
    """What one image holds. ``characters`` are every box the library read, ordered
    by the x of their top-left corner; ``lines`` (top to bottom) and ``main_code``
    (the line of the tallest characters, "" when none) use only the characters whose
    score is above ``threshold``."""
    characters: List[Character]
    lines: List[Line]
    main_line: Optional[int]
    threshold: float
    main_code: str = field(init=False)

    def __post_init__(self) -> None:
        self.main_code = self.lines[self.main_line].text if self.main_line is not None else ""

    def to_dict(self, image: Optional[str] = None) -> Dict[str, Any]:
        """The fields of ``keshocr --json`` (``image`` first when given)."""
        d: Dict[str, Any] = {} if image is None else {"image": image}
        d.update(text=self.main_code, main_code=self.main_code, main_line=self.main_line,
                 lines=[dict(text=ln.text, words=list(ln.words), box=[list(p) for p in ln.box], height=ln.height,
                             mean_score=ln.mean_score, min_score=ln.min_score, characters=list(ln.characters))
                        for ln in self.lines],
                 characters=[dict(text=c.text, score=c.score, below_threshold=not (c.score > self.threshold),
                                  box=[list(p) for p in c.box]) for c in self.characters])
        return d


class Reader:
    """A KeshOCR pipeline with its networks loaded once.

    ``model_path``: a model package; None takes the shipped default package.
    ``use_gpu``: run the networks with ONNX Runtime's CUDA provider where the
    runtime has it (falls back to the CPU with a warning).

    Raises FileNotFoundError when the package does not exist and RuntimeError,
    with the library's reason, when it cannot be used.

    Reads release the GIL. Threads with a Reader each run in parallel; calls on
    one Reader from several threads are serialised (they wait for each other).
    """

    def __init__(self, model_path: Optional[Union[str, os.PathLike]] = None, use_gpu: bool = False) -> None:
        path = default_model() if model_path is None else os.fspath(model_path)
        if not os.path.exists(path):
            raise FileNotFoundError("model package '%s' does not exist" % path)
        self.model_path = path
        self._reader = _keshocr.Reader(path, bool(use_gpu))

    def read(self, image: Union[np.ndarray, str, os.PathLike], threshold: float = 0.0) -> Reading:
        """Reads one image: a uint8 NumPy array of shape (H, W, 3) in BGR order, C-contiguous
        (what cv2.imread returns), or the path of an image file. Characters whose score
        is not above ``threshold`` stay in ``characters`` but take no part in the lines
        and the main code (0.45 is the shipped package's recommended threshold).

        Raises ValueError for an array of another dtype, shape or memory layout and for a
        file that is not an image, TypeError for anything else."""
        threshold = float(threshold)
        if isinstance(image, (str, os.PathLike)):
            raw = self._reader.read_path(os.fspath(image), threshold)
        elif isinstance(image, np.ndarray):
            raw = self._reader.read_array(image, threshold)
        else:
            raise TypeError("image must be a numpy.ndarray (H x W x 3, uint8, BGR) or a path, got %s"
                            % type(image).__name__)
        chars, lines, main_line = raw
        return Reading(characters=[Character(t, s, [tuple(p) for p in b]) for t, s, b in chars],
                       lines=[Line(t, list(w), [tuple(p) for p in b], h, ms, mn, list(ix))
                              for t, w, b, h, ms, mn, ix in lines],
                       main_line=None if main_line < 0 else main_line, threshold=threshold)

    def version(self) -> str:
        """The library's version report: version, MD5 of the loaded package, build date."""
        return self._reader.version()
