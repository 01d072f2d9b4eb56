// tolvane detect run as a process on image files of every supported format.
#include "support.h"

#include <gtest/gtest.h>

#include <tolvane/detect.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>

using namespace testsupport;

namespace {

const int kWidth = 168;
const int kHeight = 112;

class Detect : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeBinaryPgm(dir.file("scene.pgm"), blobImage(kWidth, kHeight));
        legacy = runProgram(TOLVANE_LN, {dir.file("scene.pgm")}).out;
        ASSERT_GT(linesOf(legacy).size(), 3u) << "the scene must have regions";
    }

    std::string detectLegacy(const std::string& path)
    {
        const ProcessResult result = runTolvane({"detect", "--format", "legacy", path});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        return result.out;
    }

    TempDir dir;
    std::string legacy;  // tolvane.ln's listing of the scene
};

TEST_F(Detect, BinaryPgmGivesExactlyTheListingOfTolvaneLn)
{
    EXPECT_EQ(detectLegacy(dir.file("scene.pgm")), legacy);
}

TEST_F(Detect, AsciiPgmPngAndPpmOfTheSameScene)
{
    writeAsciiPgm(dir.file("ascii.pgm"), blobImage(kWidth, kHeight));
    writePngFile(dir.file("grey.png"), blobImage(kWidth, kHeight));
    writePngFile(dir.file("colour.png"), colourBlobImage(kWidth, kHeight));
    writeBinaryPpm(dir.file("colour.ppm"), colourBlobImage(kWidth, kHeight));
    writeAsciiPpm(dir.file("ascii.ppm"), colourBlobImage(kWidth, kHeight));
    for (const char* name : {"ascii.pgm", "grey.png", "colour.png", "colour.ppm", "ascii.ppm"})
        EXPECT_EQ(detectLegacy(dir.file(name)), legacy) << name;
}

TEST_F(Detect, JpegFindsTheSameBlobs)
{
    writeJpegFile(dir.file("scene.jpg"), colourBlobImage(kWidth, kHeight), 95);
    const std::vector<std::string> fromJpeg = linesOf(detectLegacy(dir.file("scene.jpg")));
    const std::vector<std::string> fromPgm = linesOf(legacy);
    ASSERT_EQ(fromJpeg.size(), fromPgm.size());
    // Positions are those of the pyramid grid, so compression noise rarely
    // moves them; compare the x and y fields of every region.
    const std::regex position(R"(x=([^,]+), y=([^,]+),)");
    for (std::size_t i = 0; i + 1 < fromPgm.size(); ++i) {
        std::smatch a, b;
        ASSERT_TRUE(std::regex_search(fromJpeg[i], a, position));
        ASSERT_TRUE(std::regex_search(fromPgm[i], b, position));
        EXPECT_NEAR(std::stod(a[1]), std::stod(b[1]), 1.5) << fromJpeg[i];
        EXPECT_NEAR(std::stod(a[2]), std::stod(b[2]), 1.5) << fromJpeg[i];
    }
}

TEST_F(Detect, DefaultIsTheEllipseFormatOnStandardOutput)
{
    const ProcessResult result = runTolvane({"detect", dir.file("scene.pgm")});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> lines = linesOf(result.out);
    EXPECT_EQ(lines[0], "1.0");
    EXPECT_EQ(lines[1], std::to_string(linesOf(legacy).size() - 1));
    EXPECT_EQ(lines.size(), linesOf(legacy).size() + 1);
}

TEST_F(Detect, OptionsReachTheDetector)
{
    const auto count = [&](const std::vector<std::string>& options) {
        std::vector<std::string> args = {"detect", "-f", "csv"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(dir.file("scene.pgm"));
        const ProcessResult result = runTolvane(args);
        EXPECT_EQ(result.status, 0) << result.err;
        return linesOf(result.out).size() - 1;
    };
    const std::size_t standard = count({});
    EXPECT_EQ(count({"--detector", "hessian", "--threshold", "1000", "--iterations", "16"}), standard);
    EXPECT_LT(count({"--threshold", "1e9"}), standard);
    EXPECT_NE(count({"-d", "harris"}), 0u);

    // Without adaptation every shape stays the identity of mode 2.
    const ProcessResult raw = runTolvane({"detect", "-f", "csv", "-i", "0", dir.file("scene.pgm")});
    const std::vector<std::string> rows = linesOf(raw.out);
    ASSERT_GT(rows.size(), 1u);
    EXPECT_NE(rows[1].find(",1,0,1,"), std::string::npos) << rows[1];

    const ProcessResult json = runTolvane({"detect", "-f", "json", "-d", "harris", "-t", "2500", dir.file("scene.pgm")});
    EXPECT_NE(json.out.find("\"detector\": \"harris\",\n  \"threshold\": 2500,"), std::string::npos);
}

// The strongest regions of a photograph: a subset of the full list in its
// order, the same at any thread count; a larger count changes nothing.
TEST(DetectMaxRegions, KeepsTheStrongestWhateverTheThreads)
{
    const std::string photo = std::string(TOLVANE_GOLDEN_DIR) + "/stars-800x640.pgm";
    const auto csvRows = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"detect", "--detector", "harris", "--format", "csv", photo};
        args.insert(args.end(), extra.begin(), extra.end());
        const ProcessResult result = runTolvane(args);
        EXPECT_EQ(result.status, 0) << result.err;
        std::vector<std::string> rows = linesOf(result.out);
        rows.erase(rows.begin());
        for (std::string& row : rows)
            row = row.substr(row.find(','));  // without the index
        return rows;
    };
    const std::vector<std::string> all = csvRows({});
    ASSERT_GT(all.size(), 500u);
    const std::vector<std::string> strongest = csvRows({"--max-regions", "500", "--threads", "1"});
    ASSERT_EQ(strongest.size(), 500u);
    EXPECT_EQ(csvRows({"--max-regions", "500", "--threads", "7"}), strongest);
    EXPECT_TRUE(std::includes(all.begin(), all.end(), strongest.begin(), strongest.end(),
                              [&](const std::string& a, const std::string& b) {
                                  return std::find(all.begin(), all.end(), a) < std::find(all.begin(), all.end(), b);
                              }));
    EXPECT_EQ(csvRows({"-n", std::to_string(all.size() + 1)}), all);
}

TEST_F(Detect, RefinedModeWritesTheLibrarysEllipses)
{
    const tolvane::RasterImage scene = blobImage(kWidth, kHeight);
    tolvane::DetectorOptions options;
    options.mode = tolvane::Mode::Refined;
    const std::vector<tolvane::Region> expected =
        tolvane::detect(tolvane::ImageView(scene.samples.data(), kWidth, kHeight), options);
    ASSERT_FALSE(expected.empty());

    const ProcessResult result = runTolvane({"detect", "--mode", "refined", dir.file("scene.pgm")});
    ASSERT_EQ(result.status, 0) << result.err;
    std::istringstream in(result.out);
    std::string version;
    std::size_t count = 0;
    in >> version >> count;
    ASSERT_EQ(count, expected.size());
    for (const tolvane::Region& r : expected) {
        double x, y, a, b, c;
        in >> x >> y >> a >> b >> c;
        EXPECT_NEAR(x, r.x, 1e-4);
        EXPECT_NEAR(y, r.y, 1e-4);
        const double size = std::fabs(r.a) + std::fabs(r.c);
        for (const auto& [got, want] : {std::pair{a, r.a}, std::pair{b, r.b}, std::pair{c, r.c}})
            EXPECT_NEAR(got, want, 1e-5 * size);
    }
}

TEST_F(Detect, ModeOptionsAreChecked)
{
    struct Case {
        std::vector<std::string> options;
        int status;
    };
    const Case cases[] = {
        {{"-m", "refined", "--pyramid-factor", "1.1"}, 0},
        {{"--mode", "exact"}, 0},
        {{"--mode", "fast"}, 2},
        {{"--pyramid-factor", "1.1"}, 2},
        {{"-m", "refined", "--pyramid-factor", "0.9"}, 2},
        {{"-m", "refined", "-d", "harris"}, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"detect"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(dir.file("scene.pgm"));
        SCOPED_TRACE(args[2]);
        EXPECT_EQ(runTolvane(args).status, c.status);
    }
}

TEST_F(Detect, OutputFileReplacesAnOldOne)
{
    writeFile(dir.file("out.txt"), "stale contents that are longer than nothing");
    const ProcessResult result = runTolvane({"detect", "-f", "legacy", "-o", dir.file("out.txt"), dir.file("scene.pgm")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(readFile(dir.file("out.txt")), legacy);
}

TEST_F(Detect, ABadImageFailsWithItsName)
{
    writeFile(dir.file("broken.png"), "\x89PNG\r\n\x1a\n but nothing more");
    writeFile(dir.file("old.regions"), "kept");
    const ProcessResult result = runTolvane({"detect", "-o", dir.file("old.regions"), dir.file("broken.png")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("tolvane: " + dir.file("broken.png") + ": bad PNG: ", 0), 0u) << result.err;
    EXPECT_EQ(readFile(dir.file("old.regions")), "kept");
}

TEST_F(Detect, TinyImagesHaveNoRegions)
{
    writeBinaryPgm(dir.file("tiny.pgm"), blobImage(5, 5));
    EXPECT_EQ(detectLegacy(dir.file("tiny.pgm")), "nb of regions = 0\n");
}

class Batch : public Detect {
protected:
    void SetUp() override
    {
        Detect::SetUp();
        std::filesystem::create_directories(dir.file("in"));
        writePngFile(dir.file("in/a.png"), blobImage(kWidth, kHeight));
        writeJpegFile(dir.file("in/b.jpg"), colourBlobImage(kWidth, kHeight), 90);
        writeFile(dir.file("in/broken.jpg"), "\xff\xd8\xff\xe0 truncated");
        writeAsciiPgm(dir.file("in/c.pgm"), blobImage(kWidth / 2, kHeight));
        images = {dir.file("in/a.png"), dir.file("in/b.jpg"), dir.file("in/broken.jpg"), dir.file("in/c.pgm")};
    }

    ProcessResult runBatch(const std::string& outDir, const std::vector<std::string>& options)
    {
        std::vector<std::string> args = {"detect", "--out-dir", outDir};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), images.begin(), images.end());
        return runTolvane(args);
    }

    std::vector<std::string> images;
};

TEST_F(Batch, OneFilePerImageAndTheBrokenOneReported)
{
    const ProcessResult result = runBatch(dir.file("out"), {});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "tolvane: " + dir.file("in/broken.jpg") + ": bad JPEG: Premature end of JPEG file\n");
    EXPECT_TRUE(std::regex_match(result.out, std::regex(R"(4 images, 1 failed, \d+ regions, \d+\.\d seconds\n)"
                                                        "failed: .*broken.jpg: bad JPEG: .*\n")))
        << result.out;
    EXPECT_TRUE(std::filesystem::exists(dir.file("out/a.regions")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("out/b.regions")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("out/c.regions")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/broken.regions")));

    const ProcessResult single = runTolvane({"detect", dir.file("in/a.png")});
    EXPECT_EQ(readFile(dir.file("out/a.regions")), single.out);
}

TEST_F(Batch, ParallelJobsWriteWhatASequentialRunWrites)
{
    const ProcessResult sequential = runBatch(dir.file("seq"), {"-f", "json"});
    const ProcessResult parallel = runBatch(dir.file("par"), {"-f", "json", "--jobs", "3"});
    const ProcessResult threaded = runBatch(dir.file("thr"), {"-f", "json", "--jobs", "2", "--threads", "3"});
    EXPECT_EQ(sequential.status, 1);
    EXPECT_EQ(parallel.status, 1);
    EXPECT_EQ(parallel.err, sequential.err);
    EXPECT_EQ(threaded.err, sequential.err);
    for (const char* name : {"a.json", "b.json", "c.json"}) {
        const std::string expected = readFile(dir.file(std::string("seq/") + name));
        EXPECT_EQ(readFile(dir.file(std::string("par/") + name)), expected) << name;
        EXPECT_EQ(readFile(dir.file(std::string("thr/") + name)), expected) << name;
    }
    const std::string summaryStart = "4 images, 1 failed, ";
    EXPECT_EQ(parallel.out.substr(0, parallel.out.rfind(',')), sequential.out.substr(0, sequential.out.rfind(',')));
    EXPECT_EQ(parallel.out.rfind(summaryStart, 0), 0u);
}

TEST_F(Batch, AllGoodMeansExitZeroAndNoProgressBarOffTerminal)
{
    images = {dir.file("in/a.png"), dir.file("in/c.pgm")};
    const ProcessResult result = runBatch(dir.file("out"), {"-f", "legacy"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readFile(dir.file("out/a.txt")), legacy);
}

TEST_F(Batch, ImagesThatWouldShareAnOutputAreRefused)
{
    writePngFile(dir.file("in/a.jpg"), blobImage(20, 20));
    writePngFile(dir.file("in/a.png"), blobImage(20, 20));
    const ProcessResult result =
        runTolvane({"detect", "--out-dir", dir.file("out"), dir.file("in/a.jpg"), dir.file("in/a.png")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.rfind("tolvane: two images would both be written to " + dir.file("out/a.regions"), 0), 0u)
        << result.err;
}

TEST_F(Batch, FoldersMirrorTheirTreeAndARerunSkipsWhatIsDone)
{
    std::filesystem::create_directories(dir.file("in/day2/.thumbs"));
    writePngFile(dir.file("in/day2/a.png"), blobImage(kWidth / 2, kHeight / 2));
    writePngFile(dir.file("in/day2/.thumbs/a.png"), blobImage(kWidth, kHeight));
    writeFile(dir.file("in/day2/notes.txt"), "not an image");

    const ProcessResult flat = runTolvane({"detect", "--out-dir", dir.file("flat"), dir.file("in")});
    EXPECT_EQ(flat.out.rfind("4 images, 1 failed, ", 0), 0u) << flat.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("flat/day2")));

    const ProcessResult first = runTolvane({"detect", "-r", "--out-dir", dir.file("out"), dir.file("in")});
    EXPECT_EQ(first.out.rfind("5 images, 1 failed, ", 0), 0u) << first.out;
    EXPECT_EQ(readFile(dir.file("out/a.regions")), runTolvane({"detect", dir.file("in/a.png")}).out);
    EXPECT_EQ(readFile(dir.file("out/day2/a.regions")), runTolvane({"detect", dir.file("in/day2/a.png")}).out);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/day2/.thumbs")));

    std::filesystem::remove(dir.file("out/c.regions"));
    const std::string kept = readFile(dir.file("out/a.regions"));
    writeFile(dir.file("out/a.regions"), "kept");
    const ProcessResult rerun =
        runTolvane({"detect", "-r", "--skip-existing", "--out-dir", dir.file("out"), dir.file("in")});
    EXPECT_EQ(rerun.out.rfind("5 images, 3 skipped, 1 failed, ", 0), 0u) << rerun.out;
    EXPECT_EQ(readFile(dir.file("out/a.regions")), "kept");
    EXPECT_EQ(readFile(dir.file("out/c.regions")), runTolvane({"detect", dir.file("in/c.pgm")}).out);
}

TEST_F(Batch, SummaryFileListsTheFailuresWithTheirReasons)
{
    const ProcessResult result = runBatch(dir.file("out"), {"--summary", dir.file("summary.json")});
    EXPECT_EQ(result.status, 1);
    const std::string summary = readFile(dir.file("summary.json"));
    EXPECT_TRUE(std::regex_match(summary, std::regex(R"(\{
  "images": 4,
  "skipped": 0,
  "failed": 1,
  "regions": \d+,
  "seconds": \d+\.\d,
  "failures": \[
    \{"image": ".*/in/broken.jpg", "reason": "bad JPEG: Premature end of JPEG file"\}
  \]
\}
)"))) << summary;
}

}  // namespace
