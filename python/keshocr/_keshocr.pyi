"""Type stubs of the compiled binding; the keshocr package wraps it."""
from typing import List, Tuple

import numpy as np

_Box = List[Tuple[float, float]]
_Character = Tuple[str, float, _Box]
_Line = Tuple[str, List[str], _Box, float, float, float, List[int]]
_Reading = Tuple[List[_Character], List[_Line], int]

def set_console_output(on: bool) -> None: ...

class Reader:
    def __init__(self, model_path: str, use_gpu: bool = False) -> None: ...
    def read_array(self, image: np.ndarray, threshold: float) -> _Reading: ...
    def read_path(self, path: str, threshold: float) -> _Reading: ...
    def version(self) -> str: ...
