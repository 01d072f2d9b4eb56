#include "region_formats.h"

#include "afflib.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

using namespace tolvane;
using testsupport::linesOf;

namespace {

AffRegion makeRecord(float x, float y, float scale, float mi11, float mi12, float mi22)
{
    AffRegion r{};
    r.x = x;
    r.y = y;
    r.response = 1234.5f;
    r.scale = scale;
    r.lapScale = 2.0736f;
    r.mi11 = mi11;
    r.mi12 = mi12;
    r.mi22 = mi22;
    r.lapIndex = 4;
    r.level = 3;
    r.mode = 2;
    return r;
}

// The region the library gives for a record: its fields and its ellipse.
Region regionOf(const AffRegion& record)
{
    ::Ellipse e{};
    EXPECT_TRUE(regionEllipse(record, e));
    Region r;
    r.x = record.x;
    r.y = record.y;
    r.response = record.response;
    r.scale = record.scale;
    r.lap_scale = record.lapScale;
    r.shape = {record.mi11, record.mi12, record.mi12, record.mi22};
    r.lap_index = record.lapIndex;
    r.level = record.level;
    r.a = e.a;
    r.b = e.b;
    r.c = e.c;
    return r;
}

class Formats : public ::testing::Test {
protected:
    std::string write(RegionFormat format)
    {
        std::ostringstream out;
        DetectionInfo info{"dir/photo \"1\".jpg", 640, 480, "hessian", 1000.0f, 16, 2};
        writeRegions(out, format, info, {regionOf(first), regionOf(identity)});
        return out.str();
    }

    AffRegion first = makeRecord(17.28f, 20.16f, 1.728f, 1.38f, 0.01f, 0.73f);
    AffRegion identity = makeRecord(100.0f, 0.5f, 1.0f, 1.0f, 0.0f, 1.0f);
};

std::vector<std::string> split(const std::string& line, char separator)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, separator))
        fields.push_back(field);
    if (!line.empty() && line.back() == separator)
        fields.push_back("");
    return fields;
}

TEST(FormatNames, ExactLowerCaseNames)
{
    RegionFormat format = RegionFormat::Legacy;
    ASSERT_TRUE(parseRegionFormat("json", format));
    EXPECT_EQ(format, RegionFormat::Json);
    ASSERT_TRUE(parseRegionFormat("ellipse", format));
    EXPECT_EQ(format, RegionFormat::Ellipse);
    EXPECT_FALSE(parseRegionFormat("JSON", format));
}

TEST(FormatNumbers, ShortestTextThatReadsBack)
{
    EXPECT_EQ(formatNumber(17.28f), "17.28");
    EXPECT_EQ(formatNumber(1000.0f), "1000");
    EXPECT_EQ(formatNumber(-0.5f), "-0.5");
    EXPECT_EQ(formatNumber(1.0 / 49.0), "0.02040816326530612");
    EXPECT_EQ(std::stod(formatNumber(1e-7)), 1e-7);
}

TEST_F(Formats, LegacyIsTheListingOfTolvaneLn)
{
    std::ostringstream listing;
    listRegions(listing, {&first, &identity});
    EXPECT_EQ(write(RegionFormat::Legacy), listing.str());
    EXPECT_EQ(linesOf(listing.str())[0], "0.  x=17.28, y=20.16, mi11=1.38, mi12=0.01, mi22=0.73");
}

TEST_F(Formats, EllipseFormatHasCountAndEllipses)
{
    const std::vector<std::string> lines = linesOf(write(RegionFormat::Ellipse));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "1.0");
    EXPECT_EQ(lines[1], "2");
    const std::vector<std::string> fields = split(lines[2], ' ');
    ASSERT_EQ(fields.size(), 5u);
    ::Ellipse e{};
    ASSERT_TRUE(regionEllipse(first, e));
    EXPECT_EQ(std::stof(fields[0]), 17.28f);
    EXPECT_EQ(std::stof(fields[1]), 20.16f);
    EXPECT_EQ(std::stod(fields[2]), e.a);
    EXPECT_EQ(std::stod(fields[3]), e.b);
    EXPECT_EQ(std::stod(fields[4]), e.c);
    EXPECT_EQ(lines[3], "100 0.5 0.02040816326530612 0 0.02040816326530612");
}

TEST_F(Formats, CsvHasEveryFieldUnderItsHeader)
{
    const std::vector<std::string> lines = linesOf(write(RegionFormat::Csv));
    ASSERT_EQ(lines.size(), 3u);
    const std::vector<std::string> header = split(lines[0], ',');
    const std::vector<std::string> expected = {"index", "x",    "y",        "response", "scale",
                                               "lapScale", "mi11", "mi12",  "mi22",     "lapIndex",
                                               "level", "mode", "a",        "b",        "c"};
    EXPECT_EQ(header, expected);
    const std::vector<std::string> row = split(lines[1], ',');
    ASSERT_EQ(row.size(), header.size());
    EXPECT_EQ(row[0], "0");
    EXPECT_EQ(row[1], "17.28");
    EXPECT_EQ(row[2], "20.16");
    EXPECT_EQ(row[3], "1234.5");
    EXPECT_EQ(row[4], "1.728");
    EXPECT_EQ(row[5], "2.0736");
    EXPECT_EQ(row[6], "1.38");
    EXPECT_EQ(row[7], "0.01");
    EXPECT_EQ(row[8], "0.73");
    EXPECT_EQ(row[9], "4");
    EXPECT_EQ(row[10], "3");
    EXPECT_EQ(row[11], "2");
    ::Ellipse e{};
    ASSERT_TRUE(regionEllipse(first, e));
    EXPECT_EQ(std::stod(row[12]), e.a);
    EXPECT_EQ(std::stod(row[13]), e.b);
    EXPECT_EQ(std::stod(row[14]), e.c);
}

TEST_F(Formats, JsonHasTheRunAndEveryField)
{
    const std::string json = write(RegionFormat::Json);
    const std::vector<std::string> lines = linesOf(json);
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0], "{");
    EXPECT_EQ(lines[1], "  \"image\": \"dir/photo \\\"1\\\".jpg\",");
    EXPECT_EQ(lines[2], "  \"width\": 640,");
    EXPECT_EQ(lines[3], "  \"height\": 480,");
    EXPECT_EQ(lines[4], "  \"detector\": \"hessian\",");
    EXPECT_EQ(lines[5], "  \"threshold\": 1000,");
    EXPECT_EQ(lines[6], "  \"iterations\": 16,");
    EXPECT_EQ(lines[7], "  \"regions\": [");
    ::Ellipse e{};
    ASSERT_TRUE(regionEllipse(first, e));
    EXPECT_EQ(lines[8], "    {\"index\": 0, \"x\": 17.28, \"y\": 20.16, \"response\": 1234.5, \"scale\": 1.728, "
                        "\"lapScale\": 2.0736, \"mi11\": 1.38, \"mi12\": 0.01, \"mi22\": 0.73, \"lapIndex\": 4, "
                        "\"level\": 3, \"mode\": 2, \"a\": " + formatNumber(e.a) + ", \"b\": " +
                        formatNumber(e.b) + ", \"c\": " + formatNumber(e.c) + "},");
    EXPECT_EQ(lines[9].back(), '}');
    EXPECT_EQ(lines[10], "  ]");
    EXPECT_EQ(lines[11], "}");
}

TEST(FormatsEmpty, NoRegions)
{
    std::ostringstream json, ellipse, csv;
    DetectionInfo info{"a.pgm", 10, 10, "harris", 1000.0f, 0};
    writeRegions(json, RegionFormat::Json, info, {});
    writeRegions(ellipse, RegionFormat::Ellipse, info, {});
    writeRegions(csv, RegionFormat::Csv, info, {});
    EXPECT_NE(json.str().find("\"regions\": []\n}\n"), std::string::npos);
    EXPECT_EQ(ellipse.str(), "1.0\n0\n");
    EXPECT_EQ(linesOf(csv.str()).size(), 1u);
}

// Formatted in parts on several threads, a long listing keeps every line
// once and in order, whatever the number of threads and regions.
TEST(FormatsThreads, LongEllipseListingIsTheSameOnAnyNumberOfThreads)
{
    for (const std::size_t count : {std::size_t{4095}, std::size_t{3 * 4096 + 7}}) {
        std::vector<Region> regions;
        for (std::size_t k = 0; k < count; ++k)
            regions.push_back(regionOf(makeRecord(0.5f * k, 1.0f / (k + 1), 1.2f, 1.0f + k % 7, 0.1f, 1.5f)));
        std::ostringstream one;
        writeRegions(one, RegionFormat::Ellipse, DetectionInfo{}, regions, 1);
        ASSERT_EQ(linesOf(one.str()).size(), count + 2);
        EXPECT_EQ(linesOf(one.str())[count + 1].rfind(formatNumber(0.5f * (count - 1)) + ' ', 0), 0u);
        for (const int threads : {2, 3, 8}) {
            std::ostringstream several;
            writeRegions(several, RegionFormat::Ellipse, DetectionInfo{}, regions, threads);
            EXPECT_EQ(several.str(), one.str()) << count << " regions, " << threads << " threads";
        }
    }
}

TEST(EllipseReader, ReadsBackWhatIsWritten)
{
    const AffRegion r = makeRecord(33.5f, 44.25f, 2.48832f, 1.2f, -0.3f, 0.9f);
    std::ostringstream out;
    writeRegions(out, RegionFormat::Ellipse, DetectionInfo{}, {regionOf(r)});
    std::istringstream in(out.str());
    std::vector<tolvane::Ellipse> ellipses;
    std::string error;
    ASSERT_TRUE(readEllipses(in, ellipses, error)) << error;
    ASSERT_EQ(ellipses.size(), 1u);
    ::Ellipse e{};
    ASSERT_TRUE(regionEllipse(r, e));
    EXPECT_EQ(ellipses[0].x, e.x);
    EXPECT_EQ(ellipses[0].y, e.y);
    EXPECT_EQ(ellipses[0].a, e.a);
    EXPECT_EQ(ellipses[0].b, e.b);
    EXPECT_EQ(ellipses[0].c, e.c);
}

TEST(EllipseReader, ToleratesBlankLinesAndDescriptorColumns)
{
    std::istringstream in("128\n2\n\n1 2 0.1 0 0.1 7 7 7\n3 4 0.2 0.05 0.3\n\n");
    std::vector<tolvane::Ellipse> ellipses;
    std::string error;
    ASSERT_TRUE(readEllipses(in, ellipses, error)) << error;
    ASSERT_EQ(ellipses.size(), 2u);
    EXPECT_EQ(ellipses[1].b, 0.05);
}

TEST(EllipseReader, RejectsMalformedFiles)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", "not an ellipse region file: no first line with one number"},
        {"1.0\n", "line 1: expected the number of regions"},
        {"1.0\n2.5\n", "line 2: expected the number of regions"},
        {"1.0\n1\n1 2 3 4\n", "line 3: expected the five numbers x y a b c"},
        {"1.0\n1\n1 2 0.1 x 0.1\n", "line 3: expected the five numbers x y a b c"},
        {"1.0\n1\n1 2 0.1 0.2 0.1\n", "line 3: [[a, b], [b, c]] is not a finite positive definite matrix"},
        {"1.0\n1\n1 2 -1 0 -1\n", "line 3: [[a, b], [b, c]] is not a finite positive definite matrix"},
        {"1.0\n1\n1 2 1 0 1\n3 4 1 0 1\n", "line 4: more region lines than the count 1"},
        {"1.0\n3\n1 2 1 0 1\n", "the file announces 3 regions but has 1"},
    };
    for (const auto& [text, reason] : cases) {
        std::istringstream in(text);
        std::vector<tolvane::Ellipse> ellipses;
        std::string error;
        EXPECT_FALSE(readEllipses(in, ellipses, error)) << text;
        EXPECT_EQ(error, reason) << text;
    }
}

}  // namespace
