"""tolvane.dask.detect_files on a two-worker LocalCluster against the tool's
batch: the same files byte for byte, failures recorded, finished files
skipped."""

import re
import shutil

import pytest

distributed = pytest.importorskip("distributed")
# The cluster's event loop library warns about its own use of asyncio.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

import tolvane.dask  # noqa: E402
from conftest import GOLDEN_DIR, colour_of, golden_image, run_tool, write_pnm  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture
def images(tmp_path):
    folder = tmp_path / "images"
    folder.mkdir()
    for name in ["camera", "coffee", "rocket"]:
        shutil.copy(GOLDEN_DIR / f"{name}.pgm", folder)
    write_pnm(folder / "colour.ppm", colour_of(golden_image("camera")))
    (folder / "broken.pgm").write_bytes(b"P5\n40 40\n255\n" + b"\0" * 100)
    return sorted(str(path) for path in folder.iterdir())


def tool_batch(images, out_dir, *options):
    """The tool's batch: its summary line's numbers and its failure lines."""
    result = run_tool("detect", "--out-dir", out_dir, "--jobs", "2", *options, *images, status=1)
    counts = re.match(r"(\d+) images, (\d+) failed, (\d+) regions", result.stdout)
    return [int(n) for n in counts.groups()], sorted(result.stderr.splitlines())


@pytest.mark.parametrize(
    "options",
    [{}, {"detector": "harris", "threshold": 2000.0, "iterations": 8, "format": "json"}],
    ids=["defaults", "harris json"],
)
def test_batch_writes_the_tool_s_files(client, images, tmp_path, options):
    (images_given, failed, regions), failure_lines = tool_batch(
        images, tmp_path / "tool", *[f"--{key}={value}" for key, value in options.items()])
    summary = tolvane.dask.detect_files(images, tmp_path / "dask", client=client, **options)

    assert (summary.images, len(summary.failed), summary.regions) == (images_given, failed, regions)
    assert sorted(f"tolvane: {reason}" for _, reason in summary.failed) == failure_lines
    written = sorted(path.name for path in (tmp_path / "dask").iterdir())
    assert written == sorted(path.name for path in (tmp_path / "tool").iterdir())
    for name in written:
        assert (tmp_path / "dask" / name).read_bytes() == (tmp_path / "tool" / name).read_bytes(), name


def test_finished_files_are_skipped_and_failures_tried_again(client, images, tmp_path):
    first = tolvane.dask.detect_files(images, tmp_path, client=client)
    done = {path: path.stat().st_mtime_ns for path in tmp_path.glob("*.regions")}
    again = tolvane.dask.detect_files(images, tmp_path, client=client)
    assert (again.skipped, again.regions, again.failed) == (len(done), 0, first.failed)
    assert {path: path.stat().st_mtime_ns for path in tmp_path.glob("*.regions")} == done


@pytest.mark.parametrize(
    "paths, options, error",
    [
        (["a/x.pgm", "b/x.png"], {}, ValueError),
        (["x.pgm"], {"format": "xml"}, ValueError),
        (["x.pgm"], {"detector": "sift"}, ValueError),
        (["x.pgm"], {"iterations": -1}, ValueError),
        (["x.pgm"], {"max_regions": 5}, TypeError),
    ],
)
def test_bad_requests_fail_before_any_work(client, tmp_path, paths, options, error):
    with pytest.raises(error):
        tolvane.dask.detect_files(paths, tmp_path / "out", client=client, **options)
    assert not (tmp_path / "out").exists()

