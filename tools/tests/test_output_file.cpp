#include "output_file.h"
#include "progress.h"

#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include <sys/stat.h>

using namespace tolvane;

namespace {

std::size_t entriesIn(const std::string& dir)
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

TEST(AtomicOutput, ReplacesTheFileAndLeavesNoTemporary)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("out.regions");
    testsupport::writeFile(path, "old");
    std::string error;
    ASSERT_TRUE(writeTextFileAtomically(path, [](std::ostream& out) { out << "new\n"; }, error)) << error;
    EXPECT_EQ(testsupport::readFile(path), "new\n");
    EXPECT_EQ(entriesIn(dir.path), 1u);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IRGRP, 0u) << "the output keeps the usual permissions";
}

TEST(AtomicOutput, AFailedWriteKeepsTheOldFile)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("out.png");
    testsupport::writeFile(path, "old");
    std::string error;
    EXPECT_FALSE(replaceFileAtomically(
        path,
        [](const std::string& temp, std::string& e) {
            testsupport::writeFile(temp, "half");
            e = "disk full";
            return false;
        },
        error));
    EXPECT_EQ(error, "disk full");
    EXPECT_EQ(testsupport::readFile(path), "old");
    EXPECT_EQ(entriesIn(dir.path), 1u);
}

TEST(AtomicOutput, MissingDirectoryIsReported)
{
    testsupport::TempDir dir;
    std::string error;
    EXPECT_FALSE(writeTextFileAtomically(dir.file("no/such/out.txt"), [](std::ostream&) {}, error));
    EXPECT_EQ(error.rfind("cannot create a temporary file: ", 0), 0u) << error;
}

TEST(Progress, LineShowsTheShareDone)
{
    EXPECT_EQ(progressLine(0, 4, 8), "[        ] 0/4 images");
    EXPECT_EQ(progressLine(1, 4, 8), "[##      ] 1/4 images");
    EXPECT_EQ(progressLine(4, 4, 8), "[########] 4/4 images");
}

}  // namespace
