// Region lists of real photographs, and their comparison field by field with
// floats compared by their bits: results that must not depend on the number
// of threads are checked with these.
#ifndef TOLVANE_TESTS_REGION_LISTS_H
#define TOLVANE_TESTS_REGION_LISTS_H

#include "afflib.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

inline std::uint32_t floatBits(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// One of the photographs pinned in tests/golden.
inline std::unique_ptr<DERY> goldenPhotograph(const std::string& name)
{
    std::string error;
    const std::string path = std::string(TOLVANE_SOURCE_DIR) + "/tests/golden/" + name + ".pgm";
    std::unique_ptr<DERY> image(readPGM(path.c_str(), error));
    EXPECT_TRUE(image) << error;
    return image;
}

// An image whose pixel at row r, column c is value(r, c).
inline std::unique_ptr<DERY> makeImage(int rows, int cols, const std::function<double(int, int)>& value)
{
    auto image = std::make_unique<DERY>(rows, cols);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            image->pixels[r][c] = static_cast<float>(value(r, c));
    return image;
}

// Owns the regions it holds.
struct RegionList {
    RegionList() = default;
    RegionList(const RegionList& other)
    {
        for (const AffRegion* region : other.list)
            list.push_back(new AffRegion(*region));
    }
    RegionList& operator=(const RegionList&) = delete;
    ~RegionList()
    {
        for (AffRegion* region : list)
            delete region;
    }
    std::vector<AffRegion*> list;
};

inline void expectSameRegions(const RegionList& expected, const RegionList& actual)
{
    ASSERT_EQ(actual.list.size(), expected.list.size());
    for (std::size_t k = 0; k < expected.list.size(); ++k) {
        SCOPED_TRACE("region " + std::to_string(k));
        const AffRegion& e = *expected.list[k];
        const AffRegion& a = *actual.list[k];
        for (float AffRegion::*field : {&AffRegion::x, &AffRegion::y, &AffRegion::response, &AffRegion::scale,
                                        &AffRegion::lapScale, &AffRegion::mi11, &AffRegion::mi12,
                                        &AffRegion::mi22})
            EXPECT_EQ(floatBits(a.*field), floatBits(e.*field));
        EXPECT_EQ(a.lapIndex, e.lapIndex);
        EXPECT_EQ(a.level, e.level);
        EXPECT_EQ(a.mode, e.mode);
    }
}

#endif
