// Frames, descriptors, matches and model fitting on numpy arrays, through
// the library and the tool's model fitting.
#include "matching_binding.h"

#include "image_input.h"
#include "region_array.h"

#include "description.h"
#include "model_fit.h"

#include "tolvane/describe.h"
#include "tolvane/match.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace tolvane::python {
namespace {

DescribeOptions describeOptionsOf(const DescribeRequest& request)
{
    DescribeOptions options;
    if (!parseDescriptorKind(request.descriptor, options.descriptor))
        throw py::value_error("unknown descriptor '" + request.descriptor + "' (use sift, rootsift or none)");
    options.upright = request.upright;
    options.mr_size = request.mr_size;
    options.patches = request.patch_size.has_value();
    options.patch_size = request.patch_size.value_or(options.patch_size);
    options.threads = request.threads;
    options.validate();
    return options;
}

// A new array of `shape` holding a copy of `values`.
template <typename T>
py::array_t<T> arrayOf(const std::vector<T>& values, std::vector<py::ssize_t> shape)
{
    return py::array_t<T>(std::move(shape), values.data());
}

// [[a11, a12, x], [a21, a22, y]] per frame.
py::array_t<float> frameArray(const std::vector<Frame>& frames)
{
    std::vector<float> values;
    values.reserve(frames.size() * 6);
    for (const Frame& f : frames)
        values.insert(values.end(), {f.a11, f.a12, f.x, f.a21, f.a22, f.y});
    return arrayOf(values, {static_cast<py::ssize_t>(frames.size()), 2, 3});
}

py::ssize_t sizeOf(std::size_t count)
{
    return static_cast<py::ssize_t>(count);
}

// The rows of a two-dimensional uint8 array, packed.
py::array_t<std::uint8_t, py::array::c_style> descriptorRows(const py::array& descriptors, const char* name)
{
    if (!descriptors.dtype().is(py::dtype::of<std::uint8_t>()) || descriptors.ndim() != 2)
        throw py::type_error(std::string(name) + " must be a two-dimensional uint8 array, got " +
                             std::string(py::str(descriptors.dtype())) + " of " +
                             std::to_string(descriptors.ndim()) + " dimension(s)");
    return py::array_t<std::uint8_t, py::array::c_style>::ensure(descriptors);
}

DescriptorSet setOf(const py::array_t<std::uint8_t, py::array::c_style>& rows)
{
    return DescriptorSet(rows.data(), static_cast<std::size_t>(rows.shape(0)), static_cast<std::size_t>(rows.shape(1)));
}

using Numbers = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The centres (x, y) of (N, 2, 3) frames.
std::vector<std::pair<double, double>> centresOf(const py::object& frames, const char* name)
{
    const Numbers numbers = Numbers::ensure(frames);
    if (!numbers || numbers.ndim() != 3 || numbers.shape(1) != 2 || numbers.shape(2) != 3)
        throw py::value_error(std::string(name) + " must be numbers of the shape (frames, 2, 3)");
    const auto f = numbers.unchecked<3>();
    std::vector<std::pair<double, double>> centres;
    for (py::ssize_t i = 0; i < f.shape(0); ++i)
        centres.emplace_back(f(i, 0, 2), f(i, 1, 2));
    return centres;
}

std::size_t indexIn(const py::detail::unchecked_reference<std::int64_t, 2>& m, py::ssize_t row, int column,
                    std::size_t count)
{
    const std::int64_t index = m(row, column);
    if (index < 0 || static_cast<std::uint64_t>(index) >= count)
        throw py::index_error("matches[" + std::to_string(row) + ", " + std::to_string(column) + "] = " +
                              std::to_string(index) + " is no index of frames" + std::to_string(column + 1) +
                              " (" + std::to_string(count) + " frames)");
    return static_cast<std::size_t>(index);
}

// The centres of the frames each match pairs.
std::vector<PointPair> pairsOf(const py::object& frames1, const py::object& frames2, const py::object& matchList)
{
    const auto centres1 = centresOf(frames1, "frames1");
    const auto centres2 = centresOf(frames2, "frames2");
    const py::array matches = py::array::ensure(matchList);
    if (!matches || (matches.dtype().kind() != 'i' && matches.dtype().kind() != 'u') || matches.ndim() != 2 ||
        matches.shape(1) != 2)
        throw py::value_error("matches must be integers of the shape (matches, 2), as match() returns");
    const auto indices = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(matches);
    const auto m = indices.unchecked<2>();
    std::vector<PointPair> pairs;
    for (py::ssize_t i = 0; i < m.shape(0); ++i) {
        const auto& a = centres1[indexIn(m, i, 0, centres1.size())];
        const auto& b = centres2[indexIn(m, i, 1, centres2.size())];
        pairs.push_back({a.first, a.second, b.first, b.second});
    }
    return pairs;
}

ModelKind modelNamed(const std::string& name)
{
    ModelKind kind = ModelKind::None;
    if (!parseModelKind(name, kind) || kind == ModelKind::None)
        throw py::value_error("unknown model '" + name + "' (use homography or fundamental)");
    return kind;
}

}  // namespace

py::tuple describeArray(const py::array& image, const py::array& regions, const DescribeRequest& request)
{
    const DescribeOptions options = describeOptionsOf(request);
    const std::vector<Region> described = regionsOf(regions);
    const ArrayLayout layout = layoutOf(image);
    Description d;
    {
        const py::gil_scoped_release released;
        const GreyInput grey(layout);
        d = describe(grey.view(), described, options);
    }
    const py::ssize_t frames = sizeOf(d.frames.size());
    const py::ssize_t length = options.descriptor == DescriptorKind::None ? 0 : sizeOf(kDescriptorLength);
    py::list results;
    results.append(frameArray(d.frames));
    results.append(arrayOf(d.descriptors, {frames, length}));
    if (request.return_regions) {
        const std::vector<py::ssize_t> regionOfFrame(d.region_of_frame.begin(), d.region_of_frame.end());
        results.append(arrayOf(regionOfFrame, {frames}));
    }
    if (options.patches)
        results.append(arrayOf(d.patches, {frames, options.patch_size, options.patch_size}));
    return py::tuple(results);
}

py::tuple matchArrays(const py::array& d1, const py::array& d2, float ratio, bool mutual, int threads)
{
    MatchOptions options;
    options.ratio = ratio;
    options.mutual = mutual;
    options.threads = threads;
    options.validate();
    const auto rows1 = descriptorRows(d1, "d1");
    const auto rows2 = descriptorRows(d2, "d2");
    std::vector<Match> matches;
    {
        const py::gil_scoped_release released;
        matches = match(setOf(rows1), setOf(rows2), options);
    }
    std::vector<py::ssize_t> indices;
    std::vector<float> distances;
    for (const Match& m : matches) {
        indices.insert(indices.end(), {sizeOf(m.a), sizeOf(m.b)});
        distances.push_back(m.distance);
    }
    const py::ssize_t count = sizeOf(matches.size());
    return py::make_tuple(arrayOf(indices, {count, 2}), arrayOf(distances, {count}));
}

py::tuple verifyMatches(const py::object& frames1, const py::object& frames2, const py::object& matches,
                        const std::string& model, double maxError)
{
    const ModelKind kind = modelNamed(model);
    if (!(maxError > 0) || !std::isfinite(maxError))
        throw py::value_error("max_error must be a finite number of pixels above 0, got " + std::to_string(maxError));
    const std::vector<PointPair> pairs = pairsOf(frames1, frames2, matches);
    ModelFit fit;
    {
        const py::gil_scoped_release released;
        fit = fitModel(kind, pairs, maxError);
    }
    py::array_t<bool> inliers(sizeOf(pairs.size()));
    std::copy(fit.inlier.begin(), fit.inlier.end(), inliers.mutable_data());
    if (!fit.found)
        return py::make_tuple(py::none(), inliers);
    return py::make_tuple(py::array_t<double>({3, 3}, &fit.m[0][0]), inliers);
}

}  // namespace tolvane::python
