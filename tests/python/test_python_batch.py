"""python3 -m keshocr.batch on a local cluster of two workers."""
import json
import os
import shutil
import subprocess
import sys

from conftest import cli_json, images


def batch(*args):
    return subprocess.run([sys.executable, "-m", "keshocr.batch", *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, check=False)


def test_batch_writes_the_cli_lines_and_resumes(tmp_path):
    folder = tmp_path / "images"
    folder.mkdir()
    for path in images():
        shutil.copy(path, folder)
    (folder / "broken.png").write_bytes(b"not a png")
    out = tmp_path / "results.jsonl"

    run = batch(str(folder), "-o", str(out), "--workers", "2", "--threshold", "0.45")
    assert run.returncode == 1, run.stderr  # one image could not be read
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    by_image = {d["image"]: d for d in lines}
    assert len(lines) == len(by_image) == len(images()) + 1
    broken = by_image.pop(str(folder / "broken.png"))
    assert "cannot read an image" in broken["error"]
    assert by_image == cli_json(sorted(by_image), 0.45)

    # Interrupted in the middle of a line: the cut line is dropped and read again.
    text = out.read_text()
    out.write_text(text[:len(text) - 40])
    again = batch(str(folder), "-o", str(out), "--workers", "2", "--threshold", "0.45")
    assert "1 images read" in again.stderr or "0 images read" in again.stderr, again.stderr
    assert sorted(out.read_text().splitlines()) == sorted(text.splitlines())
    # A manifest of the same images reads nothing again.
    manifest = tmp_path / "list.txt"
    manifest.write_text("".join(os.path.join("images", os.path.basename(p)) + "\n" for p in images()))
    assert "0 images read, %d skipped" % len(images()) in batch(str(manifest), "-o", str(out)).stderr
