// Every region and frame format reads back with the numbers written,
// recognised from the content; the commands that take regions take them all.
#include "region_files.h"

#include "support.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tolvane;
using testsupport::runTolvane;

namespace {

std::vector<Region> sampleRegions()
{
    Region r;
    r.x = 10.25f;
    r.y = 1.0f / 3.0f;
    r.scale = 1.44f;
    r.lap_scale = 2.0736f;
    r.response = -1234.56789f;
    r.level = 2;
    r.lap_index = 4;
    r.shape = {1.25f, 0.3f, 0.3f, 0.872f};
    r.a = 0.0123456789012345;
    r.b = -0.00321;
    r.c = 0.0456;
    Region s = r;
    s.x = 0.1f;
    s.y = 479.9f;
    s.shape = {1, 0, 0, 1};
    s.b = 0;
    return {r, s};
}

FrameSet sampleFrames(std::size_t length)
{
    FrameSet set;
    set.frames = {{10.5f, 20.25f, 3.0f, -1.5f, 0.75f, 4.0f}, {0.1f, 1e-3f, 12.0f, 0.0f, 0.0f, 7.0f / 3.0f}};
    set.region_of_frame = {0, 1};
    set.regions = sampleRegions();
    set.length = length;
    for (std::size_t i = 0; i < 2 * length; ++i)
        set.descriptors.push_back(static_cast<std::uint8_t>((i * 37) % 256));
    return set;
}

RegionFile readBack(const std::string& text)
{
    RegionFile file;
    std::string error;
    EXPECT_TRUE(readRegionText(text, file, error)) << error;
    return file;
}

TEST(RegionFiles, EveryRegionFormatReadsBackTheNumbersWritten)
{
    const std::vector<Region> regions = sampleRegions();
    for (const char* name : {"ellipse", "csv", "json", "legacy"}) {
        SCOPED_TRACE(name);
        RegionFormat format{};
        ASSERT_TRUE(parseRegionFormat(name, format));
        std::ostringstream out;
        writeRegions(out, format, DetectionInfo{"a.png", 640, 480, "hessian", 1000.0f, 16, 2}, regions);
        RegionFile file;
        std::string error;
        if (format == RegionFormat::Legacy) {
            EXPECT_FALSE(readRegionText(out.str(), file, error));
            EXPECT_NE(error.find("records no region size"), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(readRegionText(out.str(), file, error)) << error;
        EXPECT_FALSE(file.hasFrames);
        ASSERT_EQ(file.regions.size(), regions.size());
        ASSERT_EQ(file.frames.frames.size(), regions.size());
        for (std::size_t i = 0; i < regions.size(); ++i) {
            const Region &r = regions[i], &g = file.regions[i];
            EXPECT_EQ(std::vector<double>({g.x, g.y, g.a, g.b, g.c}), std::vector<double>({r.x, r.y, r.a, r.b, r.c}));
            EXPECT_EQ(file.ellipses[i].a, r.a);
            if (format == RegionFormat::Ellipse)
                continue;
            EXPECT_EQ(std::vector<float>({g.scale, g.lap_scale, g.response}),
                      std::vector<float>({r.scale, r.lap_scale, r.response}));
            EXPECT_EQ(g.shape, r.shape);
            EXPECT_EQ(std::vector<int>({g.level, g.lap_index}), std::vector<int>({r.level, r.lap_index}));
        }
        EXPECT_EQ(file.width, format == RegionFormat::Json ? 640 : 0);
    }
}

TEST(RegionFiles, EveryFrameFormatReadsBackTheNumbersWritten)
{
    for (std::size_t length : {std::size_t(0), std::size_t(128)})
        for (const char* name : {"ellipse", "csv", "json", "binary", "opencv"}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(length));
            FrameFormat format{};
            ASSERT_TRUE(parseFrameFormat(name, format));
            const FrameSet set = sampleFrames(length);
            std::ostringstream out;
            writeFrames(out, format, DescriptionInfo{"a.png", 64, 48, "hessian", "sift"}, set);
            const RegionFile file = readBack(out.str());
            EXPECT_EQ(file.hasFrames, length > 0 || format != FrameFormat::Ellipse);
            EXPECT_EQ(file.frames.length, length);
            EXPECT_EQ(file.frames.descriptors, set.descriptors);
            ASSERT_EQ(file.frames.frames.size(), set.frames.size());
            const bool sized = format == FrameFormat::Json || format == FrameFormat::OpenCv;
            EXPECT_EQ(std::vector<int>({file.width, file.height}), sized ? std::vector<int>({64, 48}) : std::vector<int>({0, 0}));
            for (std::size_t i = 0; i < set.frames.size(); ++i) {
                const Frame &f = set.frames[i], &g = file.frames.frames[i];
                const FrameEllipse e = ellipseOf(f);
                // The ellipse format keeps the ellipse, not the rotation.
                if (format != FrameFormat::Ellipse) {
                    EXPECT_EQ(std::vector<float>({g.x, g.y, g.a11, g.a12, g.a21, g.a22}),
                              std::vector<float>({f.x, f.y, f.a11, f.a12, f.a21, f.a22}));
                }
                EXPECT_NEAR(file.ellipses[i].a, e.a, 1e-6 * e.a);
                EXPECT_NEAR(file.ellipses[i].b, e.b, 1e-6 * (e.a + e.c));
                EXPECT_NEAR(file.ellipses[i].c, e.c, 1e-6 * e.c);
            }
        }
}

// A binary frame file of one frame at (1, 1) whose 2x2 part is zero.
std::string singularBinaryFrame()
{
    std::string bytes("TVFRAME1", 8);
    bytes.append(8, '\0');                    // descriptor length 0, reserved
    bytes.append(1, '\1').append(7, '\0');   // one frame
    const float frame[6] = {1, 1, 0, 0, 0, 0};
    return bytes.append(reinterpret_cast<const char*>(frame), sizeof frame);
}

TEST(RegionFiles, BrokenFilesAreRefusedWithAReason)
{
    const std::pair<std::string, const char*> cases[] = {
        {"{\"width\": 4, \"height\": 3, \"regions\": [", "not a well-formed JSON object"},
        {"{\"width\": 4, \"height\": 3}", "without a \"regions\" or \"frames\" list"},
        {"{\"width\": 4.5, \"height\": 3, \"regions\": []}", "not a whole number"},
        {"{\"width\": 4, \"height\": 3, \"regions\": [{\"x\": 1}]}", "record 0: expected every field"},
        {"{\"width\": 4, \"height\": 3, \"descriptor_length\": 2, \"frames\": [{\"x\": 1, \"y\": 2, "
         "\"frame\": [1, 0, 0, 1], \"ellipse\": [1, 0, 1], \"descriptor\": [1, 256]}]}",
         "record 0: expected x, y"},
        {"index,x,y,response,scale,lapScale,mi11,mi12,mi22,lapIndex,level,mode,a,b,c\n"
         "0,1,2,3,1,1,1,0,1,0,0,2,1,0.5,0.1\n",
         "record 0: not a finite positive definite ellipse"},
        {"index,region,x,y,a11,a12,a21,a22,a,b,c,d0\n0,0,1,2,1,0,0,1,1,0,1\n", "record 0: expected 12 cells"},
        {"0.  x=1, y=2, mi11=1, mi12=0, mi22=1\nnb of regions = 1\n", "legacy listing"},
        {"%YAML:1.0\n---\nkeypoints:\n   - [ 1, 2\nframes: 3\n", "not a readable OpenCV file"},
        {"123456789012345678901234567890\n0\n", "descriptor length 123456789012345678901234567890 out of range"},
        {singularBinaryFrame(), "record 0: not a finite positive definite ellipse"},
        {"%YAML:1.0\n---\n   -xhggmx\n2\nkeypoints:\n   - [190130 ]\n", "not an OpenCV file of keypoints"},
        {"%YAML:1.0\n---\ndescriptors: !!opencv-matrix\n   rows: 100000000\n   cols: 128\n   dt: u\n   data: [ 1 ]\n",
         "the descriptors matrix's rows and columns disagree with its data"},
    };
    for (const auto& [text, reason] : cases) {
        RegionFile file;
        std::string error;
        EXPECT_FALSE(readRegionText(text, file, error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << text << "\n" << error;
    }
}

TEST(RegionFiles, CommandsTakeEveryFormatAndTheRecordedImageSize)
{
    testsupport::TempDir dir;
    const std::string image = dir.file("scene.png");
    testsupport::writePngFile(image, testsupport::blobImage(160, 120));
    testsupport::writeFile(dir.file("identity.txt"), "1 0 0\n0 1 0\n0 0 1\n");
    struct Case {
        std::vector<std::string> options;
        bool sized;  // the file records the image size
        bool described;
    };
    const Case cases[] = {{{"-f", "ellipse"}, false, false},
                          {{"-f", "csv"}, false, false},
                          {{"-f", "json"}, true, false},
                          {{"-f", "opencv"}, true, true},
                          {{"--descriptor", "sift", "-f", "csv"}, false, true},
                          {{"--descriptor", "sift", "-f", "json"}, true, true},
                          {{"--descriptor", "sift", "-f", "binary"}, false, true}};
    for (const Case& c : cases) {
        // A misleading extension: the content decides.
        const std::string regions = dir.file("regions.dat");
        std::vector<std::string> detect = {"detect", "-o", regions, image};
        detect.insert(detect.begin() + 1, c.options.begin(), c.options.end());
        SCOPED_TRACE(detect[2]);
        ASSERT_EQ(runTolvane(detect).status, 0);
        EXPECT_EQ(runTolvane({"draw", image, regions, "-o", dir.file("drawn.png")}).status, 0);
        const auto measured = runTolvane({"repeatability", regions, regions, dir.file("identity.txt")});
        EXPECT_EQ(measured.status, c.sized ? 0 : 2) << measured.err;
        if (c.sized)
            EXPECT_NE(measured.out.find("repeatability: 100.0%"), std::string::npos) << measured.out;
        else
            EXPECT_NE(measured.err.find("WxH is required"), std::string::npos) << measured.err;
        if (c.described) {
            EXPECT_EQ(runTolvane({"match", regions, regions, "--model", "none"}).status, 0);
        }
    }
}

}  // namespace
