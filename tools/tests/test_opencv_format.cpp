// The OpenCV format read back by OpenCV itself.
#include "frame_formats.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cmath>
#include <sstream>

namespace {

TEST(OpenCvFormat, OpenCvReadsKeypointsAndDescriptors)
{
    tolvane::FrameSet set;
    // An upright frame; one turned by 30 degrees towards +y and stretched; one
    // turned by -90 degrees.
    const float c = std::cos(0.5235988f), s = std::sin(0.5235988f);
    set.frames = {{10.5f, 20.25f, 3, 0, 0, 3}, {100, 50, 8 * c, -2 * s, 8 * s, 2 * c}, {7, 8, 0, 2, -2, 0}};
    set.region_of_frame = {0, 1, 1};
    set.regions.resize(2);
    set.regions[0].response = 1500.5f;
    set.regions[0].level = 3;
    set.regions[1].response = -700.25f;
    set.regions[1].level = 0;
    set.length = 128;
    for (std::size_t i = 0; i < set.frames.size() * set.length; ++i)
        set.descriptors.push_back(static_cast<std::uint8_t>((i * 37) % 256));
    std::ostringstream out;
    writeFrames(out, tolvane::FrameFormat::OpenCv, tolvane::DescriptionInfo{"a.png", 640, 480, "hessian", "sift"},
                set);

    cv::FileStorage storage(out.str(), cv::FileStorage::READ | cv::FileStorage::MEMORY);
    std::vector<cv::KeyPoint> points;
    cv::read(storage["keypoints"], points);
    cv::Mat descriptors;
    storage["descriptors"] >> descriptors;
    ASSERT_EQ(points.size(), 3u);
    const float sizes[] = {6, 8, 4};
    const float angles[] = {0, 30, 270};
    const int regions[] = {0, 1, 1};
    for (std::size_t i = 0; i < points.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(points[i].pt, cv::Point2f(set.frames[i].x, set.frames[i].y));
        EXPECT_NEAR(points[i].size, sizes[i], 1e-5);
        EXPECT_NEAR(points[i].angle, angles[i], 1e-4);
        EXPECT_EQ(points[i].response, set.regions[regions[i]].response);
        EXPECT_EQ(points[i].octave, set.regions[regions[i]].level);
        EXPECT_EQ(points[i].class_id, regions[i]);
    }
    ASSERT_EQ(descriptors.type(), CV_8U);
    ASSERT_EQ(descriptors.rows, 3);
    ASSERT_EQ(descriptors.cols, 128);
    EXPECT_EQ(std::vector<std::uint8_t>(descriptors.data, descriptors.data + descriptors.total()), set.descriptors);
    EXPECT_EQ(static_cast<int>(storage["image_width"]), 640);
}

}  // namespace
