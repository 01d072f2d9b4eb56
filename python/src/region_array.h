// Regions as rows of a numpy structured array, and back.
#ifndef TOLVANE_PYTHON_REGION_ARRAY_H
#define TOLVANE_PYTHON_REGION_ARRAY_H

#include "tolvane/detect.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

namespace tolvane::python {

// One row of the array detect() returns: every field of a Region, at its
// precision, so that the conversion back is exact.
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

// The module registers the dtype (PYBIND11_NUMPY_DTYPE) before these are used.
pybind11::array_t<RegionRecord> recordsOf(const std::vector<Region>& regions);

// The regions of a one-dimensional array of region_dtype (any strides).
// Throws pybind11::type_error for another dtype or shape.
std::vector<Region> regionsOf(const pybind11::array& records);

}  // namespace tolvane::python

#endif
