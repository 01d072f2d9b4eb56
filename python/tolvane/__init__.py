"""Affine-covariant interest regions in grey-level images.

    >>> import numpy, tolvane
    >>> regions = tolvane.detect(numpy.zeros((64, 64), numpy.uint8))
    >>> len(regions), regions.dtype.names[:2]
    (0, ('x', 'y'))

imread() reads an image file as the tolvane tool does. detect() returns a
numpy structured array with the fields of region_dtype; describe() gives
the regions' oriented frames and descriptors, match() pairs descriptors of
two images and verify() fits the homography or fundamental matrix the pairs
agree with. to_laf() and to_cv_keypoints() turn frames into Kornia's local
affine frames and OpenCV's keypoints. detect_file() turns an image file into
the region file `tolvane detect` writes, and tolvane.dask.detect_files()
does that for many files on a Dask cluster. repeatability() measures how
many regions of one view are found again in another. Errors the library
reports are raised as tolvane.Error, a ValueError; files that cannot be read
or written as OSError.
"""

from ._core import Error, describe, detect, detect_file, imread, match, region_dtype, repeatability, verify
from .interop import to_cv_keypoints, to_laf

__all__ = ["Error", "describe", "detect", "detect_file", "imread", "match", "region_dtype", "repeatability",
           "to_cv_keypoints", "to_laf", "verify"]
