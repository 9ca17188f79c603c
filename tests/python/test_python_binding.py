"""The keshocr Python package against the C++ library and its CLI."""
import os
import threading

import cv2
import numpy as np
import pytest

import keshocr
from conftest import cli_json, images


def test_results_equal_the_cli_field_by_field(reader):
    paths = images()
    want = cli_json(paths, 0.45)
    assert len(want) == len(paths)
    for path in paths:
        got = reader.read(path, threshold=0.45).to_dict(image=path)
        assert got == want[path], path
        # An array as cv2.imread gives it reads the same as its path.
        assert reader.read(cv2.imread(path), 0.45).to_dict(image=path) == got
    three = reader.read(paths[-1], 0.45)
    assert three.main_code == "HJHEV" and [ln.text for ln in three.lines] == ["6078", "712", "HJHEV"]


def test_bad_images_raise_with_what_was_expected(reader):
    image = cv2.imread(images()[0])
    for bad, words in [(image.astype(np.float32), "uint8"), (image[:, :, :2], "shape"), (image[..., 0], "shape"),
                       (image[:, ::2], "C-contiguous"), (np.zeros((0, 4, 3), np.uint8), "empty")]:
        with pytest.raises(ValueError, match=words):
            reader.read(bad)
    with pytest.raises(TypeError):
        reader.read([[1, 2, 3]])
    with pytest.raises(ValueError, match="cannot read an image"):
        reader.read(os.path.join(os.path.dirname(__file__), "conftest.py"))


def test_bad_packages_raise_the_library_message(tmp_path):
    with pytest.raises(FileNotFoundError):
        keshocr.Reader(str(tmp_path / "missing.pkg"))
    with pytest.raises(RuntimeError, match="not a regular file"):
        keshocr.Reader("/dev/zero")
    junk = tmp_path / "junk.pkg"
    junk.write_bytes(b"QX-DNNMODEL but nothing else")
    with pytest.raises(RuntimeError, match="InvalidModel"):
        keshocr.Reader(str(junk))


def test_threads_read_as_one_thread_does(reader):
    paths = images()
    want = [reader.read(p, 0.45).to_dict() for p in paths]
    got = {}

    def work(name, r):
        got[name] = [r.read(p, 0.45).to_dict() for p in paths]

    own = [threading.Thread(target=work, args=(k, keshocr.Reader())) for k in range(2)]
    shared = [threading.Thread(target=work, args=("shared%d" % k, reader)) for k in range(2)]
    for t in own + shared:
        t.start()
    for t in own + shared:
        t.join()
    assert all(v == want for v in got.values()) and len(got) == 4


def test_version():
    assert keshocr.__version__ == "1.9.0"
    assert keshocr.Reader().version().startswith("Version: 1.9.0\nModel MD5: ")
