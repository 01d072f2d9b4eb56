// tolvane detect run as a process on the pinned photographs: the ellipse
// output of both detectors must match the pinned files byte for byte,
// whatever the number of threads. TOLVANE_UPDATE_GOLDEN=1 rewrites the pinned
// files from a one-thread run instead of comparing.
#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

using namespace testsupport;

namespace {

const std::string kImages[] = {"camera", "coffee", "rocket", "stars-800x640"};
const std::string kDetectors[] = {"hessian", "harris"};
const int kThreadCounts[] = {1, 2, 7};

bool updating()
{
    const char* flag = std::getenv("TOLVANE_UPDATE_GOLDEN");
    return flag && std::string(flag) == "1";
}

std::string goldenFile(const std::string& name)
{
    return std::string(TOLVANE_GOLDEN_DIR) + "/" + name;
}

// The standard output of `tolvane detect --format ellipse`.
std::string detectEllipses(const std::string& image, const std::string& detector, int threads)
{
    const ProcessResult result = runTolvane({"detect", "--format", "ellipse", "--detector", detector, "--threads",
                                             std::to_string(threads), goldenFile(image + ".pgm")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return result.out;
}

// "line N" of the first line that differs, to point at the change without
// printing whole files.
std::string firstDifference(const std::string& actual, const std::string& expected)
{
    const std::vector<std::string> a = linesOf(actual);
    const std::vector<std::string> b = linesOf(expected);
    std::size_t line = 0;
    while (line < a.size() && line < b.size() && a[line] == b[line])
        ++line;
    if (line == a.size() && line == b.size())
        return "a difference in line endings";
    return "line " + std::to_string(line + 1) + ": '" + (line < a.size() ? a[line] : "(none)") + "' instead of '" +
           (line < b.size() ? b[line] : "(none)") + "'";
}

class GoldenEllipses : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(GoldenEllipses, SameBytesForEveryThreadCount)
{
    const auto& [image, detector] = GetParam();
    const std::string pinnedPath = goldenFile(image + "." + detector + ".ellipse");
    if (updating())
        writeFile(pinnedPath, detectEllipses(image, detector, 1));
    const std::string pinned = readFile(pinnedPath);
    ASSERT_FALSE(pinned.empty()) << "missing " << pinnedPath;
    for (const int threads : kThreadCounts) {
        const std::string output = detectEllipses(image, detector, threads);
        EXPECT_TRUE(output == pinned) << image << ", " << detector << ", " << threads
                                      << " thread(s): " << firstDifference(output, pinned);
    }
}

std::string caseName(const ::testing::TestParamInfo<GoldenEllipses::ParamType>& info)
{
    std::string name = std::get<0>(info.param) + "_" + std::get<1>(info.param);
    for (char& c : name)
        if (c == '-')
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Photographs, GoldenEllipses,
                         ::testing::Combine(::testing::ValuesIn(kImages), ::testing::ValuesIn(kDetectors)),
                         caseName);

}  // namespace
