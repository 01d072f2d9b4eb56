// The compiled part of the Python package: detection on numpy arrays and
// image files, and the repeatability measure.
#include "file_detection.h"
#include "image_input.h"
#include "region_files_binding.h"
#include "repeatability_binding.h"

#include "tolvane/tolvane.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace tolvane::python {
namespace {

// One row of the array detect() returns.
struct RegionRecord {
    float x;
    float y;
    double a;
    double b;
    double c;
    float scale;
    float lap_scale;
    float response;
    std::int32_t level;
    std::int32_t lap_index;
    float shape[2][2];
};

Detector detectorNamed(const std::string& name)
{
    if (name == "hessian")
        return Detector::Hessian;
    if (name == "harris")
        return Detector::Harris;
    throw py::value_error("unknown detector '" + name + "' (use hessian or harris)");
}

Mode modeNamed(const std::string& name)
{
    if (name == "exact")
        return Mode::Exact;
    if (name == "refined")
        return Mode::Refined;
    throw py::value_error("unknown mode '" + name + "' (use exact or refined)");
}

DetectorOptions optionsOf(const std::string& detector, std::optional<float> threshold, int iterations,
                          std::optional<py::ssize_t> maxRegions, int threads, const std::string& mode)
{
    DetectorOptions options;
    options.detector = detectorNamed(detector);
    options.mode = modeNamed(mode);
    options.threshold = threshold;
    options.iterations = iterations;
    options.threads = threads;
    if (maxRegions) {
        if (*maxRegions < 1)
            throw py::value_error("max_regions must be None or at least 1, got " + std::to_string(*maxRegions));
        options.max_regions = static_cast<std::size_t>(*maxRegions);
    }
    options.validate();
    return options;
}

RegionRecord recordOf(const Region& region)
{
    return RegionRecord{region.x,
                        region.y,
                        region.a,
                        region.b,
                        region.c,
                        region.scale,
                        region.lap_scale,
                        region.response,
                        region.level,
                        region.lap_index,
                        {{region.shape[0], region.shape[1]}, {region.shape[2], region.shape[3]}}};
}

py::array_t<RegionRecord> recordsOf(const std::vector<Region>& regions)
{
    py::array_t<RegionRecord> records(static_cast<py::ssize_t>(regions.size()));
    RegionRecord* out = records.mutable_data();
    for (const Region& region : regions)
        *out++ = recordOf(region);
    return records;
}

py::array detectArray(const py::array& image, const std::string& detector, std::optional<float> threshold,
                       int iterations, std::optional<py::ssize_t> maxRegions, int threads, const std::string& mode)
{
    const DetectorOptions options = optionsOf(detector, threshold, iterations, maxRegions, threads, mode);
    const ArrayLayout layout = layoutOf(image);
    std::vector<Region> regions;
    {
        const py::gil_scoped_release released;
        const GreyInput grey(layout);
        regions = tolvane::detect(grey.view(), options);
    }
    return recordsOf(regions);
}

std::size_t detectFile(const std::string& image, const std::string& output, const std::string& detector,
                       float threshold, int iterations, int threads, const std::string& format)
{
    const FileDetectionRequest request{image, output, detector, threshold, iterations, threads, format};
    const py::gil_scoped_release released;
    return detectFileInto(request);
}

const char* const kModuleDoc = R"(Affine-covariant interest regions in grey-level images.

detect() finds the regions of a numpy image and returns them as a structured
array with the fields of region_dtype, the same numbers as the tolvane tool
gives for the same pixels. detect_file() turns an image file into a region
file exactly as `tolvane detect` does.)";

const char* const kDetectDoc = R"(Detects the affine-covariant regions of an image.

Parameters
----------
image : numpy.ndarray
    A grey image of shape (rows, columns), or a colour one of shape
    (rows, columns, 3) with channels red, green, blue, of dtype uint8 or
    float32 (float pixels on the 0-255 scale of 8-bit images). Any strides:
    rows of adjacent pixels are read in place, other layouts are copied
    first. Colour is made grey with the weights 0.299, 0.587, 0.114, for
    uint8 rounded to the nearest integer as the tolvane tool does, for
    float32 computed in double precision and rounded to float32.
detector : str
    "hessian" (blobs) or "harris" (corners).
threshold : float or None
    Minimum detector response of a point; None takes the mode's default
    (1000 in exact mode, 500 in refined mode).
iterations : int
    Budget of affine shape adaptation steps per region, 0 to 1000; 0 keeps
    the starting shape.
max_regions : int or None
    Keep only that many strongest regions by absolute response (ties in list
    order), still in list order; None keeps all.
threads : int
    Threads for this detection, 0 to 1024; 0 uses every core. The regions are
    the same whatever the count.
mode : str
    "exact" (the legacy detector bit for bit) or "refined" (Hessian only:
    more repeatable regions; its shapes need not be symmetric).

Returns
-------
numpy.ndarray
    One row per region, dtype region_dtype, sorted by characteristic scale
    (small first), within one scale in scan order: x, y (column and row in
    input pixels), a, b, c (the ellipse (p - (x, y))^T [[a, b], [b, c]]
    (p - (x, y)) <= 1 in input pixels), scale (of the detection level),
    lap_scale (of the characteristic scale), response, level, lap_index and
    shape (the 2x2 matrix U from the normalised patch to the level's image,
    det U = 1, symmetric).

Raises
------
TypeError
    For a dtype other than uint8 and float32.
ValueError
    For a wrong shape, an unknown detector or a setting out of range.

The GIL is released while the detector runs, so threads detect in parallel.)";

const char* const kDetectFileDoc = R"(Detects the regions of an image file into a region file.

The same bytes as `tolvane detect IMAGE -o OUTPUT` with the same settings:
the tool's image reading (PGM, PPM, PNG, JPEG; colour made grey with the
weights 0.299, 0.587, 0.114) and region writers. The file is written to a
temporary file beside `output` and renamed, so that it is never seen half
written.

Parameters
----------
image, output : str
    The image file and the region file to write.
detector, threshold, iterations :
    As for detect().
threads : int
    Threads for this detection, 0 to 1024; 0 uses every core.
format : str
    "ellipse" (the tool's default), "legacy", "csv" or "json".

Returns
-------
int
    The number of regions found, as the tool's summary line counts them.

Raises
------
OSError
    When the image cannot be read or the region file not written; the
    message is the one the tool prints: the file, a colon and the reason.
ValueError
    For an unknown detector or format or a setting out of range.

The GIL is released while it runs.)";

const char* const kRepeatabilityDoc = R"(How many regions of image A are found again in image B.

The measure of `tolvane repeatability`: each region of A is mapped into B
through the affine approximation of H at its centre; regions whose centre
falls outside the other image do not count. Two regions are compared after
both are scaled about their centres so that the mapped one has the area of a
circle of radius 30 pixels; pairs are matched one to one in order of
increasing overlap error (1 - intersection / union).

Parameters
----------
regions_a, regions_b : numpy.ndarray
    Regions as detect() returns them (the fields x, y, a, b, c are used), or
    (N, 5) arrays of x, y, a, b, c.
H : array_like
    3x3 homography mapping points (x, y, 1) of A to B.
size_a, size_b : (int, int)
    (width, height) of the two images.
max_overlap_error : float
    Pairs with an overlap error below it correspond; the tool's 0.4 by
    default.

Returns
-------
dict
    repeatability (correspondences over the smaller common count, a
    fraction), correspondences, regions_a, regions_b, common_a and common_b
    (the regions whose centre maps into the other image).

Raises
------
ValueError
    For a wrong shape, an ellipse that is not positive definite, a singular
    H or a limit outside (0, 1].)";

}  // namespace
}  // namespace tolvane::python

PYBIND11_MODULE(_core, module)
{
    using namespace tolvane::python;
    module.doc() = kModuleDoc;
    PYBIND11_NUMPY_DTYPE(RegionRecord, x, y, a, b, c, scale, lap_scale, response, level, lap_index, shape);
    py::register_exception<tolvane::Error>(module, "Error", PyExc_ValueError)
        .attr("__doc__") = "A bad argument or input as the library reports it; a ValueError.";
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown)
                std::rethrow_exception(thrown);
        } catch (const FileError& error) {
            PyErr_SetString(PyExc_OSError, error.what());
        }
    });
    module.attr("region_dtype") = py::dtype::of<RegionRecord>();
    module.def("detect", &detectArray, kDetectDoc, py::arg("image"), py::arg("detector") = "hessian",
               py::arg("threshold") = py::none(), py::arg("iterations") = 16, py::arg("max_regions") = py::none(),
               py::arg("threads") = 0, py::arg("mode") = "exact");
    module.def("detect_file", &detectFile, kDetectFileDoc, py::arg("image"), py::arg("output"),
               py::arg("detector") = "hessian", py::arg("threshold") = 1000.0f, py::arg("iterations") = 16,
               py::arg("threads") = 1, py::arg("format") = "ellipse");
    module.def("repeatability", &repeatabilityOf, kRepeatabilityDoc, py::arg("regions_a"), py::arg("regions_b"),
               py::arg("H"), py::arg("size_a"), py::arg("size_b"), py::arg("max_overlap_error") = 0.4);
    registerRegionFiles(module);
}
