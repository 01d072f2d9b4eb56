// Regions as rows of a numpy structured array, and back.
#include "region_array.h"

#include <string>

namespace py = pybind11;

namespace tolvane::python {
namespace {

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

Region regionOf(const RegionRecord& record)
{
    Region region;
    region.x = record.x;
    region.y = record.y;
    region.scale = record.scale;
    region.lap_scale = record.lap_scale;
    region.response = record.response;
    region.level = record.level;
    region.lap_index = record.lap_index;
    region.shape = {record.shape[0][0], record.shape[0][1], record.shape[1][0], record.shape[1][1]};
    region.a = record.a;
    region.b = record.b;
    region.c = record.c;
    return region;
}

}  // namespace

py::array_t<RegionRecord> recordsOf(const std::vector<Region>& regions)
{
    py::array_t<RegionRecord> records(static_cast<py::ssize_t>(regions.size()));
    RegionRecord* out = records.mutable_data();
    for (const Region& region : regions)
        *out++ = recordOf(region);
    return records;
}

std::vector<Region> regionsOf(const py::array& records)
{
    if (!records.dtype().is(py::dtype::of<RegionRecord>()) || records.ndim() != 1)
        throw py::type_error("regions must be a one-dimensional array of tolvane.region_dtype, as detect() "
                             "returns, got " + std::string(py::str(records.dtype())) + " of " +
                             std::to_string(records.ndim()) + " dimension(s)");
    const auto packed = py::array_t<RegionRecord, py::array::c_style>::ensure(records);
    std::vector<Region> regions;
    regions.reserve(static_cast<std::size_t>(packed.size()));
    for (py::ssize_t i = 0; i < packed.size(); ++i)
        regions.push_back(regionOf(packed.data()[i]));
    return regions;
}

}  // namespace tolvane::python
