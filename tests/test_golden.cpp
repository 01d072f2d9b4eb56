// Pinned outputs of both detectors on real photographs: every change to the
// library (an optimisation, threads) must keep them byte for byte.
// TOLVANE_UPDATE_GOLDEN=1 rewrites the pinned files instead of comparing.
#include "afflib.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kImages[] = {"camera", "coffee", "rocket", "stars-800x640"};
const std::string kGoldenDir = std::string(TOLVANE_SOURCE_DIR) + "/tests/golden/";

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool updating()
{
    const char* flag = std::getenv("TOLVANE_UPDATE_GOLDEN");
    return flag && std::string(flag) == "1";
}

void expectGolden(const std::string& name, const std::string& actual)
{
    const std::string path = kGoldenDir + name;
    if (updating()) {
        std::ofstream(path, std::ios::binary) << actual;
        return;
    }
    const std::string expected = slurp(path);
    ASSERT_FALSE(expected.empty()) << "missing " << path;
    EXPECT_TRUE(actual == expected) << name << " differs from its pinned output";
}

using Detector = void (*)(DERY*, std::vector<AffRegion*>&, float, int, int);

// Every field of every region, with enough digits to tell any two floats apart.
std::string fullRecord(const std::vector<AffRegion*>& regions)
{
    std::ostringstream out;
    out.precision(9);
    for (const AffRegion* r : regions)
        out << r->x << ' ' << r->y << ' ' << r->response << ' ' << r->scale << ' ' << r->lapScale << ' '
            << r->mi11 << ' ' << r->mi12 << ' ' << r->mi22 << ' ' << r->lapIndex << ' ' << r->level << ' '
            << r->mode << '\n';
    return out.str();
}

std::string detectAll(const std::string& image, Detector detect, int threads)
{
    std::string error;
    std::unique_ptr<DERY> input(readPGM((kGoldenDir + image + ".pgm").c_str(), error));
    EXPECT_TRUE(input) << error;
    if (!input)
        return {};
    std::vector<AffRegion*> regions;
    detect(input.get(), regions, 1000.0f, 16, threads);
    const std::string record = fullRecord(regions);
    for (AffRegion* region : regions)
        delete region;
    return record;
}

TEST(Golden, TolvaneLnListing)
{
    for (const char* image : kImages) {
        const std::string output = std::string("golden-") + image + ".tmp";
        const std::string command =
            std::string("'") + TOLVANE_LN + "' '" + kGoldenDir + image + ".pgm' > '" + output + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const std::string actual = slurp(output);
        std::remove(output.c_str());
        expectGolden(std::string(image) + ".hessian.txt", actual);
    }
}

TEST(Golden, BothDetectorsAtAnyThreadCount)
{
    for (const char* image : kImages) {
        for (int threads : {1, 2, 7}) {
            SCOPED_TRACE(std::string(image) + " with " + std::to_string(threads) + " threads");
            if (threads > 1 && updating())
                continue;
            expectGolden(std::string(image) + ".hessian.regions", detectAll(image, multi_scale_hes, threads));
            expectGolden(std::string(image) + ".harris.regions", detectAll(image, multi_scale_har, threads));
        }
    }
}

}  // namespace
