"""Affine-covariant interest regions in grey-level images."""

import os
from typing import Literal, Optional, Tuple, TypedDict, Union

import numpy
import numpy.typing

_Image = Union[numpy.typing.NDArray[numpy.uint8], numpy.typing.NDArray[numpy.float32]]

class Error(ValueError):
    """A bad argument or input as the library reports it; a ValueError."""

region_dtype: numpy.dtype
"""Fields of a region: x, y (float32), a, b, c (float64), scale, lap_scale,
response (float32), level, lap_index (int32), shape (float32, 2x2)."""

def imread(path: Union[str, os.PathLike]) -> numpy.typing.NDArray[numpy.uint8]:
    """Reads a PGM, PPM, PNG or JPEG file as a (rows, columns) uint8 array,
    as the tolvane tool reads it (colour made grey, EXIF orientation
    applied). OSError when the file cannot be read, ValueError
    (tolvane.Error) for bad content; the message is the tool's."""

def detect(
    image: _Image,
    detector: Literal["hessian", "harris"] = "hessian",
    threshold: Optional[float] = None,
    iterations: int = 16,
    max_regions: Optional[int] = None,
    threads: int = 0,
    mode: Literal["exact", "refined"] = "exact",
    upsample: bool = False,
) -> numpy.ndarray:
    """Detects the affine-covariant regions of a (rows, columns) or
    (rows, columns, 3) uint8 or float32 image; one row of region_dtype per
    region. TypeError for another dtype, ValueError for a wrong shape or
    setting. The GIL is released while the detector runs."""

def describe(
    image: _Image,
    regions: numpy.ndarray,
    descriptor: Literal["sift", "rootsift", "none"] = "sift",
    upright: bool = False,
    mr_size: float = 3.0,
    *,
    return_regions: bool = False,
    patch_size: Optional[int] = None,
    threads: int = 0,
) -> Tuple[numpy.ndarray, ...]:
    """Oriented frames and descriptors of regions (as detect() returns them):
    (frames (N, 2, 3) float32 [[a11, a12, x], [a21, a22, y]], descriptors
    (N, 128) uint8), then with return_regions the index of each frame's
    region (N,) and with a patch_size the patches (N, patch_size, patch_size)
    uint8. A region has one frame per dominant orientation unless upright.
    The GIL is released."""

def match(
    d1: numpy.typing.NDArray[numpy.uint8],
    d2: numpy.typing.NDArray[numpy.uint8],
    ratio: float = 0.8,
    mutual: bool = True,
    *,
    threads: int = 0,
) -> Tuple[numpy.typing.NDArray[numpy.intp], numpy.typing.NDArray[numpy.float32]]:
    """Nearest neighbours in d2 of the rows of d1 by Euclidean distance, with
    the ratio test and the mutual check: ((M, 2) indices into d1 and d2,
    (M,) distances). TypeError unless both are 2-D uint8 arrays. The GIL is
    released."""

def verify(
    frames1: numpy.typing.ArrayLike,
    frames2: numpy.typing.ArrayLike,
    matches: numpy.typing.ArrayLike,
    model: Literal["homography", "fundamental"] = "homography",
    max_error: float = 1.5,
) -> Tuple[Optional[numpy.typing.NDArray[numpy.float64]], numpy.typing.NDArray[numpy.bool_]]:
    """The model (3x3, first image to second; None when none is found) that
    most matched frame centres agree with to within max_error pixels, fitted
    as `tolvane match` fits it, and the (M,) inlier mask."""

def detect_file(
    image: str,
    output: str,
    detector: Literal["hessian", "harris"] = "hessian",
    threshold: float = 1000.0,
    iterations: int = 16,
    threads: int = 1,
    format: Literal["ellipse", "legacy", "csv", "json"] = "ellipse",
) -> int:
    """Detects the regions of an image file into the region file
    `tolvane detect IMAGE -o OUTPUT` writes, atomically; the number of
    regions. OSError with the tool's message when a file cannot be read or
    written, ValueError for a wrong setting. The GIL is released."""

class Repeatability(TypedDict):
    repeatability: float
    correspondences: int
    regions_a: int
    regions_b: int
    common_a: int
    common_b: int

def repeatability(
    regions_a: numpy.ndarray,
    regions_b: numpy.ndarray,
    H: numpy.typing.ArrayLike,
    size_a: Tuple[int, int],
    size_b: Tuple[int, int],
    max_overlap_error: float = 0.4,
) -> Repeatability:
    """How many regions of image A (fields x, y, a, b, c, or (N, 5) rows) are
    found again in image B, with H mapping A to B and sizes (width, height):
    the measure of `tolvane repeatability`. ValueError for bad arguments."""

Frames = Tuple[numpy.typing.NDArray[numpy.float32], numpy.typing.NDArray[numpy.uint8]]

def read_regions(path: str) -> Union[numpy.ndarray, Frames]:
    """Reads a region or frame file of any format the tool writes, recognised
    from the content (the legacy listing is refused): for a region file one
    row of region_dtype per region; for a frame file (frames (N, 2, 3)
    float32 [[a11, a12, x], [a21, a22, y]], descriptors (N, length) uint8).
    OSError when the file cannot be opened, ValueError for bad content."""

def write_regions(
    path: str,
    regions: Union[numpy.ndarray, Frames],
    format: Literal["ellipse", "legacy", "csv", "json", "binary", "opencv"] = "ellipse",
    image_size: Tuple[int, int] = (0, 0),
) -> None:
    """Writes regions (region_dtype rows) or a (frames, descriptors) pair in a
    format of the tool, atomically; image_size (width, height) is recorded by
    JSON and OpenCV files. OSError when the file cannot be written, ValueError
    for an unknown format or wrong shapes."""
