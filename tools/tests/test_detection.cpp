#include "detection.h"

#include <gtest/gtest.h>

using namespace tolvane;

namespace {

TEST(DefaultDetectionThreads, AllCoresSharedAmongTheJobs)
{
    EXPECT_EQ(defaultDetectionThreads(8, 1), 8);
    EXPECT_EQ(defaultDetectionThreads(8, 3), 2);
    EXPECT_EQ(defaultDetectionThreads(2, 4), 1);  // never fewer than one
    EXPECT_EQ(defaultDetectionThreads(0, 1), 1);  // core count unknown
}

}  // namespace
