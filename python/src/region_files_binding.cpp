#include "region_files_binding.h"

#include "file_detection.h"
#include "output_file.h"
#include "region_array.h"
#include "region_files.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <fstream>

namespace py = pybind11;

namespace tolvane::python {
namespace {

template <typename T>
using Column = py::array_t<T, py::array::c_style | py::array::forcecast>;

// Frames (N, 2, 3): [[a11, a12, x], [a21, a22, y]] per frame.
py::tuple framesOf(const FrameSet& set)
{
    const auto n = static_cast<py::ssize_t>(set.frames.size());
    Column<float> frames({n, py::ssize_t(2), py::ssize_t(3)});
    float* out = frames.mutable_data();
    for (const Frame& f : set.frames)
        for (float v : {f.a11, f.a12, f.x, f.a21, f.a22, f.y})
            *out++ = v;
    Column<std::uint8_t> descriptors({n, static_cast<py::ssize_t>(set.length)});
    std::copy(set.descriptors.begin(), set.descriptors.end(), descriptors.mutable_data());
    return py::make_tuple(frames, descriptors);
}

FrameSet frameSetOf(const py::tuple& described)
{
    if (described.size() != 2)
        throw py::value_error("frames must be a (frames, descriptors) pair");
    const auto frames = Column<float>::ensure(described[0]);
    const auto descriptors = Column<std::uint8_t>::ensure(described[1]);
    if (!frames || frames.ndim() != 3 || frames.shape(1) != 2 || frames.shape(2) != 3)
        throw py::value_error("frames must have the shape (N, 2, 3)");
    if (!descriptors || descriptors.ndim() != 2 || descriptors.shape(0) != frames.shape(0))
        throw py::value_error("descriptors must have the shape (N, length), one row per frame");
    FrameSet set;
    set.length = static_cast<std::size_t>(descriptors.shape(1));
    for (py::ssize_t i = 0; i < frames.shape(0); ++i)
        set.frames.push_back(Frame{frames.at(i, 0, 2), frames.at(i, 1, 2), frames.at(i, 0, 0), frames.at(i, 0, 1),
                                   frames.at(i, 1, 0), frames.at(i, 1, 1)});
    set.descriptors.assign(descriptors.data(), descriptors.data() + descriptors.size());
    return set;
}

// Each region's upright frame, without descriptors.
FrameSet uprightFramesOf(const std::vector<Region>& regions)
{
    FrameSet set;
    for (const Region& r : regions)
        set.frames.push_back(uprightFrame(r));
    set.regions = regions;
    return set;
}

py::object readRegions(const std::string& path)
{
    if (!std::ifstream(path))
        throw FileError(path + ": cannot open the file");
    RegionFile file;
    std::string error;
    if (!readRegionFile(path, file, error))
        throw py::value_error(path + ": " + error);
    if (file.hasFrames)
        return framesOf(file.frames);
    return recordsOf(file.regions);
}

void writeRegionsFile(const std::string& path, const py::object& regions, const std::string& format,
                      std::pair<int, int> size)
{
    const bool frames = py::isinstance<py::tuple>(regions) || py::isinstance<py::list>(regions);
    RegionFormat regionFormat{};
    FrameFormat frameFormat{};
    std::function<void(std::ostream&)> write;
    if (!frames && parseRegionFormat(format, regionFormat)) {
        const std::vector<Region> records = regionsOf(py::array::ensure(regions));
        write = [=](std::ostream& out) {
            writeRegions(out, regionFormat, DetectionInfo{"", size.first, size.second, "", 0.0f, 0, 0}, records);
        };
    } else if (parseFrameFormat(format, frameFormat)) {
        const FrameSet set =
            frames ? frameSetOf(py::tuple(regions)) : uprightFramesOf(regionsOf(py::array::ensure(regions)));
        write = [=](std::ostream& out) {
            writeFrames(out, frameFormat, DescriptionInfo{"", size.first, size.second, "", ""}, set);
        };
    } else {
        throw py::value_error("unknown format '" + format + "' for " + (frames ? "frames" : "regions") +
                              (frames ? " (use ellipse, csv, json, binary or opencv)"
                                      : " (use ellipse, legacy, csv, json, binary or opencv)"));
    }
    std::string error;
    if (!writeTextOutputFile(path, write, error))
        throw FileError(path + ": " + error);
}

const char* const kReadDoc = R"(Reads a region or frame file of any format the tolvane tool writes.

The format is recognised from the content, not the name: the ellipse format
(with or without descriptors), CSV, JSON, the binary frame format and the
OpenCV YAML format. The legacy listing records no region size and is
refused.

Parameters
----------
path : str
    The file.

Returns
-------
numpy.ndarray or (numpy.ndarray, numpy.ndarray)
    For a region file, one row of region_dtype per region as detect() gives
    it (the ellipse format records only x, y, a, b, c: there scale and
    lap_scale are 1, shape the identity, the rest 0; CSV and JSON record
    every field, a shape as the symmetric matrix of the same ellipse). For
    a frame file (written with a
    descriptor, or in the binary or OpenCV format), the pair (frames,
    descriptors): frames of shape (N, 2, 3) float32, each
    [[a11, a12, x], [a21, a22, y]], the affine map from the unit circle of
    the normalised patch onto the region; descriptors of shape (N, length)
    uint8 (length 0 when the file has none).

Raises
------
OSError
    When the file cannot be opened.
ValueError
    When its content is not a region or frame file; the message names the
    file and the reason.)";

const char* const kWriteDoc = R"(Writes regions or frames in a format of the tolvane tool.

The same bytes as the tool writes for the same numbers, written to a
temporary file beside `path` and renamed, so that it is never seen half
written.

Parameters
----------
path : str
    The file to write.
regions : numpy.ndarray or (numpy.ndarray, numpy.ndarray)
    Regions with the fields of region_dtype, as detect() or read_regions()
    give them, or a (frames, descriptors) pair as read_regions() gives for
    a frame file: frames (N, 2, 3), descriptors (N, length) uint8.
format : str
    For regions: "ellipse", "legacy", "csv" or "json", or a frame format
    ("binary", "opencv"), which writes each region's upright frame without
    descriptors. For frames: "ellipse", "csv", "json", "binary" or "opencv".
image_size : (int, int)
    (width, height) of the image, recorded by the JSON and OpenCV formats
    so that `tolvane repeatability` needs no --size for them; (0, 0) when
    not known.

Raises
------
OSError
    When the file cannot be written.
ValueError
    For an unknown format or arrays of the wrong shape.)";

}  // namespace

void registerRegionFiles(py::module_& module)
{
    module.def("read_regions", &readRegions, kReadDoc, py::arg("path"));
    module.def("write_regions", &writeRegionsFile, kWriteDoc, py::arg("path"), py::arg("regions"),
               py::arg("format") = "ellipse", py::arg("image_size") = std::make_pair(0, 0));
}

}  // namespace tolvane::python
