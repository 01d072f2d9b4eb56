"""Affine-covariant interest regions in grey-level images.

    >>> import numpy, tolvane
    >>> regions = tolvane.detect(numpy.zeros((64, 64), numpy.uint8))
    >>> len(regions), regions.dtype.names[:2]
    (0, ('x', 'y'))

detect() returns a numpy structured array with the fields of region_dtype.
Errors the library reports are raised as tolvane.Error, a ValueError.
"""

from ._core import Error, detect, region_dtype

__all__ = ["Error", "detect", "region_dtype"]
