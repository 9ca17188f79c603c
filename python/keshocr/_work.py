"""What a batch worker runs: a module of its own so that Dask sends the
functions by name, and each worker process imports them (and keeps its
readers) once."""
import json
import threading
from typing import Dict, List, Optional, Tuple

_local = threading.local()


def _reader(model: Optional[str]):
    """This worker thread's Reader for `model`, loaded on first use."""
    from . import Reader
    readers: Dict[Optional[str], Reader] = getattr(_local, "readers", None) or {}
    _local.readers = readers
    if model not in readers:
        readers[model] = Reader(model)
    return readers[model]


def read_paths(paths: List[str], model: Optional[str], threshold: float) -> List[Tuple[str, bool]]:
    """(JSON line, read) per path: the line as ``keshocr --json`` prints it, or an
    error line ({"image": path, "error": why}) for an image that cannot be read."""
    reader = _reader(model)
    lines = []
    for path in paths:
        try:
            d, ok = reader.read(path, threshold).to_dict(image=path), True
        except Exception as e:  # one bad image must not stop the batch
            d, ok = {"image": path, "error": "%s: %s" % (type(e).__name__, e)}, False
        lines.append((json.dumps(d, separators=(",", ":")), ok))
    return lines
