"""Affine-covariant interest regions in grey-level images.

    >>> import numpy, tolvane
    >>> regions = tolvane.detect(numpy.zeros((64, 64), numpy.uint8))
    >>> len(regions), regions.dtype.names[:2]
    (0, ('x', 'y'))

detect() returns a numpy structured array with the fields of region_dtype.
detect_file() turns an image file into the region file `tolvane detect`
writes, and tolvane.dask.detect_files() does that for many files on a Dask
cluster. repeatability() measures how many regions of one view are found
again in another. read_regions() and write_regions() read and write the
tool's region and frame files in every format. Errors the library reports are raised as tolvane.Error, a
ValueError; files that cannot be read or written as OSError.
"""

from ._core import Error, detect, detect_file, read_regions, region_dtype, repeatability, write_regions

__all__ = ["Error", "detect", "detect_file", "read_regions", "region_dtype", "repeatability", "write_regions"]
