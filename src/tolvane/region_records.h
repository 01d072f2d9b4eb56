// The detectors' region records, owned for the length of one detection.
#ifndef TOLVANE_REGION_RECORDS_H
#define TOLVANE_REGION_RECORDS_H

#include "afflib.h"

#include "tolvane/detect.h"

#include <vector>

namespace tolvane {

// Owns the records the detectors append.
struct RegionRecords {
    RegionRecords() = default;
    RegionRecords(const RegionRecords&) = delete;
    RegionRecords& operator=(const RegionRecords&) = delete;
    ~RegionRecords()
    {
        for (AffRegion* record : list)
            delete record;
    }
    std::vector<AffRegion*> list;
};

// The region of a record: centre, scales, response, levels and the record's
// symmetric shape; the ellipse is left to the caller.
inline Region regionFields(const AffRegion& record)
{
    Region region;
    region.x = record.x;
    region.y = record.y;
    region.scale = record.scale;
    region.lap_scale = record.lapScale;
    region.response = record.response;
    region.level = record.level;
    region.lap_index = record.lapIndex;
    region.shape = {record.mi11, record.mi12, record.mi12, record.mi22};
    return region;
}

}  // namespace tolvane

#endif
