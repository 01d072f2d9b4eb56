"""Shared helpers of the Python tests: the tool as a process, images from
the pinned test images, and region tables from the tool's CSV output."""

import csv
import io
import os
import subprocess
from pathlib import Path

import numpy
import pytest

GOLDEN_DIR = Path(os.environ.get("TOLVANE_GOLDEN_DIR", Path(__file__).resolve().parents[2] / "tests" / "golden"))


def run_tool(*args, status=0):
    """Runs the tolvane tool, failing the test when it exits with another status."""
    tool = os.environ.get("TOLVANE_EXE")
    if not tool:
        pytest.skip("TOLVANE_EXE names no tolvane tool")
    result = subprocess.run([tool, *map(str, args)], capture_output=True, text=True, check=False)
    assert result.returncode == status, result.stderr
    return result


def read_pgm(path):
    """The pixels of a binary 8-bit PGM file without comments."""
    data = Path(path).read_bytes()
    magic, width, height = data.split(maxsplit=3)[:3]
    assert magic == b"P5"
    width, height = int(width), int(height)
    return numpy.frombuffer(data[-width * height :], numpy.uint8).reshape(height, width).copy()


def write_pnm(path, image):
    """Writes a uint8 image as binary PGM (2-D) or PPM (rows, columns, 3)."""
    magic = b"P5" if image.ndim == 2 else b"P6"
    header = b"%s\n%d %d\n255\n" % (magic, image.shape[1], image.shape[0])
    Path(path).write_bytes(header + numpy.ascontiguousarray(image, numpy.uint8).tobytes())


def golden_image(name):
    return read_pgm(GOLDEN_DIR / f"{name}.pgm")


def colour_of(grey):
    """A colour image whose channels differ, made from a grey one."""
    grey = grey.astype(numpy.int32)
    return numpy.stack([grey, (grey * 7 + 40) % 256, 255 - grey], axis=-1).astype(numpy.uint8)


def tool_regions(image_path, *options):
    """The regions `tolvane detect --format csv` gives, as a list of dicts;
    regions without an ellipse (singular shape) are left out, as the
    library leaves them out."""
    rows = csv.DictReader(io.StringIO(run_tool("detect", "--format", "csv", *options, image_path).stdout))
    return [row for row in rows if row["a"]]
