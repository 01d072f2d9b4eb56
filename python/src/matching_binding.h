// Frames and descriptors of regions, their matches, and the model the
// matches agree with, on numpy arrays.
#ifndef TOLVANE_PYTHON_MATCHING_BINDING_H
#define TOLVANE_PYTHON_MATCHING_BINDING_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace tolvane::python {

struct DescribeRequest {
    std::string descriptor = "sift";
    bool upright = false;
    float mr_size = 3.0f;
    bool return_regions = false;
    std::optional<int> patch_size;  // none: no patches
    int threads = 0;
};

// (frames (N, 2, 3) float32, descriptors (N, 128) uint8) and, as asked,
// the region of each frame (N,) and the patches (N, side, side) uint8.
// Throws pybind11::value_error for an unknown descriptor, tolvane::Error
// for invalid regions or settings.
pybind11::tuple describeArray(const pybind11::array& image, const pybind11::array& regions,
                              const DescribeRequest& request);

// ((M, 2) indices, (M,) distances) of the nearest neighbours of the rows of
// d1 among the rows of d2. Throws pybind11::type_error unless both are
// two-dimensional uint8 arrays, tolvane::Error for mismatched lengths or
// invalid settings.
pybind11::tuple matchArrays(const pybind11::array& d1, const pybind11::array& d2, float ratio, bool mutual,
                            int threads);

// (model 3x3 or None, inlier mask (M,)) of the frame centres the matches
// pair, fitted by the tool's model fitting.
pybind11::tuple verifyMatches(const pybind11::object& frames1, const pybind11::object& frames2,
                              const pybind11::object& matches, const std::string& model, double maxError);

}  // namespace tolvane::python

#endif
