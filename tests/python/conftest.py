"""Shared fixtures of the Python tests: the package and CLI as installed by the
build's staged install (ctest sets PYTHONPATH and KESHOCR_TEST_CLI)."""
import glob
import json
import os
import subprocess

import pytest

SOURCE = os.environ.get("KESHOCR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


def images():
    """The committed end-to-end images."""
    return sorted(glob.glob(os.path.join(SOURCE, "tests", "data", "e2e", "*.png"))) + \
        [os.path.join(SOURCE, "tests", "data", "lines", "three_rows.jpg")]


def cli_json(paths, threshold):
    """{path: object} as `keshocr --json` prints it."""
    cli = os.environ["KESHOCR_TEST_CLI"]
    out = subprocess.run([cli, "--quiet", "--json", "--threshold", repr(threshold)] + list(paths),
                         check=False, stdout=subprocess.PIPE, text=True).stdout
    return {d["image"]: d for d in map(json.loads, out.splitlines())}


@pytest.fixture(scope="session")
def reader():
    import keshocr
    return keshocr.Reader()
