"""tolvane.detect on numpy arrays: the tool's numbers, every input layout,
errors as Python exceptions, and detection off the GIL."""

import re
import threading
import time
from pathlib import Path

import numpy
import pytest

import tolvane
from conftest import GOLDEN_DIR, colour_of, golden_image, run_tool, tool_regions, write_pnm

FLOAT_FIELDS = {"x": "x", "y": "y", "response": "response", "scale": "scale", "lapScale": "lap_scale"}
DOUBLE_FIELDS = {"a": "a", "b": "b", "c": "c"}
INT_FIELDS = {"level": "level", "lapIndex": "lap_index"}
SHAPE_ENTRIES = {"mi11": [(0, 0)], "mi12": [(0, 1), (1, 0)], "mi22": [(1, 1)]}


def assert_same_as_tool(regions, tool_rows):
    assert len(regions) == len(tool_rows)
    for region, row in zip(regions, tool_rows):
        for column, field in FLOAT_FIELDS.items():
            assert region[field] == numpy.float32(row[column]), (column, row["index"])
        for column, field in DOUBLE_FIELDS.items():
            assert region[field] == float(row[column]), (column, row["index"])
        for column, field in INT_FIELDS.items():
            assert region[field] == int(row[column]), (column, row["index"])
        for column, entries in SHAPE_ENTRIES.items():
            for entry in entries:
                assert region["shape"][entry] == numpy.float32(row[column]), (column, row["index"])


@pytest.mark.parametrize(
    "name, options",
    [
        ("camera", {"detector": "hessian"}),
        ("camera", {"detector": "harris"}),
        ("stars-800x640", {"detector": "hessian"}),
        ("coffee", {"detector": "harris", "threshold": 2500.0, "iterations": 4}),
        ("rocket", {"detector": "hessian", "iterations": 0}),
    ],
)
def test_detect_equals_the_tool_on_the_same_file(name, options):
    tool_options = [f"--{key}={value}" for key, value in options.items()]
    expected = tool_regions(GOLDEN_DIR / f"{name}.pgm", *tool_options)
    assert expected
    assert_same_as_tool(tolvane.detect(golden_image(name), **options), expected)


def test_colour_is_made_grey_as_the_tool_does(tmp_path):
    colour = colour_of(golden_image("camera"))
    write_pnm(tmp_path / "colour.ppm", colour)
    assert_same_as_tool(tolvane.detect(colour), tool_regions(tmp_path / "colour.ppm"))


def padded(image, right):
    """The image as a view into wider rows."""
    wide = numpy.zeros((image.shape[0], image.shape[1] + right), image.dtype)
    wide[:, : image.shape[1]] = image
    return wide[:, : image.shape[1]]


def every_other_column(image):
    wide = numpy.zeros((image.shape[0], image.shape[1] * 2), image.dtype)
    wide[:, ::2] = image
    return wide[:, ::2]


def unaligned_float(image):
    raw = numpy.zeros(image.size * 4 + 1, numpy.uint8)
    view = raw[1:].view(numpy.float32).reshape(image.shape)
    view[...] = image
    return view


LAYOUTS = {
    "padded rows": lambda g: padded(g, 13),
    "every other column": every_other_column,
    "column-major": numpy.asfortranarray,
    "rows upside down": lambda g: numpy.flipud(g).copy()[::-1],
    "float32": lambda g: g.astype(numpy.float32),
    "float32 padded rows": lambda g: padded(g.astype(numpy.float32), 3),
    "float32 every other column": lambda g: every_other_column(g.astype(numpy.float32)),
    "float32 unaligned": lambda g: unaligned_float(g.astype(numpy.float32)),
    "grey as colour": lambda g: numpy.stack([g, g, g], axis=-1),
    "grey as planar colour": lambda g: numpy.moveaxis(numpy.stack([g, g, g]), 0, -1),
    "float32 grey as colour": lambda g: numpy.stack([g, g, g], axis=-1).astype(numpy.float32),
}


@pytest.mark.parametrize("layout", LAYOUTS, ids=list(LAYOUTS))
def test_every_layout_equals_contiguous_uint8(layout):
    grey = golden_image("rocket")
    expected = tolvane.detect(grey)
    assert len(expected) > 0
    image = LAYOUTS[layout](grey)
    assert numpy.array_equal(image if image.ndim == 2 else image[..., 0], grey)
    numpy.testing.assert_array_equal(tolvane.detect(image), expected)


def keys(regions):
    return set(zip(regions["x"], regions["y"], regions["response"]))


@pytest.mark.parametrize(
    "arguments, options",
    [(["--mode=refined"], {"mode": "refined"}), (["--mode=refined", "--upsample"], {"mode": "refined", "upsample": True})],
)
def test_refined_mode_gives_the_tool_s_regions(arguments, options):
    expected = tool_regions(GOLDEN_DIR / "coffee.pgm", *arguments)
    regions = tolvane.detect(golden_image("coffee"), **options)
    assert len(regions) == len(expected) > 0
    for region, row in zip(regions, expected):
        for column, field in FLOAT_FIELDS.items():
            assert region[field] == numpy.float32(row[column]), (column, row["index"])
        for column, field in DOUBLE_FIELDS.items():
            assert region[field] == float(row[column]), (column, row["index"])


def test_options_reach_the_detector():
    grey = golden_image("camera")
    everything = tolvane.detect(grey, threshold=500.0)
    strongest = tolvane.detect(grey, threshold=500.0, max_regions=10, threads=1)
    assert len(tolvane.detect(grey, threshold=5000.0)) < len(everything)
    assert len(strongest) == 10
    assert keys(strongest) <= keys(everything)
    assert numpy.sort(numpy.abs(strongest["response"]))[0] >= numpy.sort(numpy.abs(everything["response"]))[-10]


@pytest.mark.parametrize(
    "image, options, error",
    [
        (numpy.zeros((64, 64), numpy.float64), {}, TypeError),
        (numpy.zeros((64, 64), numpy.int16), {}, TypeError),
        ([[0] * 64] * 64, {}, TypeError),
        (numpy.zeros(64, numpy.uint8), {}, ValueError),
        (numpy.zeros((64, 64, 4), numpy.uint8), {}, ValueError),
        (numpy.zeros((64, 64), numpy.uint8), {"detector": "sift"}, ValueError),
        (numpy.zeros((64, 64), numpy.uint8), {"threshold": float("nan")}, tolvane.Error),
        (numpy.zeros((64, 64), numpy.uint8), {"iterations": -1}, tolvane.Error),
        (numpy.zeros((64, 64), numpy.uint8), {"threads": 5000}, tolvane.Error),
        (numpy.zeros((64, 64), numpy.uint8), {"max_regions": 0}, ValueError),
        (numpy.zeros((64, 64), numpy.uint8), {"mode": "fast"}, ValueError),
        (numpy.zeros((64, 64), numpy.uint8), {"mode": "refined", "detector": "harris"}, tolvane.Error),
        (numpy.zeros((64, 64), numpy.uint8), {"upsample": True}, tolvane.Error),
    ],
)
def test_errors_are_python_exceptions(image, options, error):
    with pytest.raises(error):
        tolvane.detect(image, **options)


@pytest.mark.parametrize("shape", [(64, 64), (0, 0), (12, 500), (64, 64, 3)])
def test_blank_and_tiny_images_have_no_regions(shape):
    regions = tolvane.detect(numpy.zeros(shape, numpy.uint8))
    assert len(regions) == 0 and regions.dtype == tolvane.region_dtype


def test_error_is_a_value_error():
    assert issubclass(tolvane.Error, ValueError)


def test_every_public_name_has_a_docstring_and_a_stub():
    package = Path(tolvane.__file__).parent
    stub = "".join((package / name).read_text() for name in ["_core.pyi", "interop.py"])
    for name in tolvane.__all__:
        assert not callable(getattr(tolvane, name)) or getattr(tolvane, name).__doc__, name
        assert re.search(rf"^(def |class ){name}\b|^{name}:", stub, re.MULTILINE), name


def test_file_errors_are_os_errors_with_the_tool_s_message(tmp_path):
    missing = tmp_path / "missing.pgm"
    message = run_tool("detect", missing, status=1).stderr.strip()
    with pytest.raises(OSError) as raised:
        tolvane.detect_file(str(missing), str(tmp_path / "out.regions"))
    assert f"tolvane: {raised.value}" == message


def large_image():
    return numpy.tile(golden_image("stars-800x640"), (2, 2))


def test_python_runs_while_a_thread_detects():
    image = large_image()
    span = {}

    def detect():
        span["start"] = time.perf_counter()
        span["regions"] = tolvane.detect(image, threads=1)
        span["end"] = time.perf_counter()

    worker = threading.Thread(target=detect)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    inside = [span["start"]] + [t for t in ticks if span["start"] < t < span["end"]] + [span["end"]]
    longest_pause = max(b - a for a, b in zip(inside, inside[1:]))
    assert longest_pause < 0.5 * (span["end"] - span["start"])


def test_two_threads_detect_at_once_with_the_same_results():
    images = [large_image(), large_image().astype(numpy.float32)]
    expected = tolvane.detect(images[0], threads=1)
    results = [None, None]
    barrier = threading.Barrier(2)

    def detect(i):
        barrier.wait()
        results[i] = tolvane.detect(images[i], threads=1)

    workers = [threading.Thread(target=detect, args=(i,)) for i in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for result in results:
        numpy.testing.assert_array_equal(result, expected)
