"""Frames in the conventions of Kornia and OpenCV."""

import math
from typing import Any, List

import numpy
import numpy.typing


def _frame_array(frames: numpy.typing.ArrayLike) -> numpy.ndarray:
    array = numpy.asarray(frames)
    if array.ndim != 3 or array.shape[1:] != (2, 3):
        raise ValueError(f"frames must have the shape (frames, 2, 3), got {array.shape}")
    return array


def to_laf(frames: numpy.typing.ArrayLike, scale: float = 1.0) -> numpy.typing.NDArray[numpy.float32]:
    """Local affine frames in Kornia's convention, (N, 2, 3) float32.

    A Kornia LAF [[a11, a12, x], [a21, a22, y]] is the map p = (x, y) + A u
    of a patch's coordinates u onto the image, its 2x2 part A including the
    scale: the unit circle |u| = 1 maps onto the region's ellipse exactly
    when A A^T = [[a, b], [b, c]]^-1 for the ellipse
    (p - (x, y))^T [[a, b], [b, c]] (p - (x, y)) = 1, which is how Kornia
    turns an ellipse into a LAF. describe()'s frames are such maps already,
    in input pixels with x the column and y the row, so with scale=1 the
    LAFs are the frames as float32 and each LAF's unit circle is its
    region's ellipse.

    Kornia samples a LAF's patch over the square [-1, 1]^2 of u; scale
    multiplies A, so that scale=mr_size (the value given to describe())
    gives LAFs whose patches cover the square the descriptors cover.

    Add the batch axis for Kornia: torch.from_numpy(to_laf(frames))[None].
    """
    laf = numpy.array(_frame_array(frames), dtype=numpy.float32)
    laf[:, :, :2] *= numpy.float32(scale)
    return laf


def to_cv_keypoints(frames: numpy.typing.ArrayLike) -> List[Any]:
    """The frames as a list of cv2.KeyPoint, one per frame, in order.

    pt is the frame's centre (x, y). size is the diameter of the circle with
    the area of the region's ellipse, 2 sqrt(|det A|) for the frame's 2x2
    part A (the descriptor covers mr_size times that). angle is the
    direction of the frame's first column (a11, a21) in degrees in
    [0, 360), measured from +x towards +y (clockwise on screen, y pointing
    down), as OpenCV measures keypoint angles. The ellipse's elongation is
    lost: a KeyPoint is a circle.

    Raises ImportError when OpenCV's Python module cv2 cannot be imported.
    """
    array = _frame_array(frames).astype(numpy.float64)
    try:
        import cv2
    except ImportError as error:
        raise ImportError("to_cv_keypoints needs OpenCV's Python module cv2, which cannot be imported: "
                          f"{error}") from error
    keypoints = []
    for (a11, a12, x), (a21, a22, y) in array:
        size = 2.0 * math.sqrt(abs(a11 * a22 - a12 * a21))
        angle = math.degrees(math.atan2(a21, a11)) % 360.0
        keypoints.append(cv2.KeyPoint(float(x), float(y), size, angle))
    return keypoints
