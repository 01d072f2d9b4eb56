"""Affine-covariant interest regions in grey-level images."""

from typing import Literal, Optional, Tuple, TypedDict, Union

import numpy
import numpy.typing

class Error(ValueError):
    """A bad argument or input as the library reports it; a ValueError."""

region_dtype: numpy.dtype
"""Fields of a region: x, y (float32), a, b, c (float64), scale, lap_scale,
response (float32), level, lap_index (int32), shape (float32, 2x2)."""

def detect(
    image: numpy.typing.NDArray[numpy.uint8] | numpy.typing.NDArray[numpy.float32],
    detector: Literal["hessian", "harris"] = "hessian",
    threshold: Optional[float] = None,
    iterations: int = 16,
    max_regions: Optional[int] = None,
    threads: int = 0,
    mode: Literal["exact", "refined"] = "exact",
) -> numpy.ndarray:
    """Detects the affine-covariant regions of a (rows, columns) or
    (rows, columns, 3) uint8 or float32 image; one row of region_dtype per
    region. TypeError for another dtype, ValueError for a wrong shape or
    setting. The GIL is released while the detector runs."""

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
