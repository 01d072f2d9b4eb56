// The compiled part of the Python package: image reading, detection on
// numpy arrays and image files, frames, descriptors, matching and model
// fitting, and the repeatability measure.
#include "file_detection.h"
#include "image_input.h"
#include "matching_binding.h"
#include "region_array.h"
#include "region_files_binding.h"
#include "repeatability_binding.h"

#include "tolvane/tolvane.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace tolvane::python {
namespace {

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
                          std::optional<py::ssize_t> maxRegions, int threads, const std::string& mode, bool upsample)
{
    DetectorOptions options;
    options.detector = detectorNamed(detector);
    options.mode = modeNamed(mode);
    options.upsample = upsample;
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

py::array detectArray(const py::array& image, const std::string& detector, std::optional<float> threshold,
                       int iterations, std::optional<py::ssize_t> maxRegions, int threads, const std::string& mode,
                       bool upsample)
{
    const DetectorOptions options = optionsOf(detector, threshold, iterations, maxRegions, threads, mode, upsample);
    const ArrayLayout layout = layoutOf(image);
    std::vector<Region> regions;
    {
        const py::gil_scoped_release released;
        const GreyInput grey(layout);
        regions = tolvane::detect(grey.view(), options);
    }
    return recordsOf(regions);
}

py::array_t<std::uint8_t> imread(const std::filesystem::path& path)
{
    auto image = std::make_unique<Image>();
    {
        const py::gil_scoped_release released;
        *image = readImageFile(path.string());
    }
    const std::vector<py::ssize_t> shape{image->height, image->width};
    std::uint8_t* pixels = image->pixels.data();
    const py::capsule owner(image.get(), [](void* owned) { delete static_cast<Image*>(owned); });
    image.release();
    return py::array_t<std::uint8_t>(shape, pixels, owner);
}

py::tuple describeRegions(const py::array& image, const py::array& regions, const std::string& descriptor,
                          bool upright, float mrSize, bool returnRegions, std::optional<int> patchSize, int threads)
{
    return describeArray(image, regions, {descriptor, upright, mrSize, returnRegions, patchSize, threads});
}

std::size_t detectFile(const std::string& image, const std::string& output, const std::string& detector,
                       float threshold, int iterations, int threads, const std::string& format)
{
    const FileDetectionRequest request{image, output, detector, threshold, iterations, threads, format};
    const py::gil_scoped_release released;
    return detectFileInto(request);
}

const char* const kModuleDoc = R"(Affine-covariant interest regions in grey-level images.

imread() reads an image file as the tool does. detect() finds the regions of
a numpy image and returns them as a structured array with the fields of
region_dtype, the same numbers as the tolvane tool gives for the same
pixels; describe() gives their oriented frames and descriptors, match() the
nearest neighbours of descriptors and verify() the homography or
fundamental matrix the matches agree with. detect_file() turns an image file
into a region file exactly as `tolvane detect` does.)";

const char* const kImreadDoc = R"(Reads an image file as a grey (rows, columns) uint8 array.

The library's readers, as the tolvane tool reads images: binary or ASCII PGM
and PPM (8 or 16 bits, scaled to 0-255), PNG and JPEG, recognised by their
first bytes. Colour is made grey with the weights 0.299, 0.587, 0.114
(rounded to the nearest integer), and a JPEG's EXIF orientation is applied,
so that the image is the one a viewer shows.

Parameters
----------
path : str or os.PathLike
    The image file.

Returns
-------
numpy.ndarray
    The pixels, uint8, rows packed.

Raises
------
OSError
    When the file cannot be opened or read.
ValueError
    (tolvane.Error) For content that is malformed, damaged or larger than
    100 million pixels.

The message is the one the tool prints: the file, a colon and the reason.
The GIL is released while the file is read.)";

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
upsample : bool
    Refined mode only: detect on the image enlarged twice, which finds
    smaller structures (about twice the regions, two to three times the
    time);
    the regions are given in input pixels all the same.

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

const char* const kDescribeDoc = R"(Oriented frames and descriptors of regions.

Parameters
----------
image : numpy.ndarray
    The image the regions were found in, in any form detect() takes.
regions : numpy.ndarray
    Regions as detect() returns them (dtype region_dtype), all of them or a
    selection such as regions[mask].
descriptor : str
    "sift", "rootsift" (L1-normalised and square-rooted, so that Euclidean
    distance compares as the Hellinger kernel) or "none" (frames only: the
    descriptors have no columns).
upright : bool
    One unrotated frame per region. Otherwise one frame per dominant
    gradient orientation, so that a region may have several frames.
mr_size : float
    The descriptor covers the square [-mr_size, mr_size]^2 of the frame,
    mr_size times the region; above 0, at most 100.
return_regions : bool
    Also return, for each frame, the index into `regions` of its region.
patch_size : int or None
    Also return each frame's normalised patch, patch_size x patch_size grey
    pixels (4 to 1024) over the square the descriptor covers.
threads : int
    Threads, 0 to 1024; 0 uses every core. The results are the same
    whatever the count.

Returns
-------
frames : numpy.ndarray
    (N, 2, 3) float32, [[a11, a12, x], [a21, a22, y]] per frame: the affine
    map p = (x, y) + A u from the unit circle |u| <= 1 of the normalised
    patch onto the region's ellipse in input pixels, rotation included.
    Its first column (a11, a21) is the region's orientation, the direction
    of its dominant gradient (x to the right, y downwards, angles from +x
    towards +y). The frames of a region follow each other, strongest
    orientation first, the regions in the order given.
descriptors : numpy.ndarray
    (N, 128) uint8, the descriptor of each frame.
region_of_frame : numpy.ndarray
    (N,) intp, only with return_regions=True.
patches : numpy.ndarray
    (N, patch_size, patch_size) uint8, only with a patch_size; x to the
    right, y downwards.

Raises
------
TypeError
    For an image dtype other than uint8 and float32, or regions of another
    dtype than region_dtype.
ValueError
    For a wrong shape, an unknown descriptor, a setting out of range or a
    region without a valid ellipse.

The numbers are those of `tolvane detect --descriptor` for the same pixels.
The GIL is released while it runs.)";

const char* const kMatchDoc = R"(Nearest neighbours of descriptors by Euclidean distance.

For each row of d1, in order, its nearest row of d2 when it passes the
tests asked for. Exact (brute force in integer arithmetic); of equally near
rows of d2 the first is taken: `tolvane match` gives the same pairs.

Parameters
----------
d1, d2 : numpy.ndarray
    Two-dimensional uint8 arrays with the same number of columns, one
    descriptor a row, as describe() returns them.
ratio : float
    Keep a nearest neighbour only when it is nearer than ratio times the
    second nearest; 1 keeps every nearest neighbour. Above 0, at most 1.
mutual : bool
    Keep only pairs that are each other's nearest neighbour.
threads : int
    Threads, 0 to 1024; 0 uses every core.

Returns
-------
indices : numpy.ndarray
    (M, 2) intp: the row in d1 and the row in d2 of each match.
distances : numpy.ndarray
    (M,) float32: their Euclidean distances.

Raises
------
TypeError
    Unless both are two-dimensional uint8 arrays.
ValueError
    For different descriptor lengths or a setting out of range.

The GIL is released while it runs.)";

const char* const kVerifyDoc = R"(The model most matches agree with, and which matches do.

The frame centres that the matches pair are fitted robustly with OpenCV's
USAC/MAGSAC estimator, as `tolvane match` fits them.

Parameters
----------
frames1, frames2 : numpy.ndarray
    (N, 2, 3) frames of the two images, as describe() returns them; only
    the centres (column 2) are used.
matches : numpy.ndarray
    (M, 2) integer indices into frames1 and frames2, as match() returns them.
model : str
    "homography" (a plane, or a camera turning about its centre) or
    "fundamental" (any rigid scene).
max_error : float
    Inlier threshold in pixels: the reprojection error in the second image
    for a homography, the distance to the epipolar line for a fundamental
    matrix. The tool's 1.5 by default.

Returns
-------
model : numpy.ndarray or None
    3x3 float64 mapping points (x, y, 1) of the first image to the second
    (homography) or with x2^T F x1 = 0 (fundamental); None when fewer
    matches than the model needs (4 or 8) are given or none is found.
inliers : numpy.ndarray
    (M,) bool, one per match; all False without a model.

Raises
------
ValueError
    For a wrong shape, an unknown model or a threshold that is not above 0.
IndexError
    For an index outside its frames.

The GIL is released while the model is fitted.)";

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
               py::arg("threads") = 0, py::arg("mode") = "exact", py::arg("upsample") = false);
    module.def("imread", &imread, kImreadDoc, py::arg("path"));
    module.def("describe", &describeRegions, kDescribeDoc, py::arg("image"), py::arg("regions"),
               py::arg("descriptor") = "sift", py::arg("upright") = false, py::arg("mr_size") = 3.0f, py::kw_only(),
               py::arg("return_regions") = false, py::arg("patch_size") = py::none(), py::arg("threads") = 0);
    module.def("match", &matchArrays, kMatchDoc, py::arg("d1"), py::arg("d2"), py::arg("ratio") = 0.8f,
               py::arg("mutual") = true, py::kw_only(), py::arg("threads") = 0);
    module.def("verify", &verifyMatches, kVerifyDoc, py::arg("frames1"), py::arg("frames2"), py::arg("matches"),
               py::arg("model") = "homography", py::arg("max_error") = 1.5);
    module.def("detect_file", &detectFile, kDetectFileDoc, py::arg("image"), py::arg("output"),
               py::arg("detector") = "hessian", py::arg("threshold") = 1000.0f, py::arg("iterations") = 16,
               py::arg("threads") = 1, py::arg("format") = "ellipse");
    module.def("repeatability", &repeatabilityOf, kRepeatabilityDoc, py::arg("regions_a"), py::arg("regions_b"),
               py::arg("H"), py::arg("size_a"), py::arg("size_b"), py::arg("max_overlap_error") = 0.4);
    registerRegionFiles(module);
}
