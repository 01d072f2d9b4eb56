// Frame files: what is written reads back exactly, and broken files are
// refused with a reason.
#include "frame_formats.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

tolvane::FrameSet sampleSet(std::size_t length)
{
    tolvane::FrameSet set;
    set.length = length;
    set.frames = {{10.5f, 20.25f, 3.0f, -1.5f, 0.75f, 4.0f}, {0.1f, 1e-3f, 12.0f, 0.0f, 0.0f, 7.0f / 3.0f}};
    set.region_of_frame = {0, 0};
    for (std::size_t i = 0; i < 2 * length; ++i)
        set.descriptors.push_back(static_cast<std::uint8_t>((i * 37) % 256));
    return set;
}

std::string written(tolvane::FrameFormat format, const tolvane::FrameSet& set)
{
    std::ostringstream out;
    writeFrames(out, format, tolvane::DescriptionInfo{"a \"b\".png", 64, 48, "hessian", "sift"}, set);
    return out.str();
}

TEST(FrameFormats, EllipseAndBinaryFilesReadBackExactly)
{
    for (std::size_t length : {std::size_t(0), std::size_t(3), std::size_t(128)})
        for (tolvane::FrameFormat format : {tolvane::FrameFormat::Ellipse, tolvane::FrameFormat::Binary}) {
            SCOPED_TRACE(std::to_string(length) + (format == tolvane::FrameFormat::Binary ? " binary" : " ellipse"));
            const tolvane::FrameSet set = sampleSet(length);
            std::istringstream in(written(format, set));
            tolvane::FrameSet back;
            std::string error;
            ASSERT_TRUE(readFrames(in, back, error)) << error;
            EXPECT_EQ(back.length, length);
            EXPECT_EQ(back.descriptors, set.descriptors);
            ASSERT_EQ(back.frames.size(), set.frames.size());
            for (std::size_t i = 0; i < set.frames.size(); ++i) {
                const tolvane::Frame& f = set.frames[i];
                const tolvane::Frame& g = back.frames[i];
                EXPECT_EQ(g.x, f.x);
                EXPECT_EQ(g.y, f.y);
                if (format == tolvane::FrameFormat::Binary) {
                    EXPECT_EQ(g.a11, f.a11);
                    EXPECT_EQ(g.a21, f.a21);
                }
                // The ellipse survives either way; the ellipse format keeps no rotation.
                const tolvane::FrameEllipse e = tolvane::ellipseOf(f), h = tolvane::ellipseOf(g);
                EXPECT_NEAR(h.a, e.a, 1e-6 * e.a);
                EXPECT_NEAR(h.b, e.b, 1e-6 * (e.a + e.c));
                EXPECT_NEAR(h.c, e.c, 1e-6 * e.c);
            }
        }
}

TEST(FrameFormats, TextFormatsLayOutEveryField)
{
    const tolvane::FrameSet set = sampleSet(3);
    EXPECT_EQ(written(tolvane::FrameFormat::Ellipse, set).substr(0, 4), "3\n2\n");
    const std::string csv = written(tolvane::FrameFormat::Csv, set);
    EXPECT_EQ(csv.substr(0, csv.find('\n')), "index,region,x,y,a11,a12,a21,a22,a,b,c,d0,d1,d2");
    EXPECT_NE(csv.find("\n0,0,10.5,20.25,3,-1.5,0.75,4,"), std::string::npos);
    EXPECT_NE(csv.find(",0,37,74\n"), std::string::npos);
    const std::string json = written(tolvane::FrameFormat::Json, set);
    EXPECT_NE(json.find("\"image\": \"a \\\"b\\\".png\""), std::string::npos);
    EXPECT_NE(json.find("\"frame\": [3, -1.5, 0.75, 4]"), std::string::npos);
    EXPECT_NE(json.find("\"descriptor\": [111, 148, 185]"), std::string::npos);
}

TEST(FrameFormats, BrokenFilesAreRefusedWithAReason)
{
    const std::string binary = written(tolvane::FrameFormat::Binary, sampleSet(4));
    struct Case {
        const char* what;
        std::string bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", "", "no descriptor length"},
        {"short ellipse line", "1.0\n1\n1 2 3\n", "expected x y a b c"},
        {"not positive definite", "1.0\n1\n1 2 1 2 1\n", "positive definite"},
        {"descriptor value out of range", "2\n1\n1 2 1 0 1 7 300\n", "from 0 to 255"},
        {"missing descriptor values", "2\n1\n1 2 1 0 1 7\n", "from 0 to 255"},
        {"binary header cut", binary.substr(0, 12), "truncated"},
        {"binary frames cut", binary.substr(0, 30), "shorter than its header says"},
        {"binary descriptors cut", binary.substr(0, binary.size() - 1), "shorter than its header says"},
        {"binary count beyond the file", binary.substr(0, 16) + std::string(8, '\xff') + binary.substr(24),
         "out of range"},
        {"binary count larger than the file",
         binary.substr(0, 16) + std::string("\xff\xff\xff\x7f\0\0\0\0", 8) + binary.substr(24),
         "shorter than its header says"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::istringstream in(c.bytes);
        tolvane::FrameSet set;
        std::string error;
        EXPECT_FALSE(readFrames(in, set, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

}  // namespace
