"""read_regions() and write_regions(): every format written reads back with
the same numbers, and files the tool writes read as the tool wrote them."""

import numpy
import pytest

import tolvane
from conftest import GOLDEN_DIR, golden_image, run_tool


def test_every_format_reads_back_the_numbers_written(tmp_path):
    regions = tolvane.detect(golden_image("camera"))
    assert len(regions) > 100
    for fmt in ["ellipse", "csv", "json"]:
        path = tmp_path / f"regions.{fmt}"
        tolvane.write_regions(str(path), regions, format=fmt, image_size=(512, 512))
        back = tolvane.read_regions(str(path))
        fields = ["x", "y", "a", "b", "c"] if fmt == "ellipse" else list(regions.dtype.names)
        for field in fields:
            numpy.testing.assert_array_equal(back[field], regions[field], err_msg=f"{fmt} {field}")
    tolvane.write_regions(str(tmp_path / "legacy.txt"), regions, format="legacy")
    with pytest.raises(ValueError, match="records no region size"):
        tolvane.read_regions(str(tmp_path / "legacy.txt"))

    # Frames the tool describes, through every frame format.
    binary = tmp_path / "camera.frames"
    run_tool("detect", "--descriptor", "sift", "--format", "binary", "-o", binary, GOLDEN_DIR / "camera.pgm")
    frames, descriptors = tolvane.read_regions(str(binary))
    assert frames.shape == (len(descriptors), 2, 3) and descriptors.shape[1] == 128
    for fmt in ["ellipse", "csv", "json", "binary", "opencv"]:
        path = tmp_path / f"frames.{fmt}"
        tolvane.write_regions(str(path), (frames, descriptors), format=fmt)
        back_frames, back_descriptors = tolvane.read_regions(str(path))
        numpy.testing.assert_array_equal(back_descriptors, descriptors, err_msg=fmt)
        # The ellipse format keeps the centre and the ellipse, not the rotation.
        compared = (slice(None), slice(None), 2) if fmt == "ellipse" else Ellipsis
        numpy.testing.assert_array_equal(back_frames[compared], frames[compared], err_msg=fmt)
    assert (tmp_path / "frames.binary").read_bytes() == binary.read_bytes()
