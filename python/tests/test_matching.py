"""imread, describe, match and verify: the tool's numbers on the same files,
and bad arguments as Python exceptions."""

import csv
import io

import numpy
import pytest

import tolvane
from conftest import GOLDEN_DIR, golden_image, run_tool, tool_regions, write_pnm


@pytest.mark.parametrize("options, tool_options", [
    ({}, ["--descriptor=sift"]),
    ({"upright": True, "descriptor": "rootsift", "mr_size": 5.0}, ["--upright", "--descriptor=rootsift", "--mr-size=5"]),
])
def test_describe_equals_the_tool(tmp_path, options, tool_options):
    image = tolvane.imread(GOLDEN_DIR / "rocket.pgm")
    rows = tool_regions(GOLDEN_DIR / "rocket.pgm", *tool_options, "--patches", tmp_path / "p.png", "--patch-size=8")

    frames, descriptors, region, patches = tolvane.describe(image, tolvane.detect(image), **options,
                                                            return_regions=True, patch_size=8)
    assert len(frames) == len(rows) > 0
    assert descriptors.shape == (len(rows), 128) and patches.shape == (len(rows), 8, 8)
    numpy.testing.assert_array_equal(region, [int(row["region"]) for row in rows])
    numpy.testing.assert_array_equal(descriptors, [[int(row[f"d{k}"]) for k in range(128)] for row in rows])
    expected = [[[float(row[k]) for k in keys] for keys in (("a11", "a12", "x"), ("a21", "a22", "y"))] for row in rows]
    numpy.testing.assert_allclose(frames, expected, rtol=1e-5, atol=1e-5)
    numpy.testing.assert_array_equal(patches.reshape(-1, 8), tolvane.imread(tmp_path / "p.png"))


def test_match_and_verify_equal_the_tool_and_recover_the_turn(tmp_path):
    image_a = golden_image("camera")
    image_b = numpy.rot90(image_a)[20:, 30:]  # (x, y) goes to (y - 30, width - 1 - x - 20)
    truth = numpy.array([[0, 1, -30], [-1, 0, image_a.shape[1] - 1 - 20], [0, 0, 1]], float)
    for name, image in {"a": image_a, "b": image_b}.items():
        write_pnm(tmp_path / f"{name}.pgm", image)
    rows = list(csv.DictReader(io.StringIO(run_tool("match", "--mutual", tmp_path / "a.pgm", tmp_path / "b.pgm").stdout)))

    frames_a, descriptors_a = tolvane.describe(image_a, tolvane.detect(image_a))
    frames_b, descriptors_b = tolvane.describe(image_b, tolvane.detect(image_b))
    pairs, distances = tolvane.match(descriptors_a, descriptors_b)
    model, inliers = tolvane.verify(frames_a, frames_b, pairs)
    numpy.testing.assert_array_equal(pairs, [[int(row["a"]), int(row["b"])] for row in rows])
    numpy.testing.assert_allclose(distances, [float(row["distance"]) for row in rows], rtol=1e-5)
    numpy.testing.assert_array_equal(inliers, [row["inlier"] == "1" for row in rows])
    assert inliers.sum() > len(pairs) / 2 > 40
    corners = numpy.array([[0, 0, 1], [511, 0, 1], [0, 511, 1], [511, 511, 1]], float).T
    mapped, expected = model @ corners, truth @ corners
    numpy.testing.assert_allclose(mapped[:2] / mapped[2], expected[:2], atol=2.0)


def test_verify_without_enough_matches_finds_no_model():
    frames = numpy.zeros((3, 2, 3), numpy.float32)
    model, inliers = tolvane.verify(frames, frames, [[0, 0], [1, 1], [2, 2]])
    assert model is None and inliers.tolist() == [False] * 3


IMAGE = numpy.zeros((32, 32), numpy.uint8)
FRAMES = numpy.zeros((4, 2, 3), numpy.float32)
DESCRIPTORS = numpy.zeros((4, 128), numpy.uint8)
CALLS = {
    "regions of another dtype": (lambda: tolvane.describe(IMAGE, numpy.zeros((3, 5))), TypeError),
    "unknown descriptor": (lambda: tolvane.describe(IMAGE, tolvane.detect(IMAGE), "orb"), ValueError),
    "measurement region 0": (lambda: tolvane.describe(IMAGE, tolvane.detect(IMAGE), mr_size=0), tolvane.Error),
    "region without ellipse": (
        lambda: tolvane.describe(IMAGE, numpy.zeros(1, tolvane.region_dtype)), tolvane.Error),
    "float descriptors": (lambda: tolvane.match(DESCRIPTORS.astype(float), DESCRIPTORS), TypeError),
    "lengths differ": (lambda: tolvane.match(DESCRIPTORS, DESCRIPTORS[:, :64]), tolvane.Error),
    "ratio above 1": (lambda: tolvane.match(DESCRIPTORS, DESCRIPTORS, ratio=1.5), tolvane.Error),
    "unknown model": (lambda: tolvane.verify(FRAMES, FRAMES, [[0, 0]], model="affine"), ValueError),
    "index outside the frames": (lambda: tolvane.verify(FRAMES, FRAMES, [[0, 4]]), IndexError),
    "negative index": (lambda: tolvane.verify(FRAMES, FRAMES, [[-1, 0]]), IndexError),
    "float indices": (lambda: tolvane.verify(FRAMES, FRAMES, [[0.5, 0]]), ValueError),
    "frames of two columns": (lambda: tolvane.verify(FRAMES[:, :, :2], FRAMES, [[0, 0]]), ValueError),
}


@pytest.mark.parametrize("call", CALLS, ids=list(CALLS))
def test_bad_arguments_are_python_exceptions(call):
    function, error = CALLS[call]
    with pytest.raises(error):
        function()


def test_imread_reads_as_the_tool_and_fails_with_its_message(tmp_path):
    numpy.testing.assert_array_equal(tolvane.imread(str(GOLDEN_DIR / "coffee.pgm")), golden_image("coffee"))
    (tmp_path / "short.pgm").write_bytes(b"P5 10 10 255\n\0")
    for name, error in {"missing.pgm": OSError, "short.pgm": ValueError}.items():
        message = run_tool("detect", tmp_path / name, status=1).stderr.strip()
        with pytest.raises(error) as raised:
            tolvane.imread(tmp_path / name)
        assert f"tolvane: {raised.value}" == message
