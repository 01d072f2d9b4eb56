// Repeatability of region arrays through the tool's region-overlap code.
#include "repeatability_binding.h"

#include "repeatability.h"

#include <cmath>
#include <string>
#include <vector>

namespace py = pybind11;

namespace tolvane::python {
namespace {

using Rows = py::array_t<double, py::array::c_style | py::array::forcecast>;

const char* const kFields[] = {"x", "y", "a", "b", "c"};

// The (N, 5) numbers x y a b c of a region array or of an (N, 5) array.
Rows rowsOf(const py::array& regions, const char* name)
{
    if (!regions.dtype().attr("names").is_none()) {
        py::list columns;
        for (const char* field : kFields)
            columns.append(regions[py::str(field)]);
        return Rows::ensure(py::module_::import("numpy").attr("stack")(columns, py::arg("axis") = -1));
    }
    Rows rows = Rows::ensure(regions);
    if (!rows || rows.ndim() != 2 || rows.shape(1) != 5)
        throw py::value_error(std::string(name) +
                              " must have the fields x, y, a, b, c or the shape (regions, 5)");
    return rows;
}

bool positiveDefinite(const Ellipse& e)
{
    return std::isfinite(e.x) && std::isfinite(e.y) && std::isfinite(e.a * e.c) && e.a > 0.0 && e.c > 0.0 &&
           e.a * e.c - e.b * e.b > 0.0;
}

std::vector<Ellipse> ellipsesOf(const py::array& regions, const char* name)
{
    const Rows rows = rowsOf(regions, name);
    const auto r = rows.unchecked<2>();
    std::vector<Ellipse> ellipses;
    for (py::ssize_t i = 0; i < r.shape(0); ++i) {
        const Ellipse e{static_cast<float>(r(i, 0)), static_cast<float>(r(i, 1)), r(i, 2), r(i, 3), r(i, 4)};
        if (!positiveDefinite(e))
            throw py::value_error(std::string(name) + "[" + std::to_string(i) +
                                  "]: [[a, b], [b, c]] is not a finite positive definite matrix");
        ellipses.push_back(e);
    }
    return ellipses;
}

Homography homographyOf(const py::object& h)
{
    const Rows matrix = Rows::ensure(h);
    if (!matrix || matrix.ndim() != 2 || matrix.shape(0) != 3 || matrix.shape(1) != 3)
        throw py::value_error("H must be a 3x3 matrix");
    Homography homography{};
    Homography inverse{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            homography.m[i][j] = matrix.at(i, j);
    if (!invert(homography, inverse))
        throw py::value_error("the homography is singular");
    return homography;
}

ImageSize sizeOf(std::pair<int, int> size, const char* name)
{
    if (size.first <= 0 || size.second <= 0)
        throw py::value_error(std::string(name) + " must be (width, height), both positive");
    return ImageSize{size.first, size.second};
}

}  // namespace

py::dict repeatabilityOf(const py::array& regionsA, const py::array& regionsB, const py::object& h,
                         std::pair<int, int> sizeA, std::pair<int, int> sizeB, double maxOverlapError)
{
    if (!(maxOverlapError > 0.0 && maxOverlapError <= 1.0))
        throw py::value_error("max_overlap_error must be in (0, 1]");
    const std::vector<Ellipse> a = ellipsesOf(regionsA, "regions_a");
    const std::vector<Ellipse> b = ellipsesOf(regionsB, "regions_b");
    const Homography homography = homographyOf(h);
    const ImageSize imageA = sizeOf(sizeA, "size_a");
    const ImageSize imageB = sizeOf(sizeB, "size_b");
    RepeatabilityResult result;
    {
        const py::gil_scoped_release released;
        result = measureRepeatability(a, b, homography, imageA, imageB, {maxOverlapError});
    }
    py::dict measured;
    measured["repeatability"] = result.repeatability(0);
    measured["correspondences"] = result.correspondences[0];
    measured["regions_a"] = result.regionsA;
    measured["regions_b"] = result.regionsB;
    measured["common_a"] = result.commonA;
    measured["common_b"] = result.commonB;
    return measured;
}

}  // namespace tolvane::python
