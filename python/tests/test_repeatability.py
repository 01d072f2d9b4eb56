"""tolvane.repeatability against `tolvane repeatability` on the region files
of two views with a known homography."""

import re

import numpy
import pytest

import tolvane
from conftest import golden_image, run_tool, write_pnm


def shifted(image):
    return image[10:, 25:], [[1, 0, -25], [0, 1, -10], [0, 0, 1]]


def turned(image):
    """A quarter turn counter-clockwise: (x, y) goes to (y, width - 1 - x)."""
    return numpy.rot90(image), [[0, 1, 0], [-1, 0, image.shape[1] - 1], [0, 0, 1]]


def tool_measure(regions_a, regions_b, h_path, size_a, size_b):
    text = run_tool("repeatability", regions_a, regions_b, h_path,
                    "--size-a", "%dx%d" % size_a, "--size-b", "%dx%d" % size_b).stdout
    numbers = re.findall(r"[0-9.]+(?=%?(?:,|\n|$))", text)
    keys = ["regions_a", "regions_b", "common_a", "common_b", "correspondences"]
    return {**dict(zip(keys, map(int, numbers[:5]))), "percent": numbers[5]}


@pytest.mark.parametrize("view", [shifted, turned])
def test_repeatability_equals_the_tool(tmp_path, view):
    image_a = golden_image("camera")
    image_b, h = view(image_a)
    size_a, size_b = image_a.shape[::-1], image_b.shape[::-1]
    numpy.savetxt(tmp_path / "H.txt", numpy.array(h, float))
    paths = {}
    for name, image in {"a": image_a, "b": image_b}.items():
        paths[name] = tmp_path / f"{name}.regions"
        write_pnm(tmp_path / f"{name}.pgm", image)
        tolvane.detect_file(str(tmp_path / f"{name}.pgm"), str(paths[name]))

    measured = tolvane.repeatability(tolvane.detect(image_a), tolvane.detect(image_b), h, size_a, size_b)
    expected = tool_measure(paths["a"], paths["b"], tmp_path / "H.txt", size_a, size_b)
    assert measured["correspondences"] > 0
    assert {key: measured[key] for key in expected if key != "percent"} == {
        key: value for key, value in expected.items() if key != "percent"}
    assert "%.1f" % (100 * measured["repeatability"]) == expected["percent"]


@pytest.mark.parametrize(
    "regions, h, limit",
    [
        (numpy.zeros((3, 4)), numpy.eye(3), 0.4),
        (numpy.array([[5.0, 5.0, 1.0, 2.0, 1.0]]), numpy.eye(3), 0.4),
        (numpy.array([[5.0, 5.0, 1.0, 0.0, 1.0]]), numpy.zeros((3, 3)), 0.4),
        (numpy.array([[5.0, 5.0, 1.0, 0.0, 1.0]]), numpy.eye(2), 0.4),
        (numpy.array([[5.0, 5.0, 1.0, 0.0, 1.0]]), numpy.eye(3), 0.0),
    ],
    ids=["four columns", "not positive definite", "singular", "2x2", "no overlap allowed"],
)
def test_bad_arguments_are_value_errors(regions, h, limit):
    with pytest.raises(ValueError):
        tolvane.repeatability(regions, regions, h, (10, 10), (10, 10), max_overlap_error=limit)
