"""Frames as Kornia's local affine frames and as OpenCV keypoints (through a
stand-in cv2 module that records what it is given)."""

import math
import sys
import types

import numpy
import pytest

import tolvane
from conftest import golden_image


@pytest.mark.parametrize("scale", [1.0, 3.0])
def test_laf_maps_the_circle_of_radius_scale_onto_the_region_ellipse(scale):
    image = golden_image("rocket")
    regions = tolvane.detect(image)
    frames, _, region = tolvane.describe(image, regions, return_regions=True)
    laf = tolvane.to_laf(frames, scale=scale)
    assert laf.dtype == numpy.float32 and laf.shape == frames.shape
    numpy.testing.assert_array_equal(laf[:, :, 2], frames[:, :, 2])
    angles = numpy.linspace(0, 2 * math.pi, 7)
    offsets = numpy.einsum("nij,jk->nik", laf[:, :, :2].astype(float), [numpy.cos(angles), numpy.sin(angles)])
    a, b, c = (regions[field][region][:, None] for field in "abc")
    radius_squared = a * offsets[:, 0] ** 2 + 2 * b * offsets[:, 0] * offsets[:, 1] + c * offsets[:, 1] ** 2
    numpy.testing.assert_allclose(radius_squared, scale ** 2, rtol=1e-4)


class RecordedKeyPoint:
    def __init__(self, *args):
        self.args = args


def test_cv_keypoints_take_centre_size_and_angle_from_the_frame(monkeypatch):
    monkeypatch.setitem(sys.modules, "cv2", types.SimpleNamespace(KeyPoint=RecordedKeyPoint))
    turn = math.radians(120)
    frames = numpy.array([
        [[2.0, 0.0, 10.0], [0.0, 2.0, 20.0]],
        [[3 * math.cos(turn), -3 * math.sin(turn), 5.0], [3 * math.sin(turn), 3 * math.cos(turn), 6.0]],
        [[0.0, 4.0, 1.0], [-1.0, 0.0, 2.0]],
    ], numpy.float32)
    recorded = [keypoint.args for keypoint in tolvane.to_cv_keypoints(frames)]
    numpy.testing.assert_allclose(recorded, [(10, 20, 4, 0), (5, 6, 6, 120), (1, 2, 4, 270)], atol=1e-4)


def test_cv_keypoints_without_cv2_is_an_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "cv2", None)
    with pytest.raises(ImportError, match="cv2"):
        tolvane.to_cv_keypoints(numpy.zeros((1, 2, 3), numpy.float32))
