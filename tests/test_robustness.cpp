// Hostile and degenerate inputs run through the program as a process, and the
// detectors' memory ownership (clean under the leak checker).
#include "afflib.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The address sanitizer reserves terabytes of address space, so the child's
// address-space limit can only be applied in an unsanitized build.
#if defined(__SANITIZE_ADDRESS__)
#define TOLVANE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOLVANE_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef TOLVANE_ADDRESS_SANITIZER
const bool kCanLimitAddressSpace = false;
#else
const bool kCanLimitAddressSpace = true;
#endif

const unsigned kTimeLimitSeconds = 60;
const rlim_t kAddressSpaceLimit = rlim_t(1) << 30;

struct ProcessResult {
    bool exited = false;  // ended by exit(), not by a signal
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void redirect(const std::string& path, int fd)
{
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (file < 0 || ::dup2(file, fd) < 0)
        ::_exit(127);
    ::close(file);
}

// Runs the program on one argument with a time limit (and, where possible,
// a 1 GiB address-space limit), capturing both output streams.
ProcessResult runProgram(const std::string& argument, const std::filesystem::path& dir)
{
    const std::string outPath = (dir / "stdout.txt").string();
    const std::string errPath = (dir / "stderr.txt").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        redirect(outPath, STDOUT_FILENO);
        redirect(errPath, STDERR_FILENO);
        if (kCanLimitAddressSpace) {
            const rlimit limit{kAddressSpaceLimit, kAddressSpaceLimit};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        ::alarm(kTimeLimitSeconds);  // kept across exec: a hang ends by SIGALRM
        ::execl(TOLVANE_LN, TOLVANE_LN, argument.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ProcessResult run;
    int wstatus = 0;
    if (pid < 0 || ::waitpid(pid, &wstatus, 0) != pid)
        return run;
    run.exited = WIFEXITED(wstatus);
    run.status = run.exited ? WEXITSTATUS(wstatus) : WTERMSIG(wstatus);
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    return run;
}

size_t countLines(const std::string& text)
{
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

// A listing: status 0, nothing on stderr, one line per region and the count.
::testing::AssertionResult listsRegions(const ProcessResult& run)
{
    if (!run.exited || run.status != 0 || !run.err.empty())
        return ::testing::AssertionFailure()
               << (run.exited ? "exit status " : "signal ") << run.status << ", stderr: " << run.err;
    const size_t countLine = run.out.rfind("nb of regions = ");
    if (countLine == std::string::npos || run.out.back() != '\n')
        return ::testing::AssertionFailure() << "no count line in: " << run.out;
    const std::string count = run.out.substr(countLine + 16, run.out.size() - countLine - 17);
    if (count != std::to_string(countLines(run.out) - 1))
        return ::testing::AssertionFailure() << "count " << count << " for "
                                             << countLines(run.out) - 1 << " region lines";
    return ::testing::AssertionSuccess();
}

// A refusal: status 1, nothing on stdout, one stderr line naming the file.
::testing::AssertionResult refuses(const ProcessResult& run, const std::string& path)
{
    const std::string prefix = "tolvane.ln: ";
    if (!run.exited || run.status != 1)
        return ::testing::AssertionFailure()
               << (run.exited ? "exit status " : "signal ") << run.status << ", stderr: " << run.err;
    if (!run.out.empty())
        return ::testing::AssertionFailure() << "stdout: " << run.out;
    if (countLines(run.err) != 1 || run.err.back() != '\n' || run.err.rfind(prefix, 0) != 0 ||
        run.err.find(path) == std::string::npos)
        return ::testing::AssertionFailure() << "stderr: " << run.err;
    return ::testing::AssertionSuccess();
}

std::string pgm(int width, int height, const std::string& raster)
{
    return "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n" + raster;
}

// Deterministic pseudo-random bytes (a 32-bit linear congruential sequence).
std::string noise(size_t count, uint32_t seed)
{
    std::string bytes(count, '\0');
    for (char& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<char>(seed >> 24);
    }
    return bytes;
}

class ProgramOn : public ScratchDirTest {
protected:
    ProcessResult runOn(const std::string& bytes)
    {
        path_ = write("input.pgm", bytes);
        return runProgram(path_, dir_);
    }
    std::string path_;
};

TEST_F(ProgramOn, MalformedHeadersAreRefused)
{
    const char* headers[] = {
        "",                             // empty file
        "P5\n",                         // magic only
        "P5\n# comment\n",              // comment, then nothing
        "P5\n16 16",                    // no maximum grey value
        "P5\n16 16\n255",               // no separator before the raster
        "P5\n-16 16\n255\n",            // negative width
        "P5\n16 -1\n255\n",             // negative height
        "P5\n99999999999 16\n255\n",    // more digits than an int holds
        "P5\n16 -99999999999\n255\n",
        "P5\n65536 65536\n255\n",       // width x height overflows an int
        "P5\n100000 100000\n255\n",
        "P5\n0 2000000000\n255\n",     // no pixels, but a huge row table
    };
    for (const char* header : headers)
        EXPECT_TRUE(refuses(runOn(header + std::string(64, 'x')), path_)) << "header: " << header;
}

TEST_F(ProgramOn, ShortRastersAreRefused)
{
    EXPECT_TRUE(refuses(runOn(pgm(16, 16, "")), path_));
    EXPECT_TRUE(refuses(runOn(pgm(16, 16, noise(255, 1))), path_));
    // Refused before any large allocation: the child's address space is
    // limited to 1 GiB, below the 1.6 GB raster or the 6.4 GB image announced.
    EXPECT_TRUE(refuses(runOn(pgm(40000, 40000, noise(4096, 2))), path_));
}

TEST_F(ProgramOn, MissingFileAndDirectoryAreRefused)
{
    const std::string missing = (dir_ / "missing.pgm").string();
    EXPECT_TRUE(refuses(runProgram(missing, dir_), missing));
    const std::string directory = (dir_ / "a_directory").string();
    std::filesystem::create_directory(directory);
    EXPECT_TRUE(refuses(runProgram(directory, dir_), directory));
}

TEST_F(ProgramOn, OtherFormatsAndNonDecimalHeadersAreRefused)
{
    const char* headers[] = {
        "\x89PNG\r\n\x1a\n\0\0\0\rIHDR",  // PNG
        "\xff\xd8\xff\xe0\0\x10JFIF",        // JPEG
        "P2\n4 4\n255\n",                   // ASCII PGM
        "P6\n4 4\n255\n",                   // PPM
        "ab cd\n",
        "P5\nwide 16\n255\n",
        "P5\n16 high\n255\n",
        "P5\n4 4\n65535\n",                 // 16-bit samples
        "P5\n4 4\n0\n",
    };
    for (const char* header : headers)
        EXPECT_TRUE(refuses(runOn(header + noise(64, 7)), path_)) << "header: " << header;
}

TEST_F(ProgramOn, SmallMaximumGreyGivesTheRegionsOfTheScaledImage)
{
    // Samples 0..15 of maximum 15 scale to exactly 17 times their value.
    std::string low = noise(160 * 120, 8);
    std::string full = low;
    for (std::size_t i = 0; i < low.size(); ++i) {
        low[i] = static_cast<char>(static_cast<unsigned char>(low[i]) % 16);
        full[i] = static_cast<char>(17 * low[i]);
    }
    const ProcessResult scaled = runOn("P5\n160 120\n15\n" + low);
    ASSERT_TRUE(listsRegions(scaled));
    EXPECT_NE(scaled.out, "nb of regions = 0\n");
    EXPECT_EQ(scaled.out, runOn(pgm(160, 120, full)).out);
}

TEST_F(ProgramOn, EmptySidesListNoRegions)
{
    const char* headers[] = {"P5\n0 16\n255\n", "P5\n16 0\n255\n", "P5\n0 0\n255\n"};
    for (const char* header : headers) {
        const ProcessResult run = runOn(header);
        EXPECT_TRUE(listsRegions(run)) << "header: " << header;
        EXPECT_EQ(run.out, "nb of regions = 0\n");
    }
}

TEST_F(ProgramOn, EverySmallSquareRuns)
{
    for (int side = 1; side <= 20; ++side)
        EXPECT_TRUE(listsRegions(runOn(pgm(side, side, noise(side * side, side))))) << side;
}

TEST_F(ProgramOn, ThinStripsRun)
{
    EXPECT_TRUE(listsRegions(runOn(pgm(1, 5000, noise(5000, 3)))));
    EXPECT_TRUE(listsRegions(runOn(pgm(5000, 1, noise(5000, 4)))));
}

TEST_F(ProgramOn, ConstantImageHasNoRegions)
{
    const ProcessResult run = runOn(pgm(64, 48, std::string(64 * 48, '\x80')));
    EXPECT_TRUE(listsRegions(run));
    EXPECT_EQ(run.out, "nb of regions = 0\n");
}

TEST_F(ProgramOn, NoiseListsTheSameRegionsEveryRun)
{
    const ProcessResult first = runOn(pgm(160, 120, noise(160 * 120, 5)));
    ASSERT_TRUE(listsRegions(first));
    EXPECT_NE(first.out, "nb of regions = 0\n");
    const ProcessResult second = runProgram(path_, dir_);
    EXPECT_EQ(second.out, first.out);
}

// An image of two Gaussian blobs on a mid-grey ground: both detectors find
// regions on it.
std::unique_ptr<DERY> twoBlobs()
{
    auto image = std::make_unique<DERY>(60, 80);
    for (int r = 0; r < image->rows; ++r)
        for (int c = 0; c < image->cols; ++c) {
            const double a = std::exp(-((c - 25.0) * (c - 25.0) + (r - 30.0) * (r - 30.0)) / 18.0);
            const double b = std::exp(-((c - 55.0) * (c - 55.0) + (r - 28.0) * (r - 28.0)) / 50.0);
            image->pixels[r][c] = static_cast<float>(60.0 + 180.0 * a - 50.0 * b);
        }
    return image;
}

void deleteAll(std::vector<AffRegion*>& regions)
{
    for (AffRegion* region : regions)
        delete region;
    regions.clear();
}

std::unique_ptr<DERY> noiseImage(int rows, int cols, uint32_t seed)
{
    auto image = std::make_unique<DERY>(rows, cols);
    const std::string bytes = noise(image->size, seed);
    for (int i = 0; i < image->size; ++i)
        image->pixels[0][i] = static_cast<unsigned char>(bytes[i]);
    return image;
}

// Run under the leak checker, this shows that the detectors free every image
// they make and that the caller owns exactly the regions returned.
TEST(DetectorOwnership, CallerFreesWhatTheDetectorsReturn)
{
    auto image = twoBlobs();
    std::vector<AffRegion*> regions;
    multi_scale_hes(image.get(), regions, 1000.0f, 16);
    EXPECT_FALSE(regions.empty());
    deleteAll(regions);
    for (int budget : {0, 1, 16}) {
        multi_scale_har(image.get(), regions, 1000.0f, budget);
        EXPECT_FALSE(regions.empty()) << budget;
        deleteAll(regions);
    }
}

// Every shape up to 20 x 20, including those below the filters' minimum
// size; under the address sanitizer any read outside an image fails here.
TEST(SmallImages, BothDetectorsRunOnEverySizeUpTo20)
{
    std::vector<AffRegion*> regions;
    for (int rows = 1; rows <= 20; ++rows)
        for (int cols = 1; cols <= 20; ++cols) {
            auto image = noiseImage(rows, cols, rows * 100 + cols);
            multi_scale_hes(image.get(), regions, 1000.0f, 16);
            if (rows <= 15 || cols <= 15) {
                EXPECT_TRUE(regions.empty()) << rows << " x " << cols;
            }
            deleteAll(regions);
            multi_scale_har(image.get(), regions, 1000.0f, 16);
            deleteAll(regions);
        }
}

}  // namespace
