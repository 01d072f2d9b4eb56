// The detectors' region records, owned for the length of one detection.
#ifndef TOLVANE_REGION_RECORDS_H
#define TOLVANE_REGION_RECORDS_H

#include "afflib.h"

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

}  // namespace tolvane

#endif
