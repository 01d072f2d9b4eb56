"""Detection over many image files with dask.distributed.

    >>> from distributed import Client
    >>> from tolvane.dask import detect_files
    >>> with Client() as client:                    # a LocalCluster on this machine
    ...     summary = detect_files(paths, "regions", client=client)
    >>> print(summary)
    20 images, 0 failed, 14650 regions, 2.1 seconds

Each image becomes one region file in the output folder, named and written
byte for byte as `tolvane detect --out-dir` names and writes it, with the
tool's own image reading and region writers (tolvane.detect_file).
"""

import contextlib
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import List, Optional, Tuple

import distributed
import numpy

from . import _core

EXTENSIONS = {"ellipse": ".regions", "legacy": ".txt", "csv": ".csv", "json": ".json"}


@dataclass
class Summary:
    """What detect_files() did."""

    images: int = 0
    """Images given."""
    skipped: int = 0
    """Images whose region file was there already: not detected again."""
    failed: List[Tuple[str, str]] = field(default_factory=list)
    """(image, reason) of every image that could not be processed."""
    regions: int = 0
    """Regions written in this call."""
    seconds: float = 0.0
    """Wall-clock time of the call."""

    def __str__(self):
        line = f"{self.images} images, {len(self.failed)} failed, {self.regions} regions, {self.seconds:.1f} seconds"
        return line + (f", {self.skipped} already done" if self.skipped else "")


def output_paths(paths, out_dir, format="ellipse"):
    """The region file of each image: its name without extension, with the
    format's extension, in out_dir. ValueError when two images would write
    the same file."""
    if format not in EXTENSIONS:
        raise ValueError(f"unknown format '{format}' (use {', '.join(EXTENSIONS)})")
    outputs = [str(Path(out_dir) / (Path(path).stem + EXTENSIONS[format])) for path in paths]
    seen = set()
    for output in outputs:
        if output in seen:
            raise ValueError(f"two images would both be written to {output}")
        seen.add(output)
    return outputs


def _detect_into(image, output, options):
    """Runs on a worker: the number of regions, or the reason of a failure."""
    try:
        return _core.detect_file(image, output, **options), None
    except (OSError, ValueError) as error:
        return None, str(error)


def _check_options(options):
    """Raises ValueError or TypeError for settings no image could run with,
    before anything is submitted."""
    unknown = set(options) - {"detector", "threshold", "iterations", "threads"}
    if unknown:
        raise TypeError(f"unknown option(s): {', '.join(sorted(unknown))}")
    _core.detect(numpy.zeros((1, 1), numpy.uint8), **{"threads": 1, **options})


def detect_files(paths, out_dir, client: Optional["distributed.Client"] = None, format="ellipse", **options):
    """Detects the regions of image files on a Dask cluster, one region file
    per image in out_dir.

    paths: image files (PGM, PPM, PNG, JPEG). out_dir: the folder for the
    region files, made when missing. client: a dask.distributed Client; None
    uses the current one, or a LocalCluster made for this call. format:
    "ellipse" (default), "legacy", "csv" or "json". options: detector,
    threshold, iterations as for tolvane.detect, and threads per image
    (default 1: the cluster's workers run the images side by side).

    The files are those `tolvane detect --out-dir out_dir` writes, each
    written atomically; an image whose region file exists already is skipped,
    so that a stopped batch can be run again. An image that fails is
    recorded in the summary and never stops the others. Returns a Summary.
    """
    start = time.perf_counter()
    paths = [str(path) for path in paths]
    outputs = output_paths(paths, out_dir, format)
    _check_options(options)
    Path(out_dir).mkdir(parents=True, exist_ok=True)
    todo = [(image, output) for image, output in zip(paths, outputs) if not Path(output).exists()]
    summary = Summary(images=len(paths), skipped=len(paths) - len(todo))
    if todo:
        with _client_for(client) as running:
            _run(running, todo, {"threads": 1, **options, "format": format}, summary)
    summary.seconds = time.perf_counter() - start
    return summary


def _client_for(client):
    """The client given, else the current one, else a LocalCluster's made for
    this call and closed after it."""
    if client is None:
        try:
            client = distributed.get_client()
        except ValueError:
            return distributed.Client()
    return contextlib.nullcontext(client)


def _run(client, todo, settings, summary):
    images = [image for image, _ in todo]
    futures = client.map(_detect_into, images, [output for _, output in todo], options=settings, pure=False)
    image_of = {future.key: image for future, image in zip(futures, images)}
    for future in distributed.as_completed(futures):
        image = image_of[future.key]
        try:
            regions, reason = future.result()
        except Exception as error:  # a worker lost or killed: that image failed
            regions, reason = None, f"{type(error).__name__}: {error}"
        if reason is None:
            summary.regions += regions
        else:
            summary.failed.append((image, reason))
