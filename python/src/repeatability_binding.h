// Repeatability of two region arrays related by a homography, measured by
// the tool's region-overlap code.
#ifndef TOLVANE_PYTHON_REPEATABILITY_BINDING_H
#define TOLVANE_PYTHON_REPEATABILITY_BINDING_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>

namespace tolvane::python {

// regionsA, regionsB: arrays with the fields x, y, a, b, c, or (N, 5)
// arrays of those numbers; h: 3x3, A to B; sizes (width, height). A dict of
// the counts and the repeatability at maxOverlapError. Throws
// pybind11::value_error for a wrong shape, an ellipse that is not positive
// definite, a singular homography or an error limit outside (0, 1].
pybind11::dict repeatabilityOf(const pybind11::array& regionsA, const pybind11::array& regionsB,
                               const pybind11::object& h, std::pair<int, int> sizeA, std::pair<int, int> sizeB,
                               double maxOverlapError);

}  // namespace tolvane::python

#endif
