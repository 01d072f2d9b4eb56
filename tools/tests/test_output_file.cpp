#include "output_file.h"
#include "progress.h"

#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include <csignal>
#include <cstdio>
#include <thread>
#include <tuple>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    ASSERT_TRUE(writeTextOutputFile(path, [](std::ostream& out) { out << "new\n"; }, error)) << error;
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
    EXPECT_FALSE(writeOutputFile(
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

std::string modeOf(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return "missing";
    const char* kind = S_ISLNK(info.st_mode) ? "link" : S_ISFIFO(info.st_mode) ? "fifo" : "file";
    char text[32];
    std::snprintf(text, sizeof text, "%s %04o", kind, static_cast<unsigned>(info.st_mode & 07777));
    return text;
}

// What the output path is stays what it is: a regular file is replaced
// keeping its permission bits, a link is followed, a FIFO is written into.
TEST(OutputPaths, EveryKindOfPathKeepsItsKind)
{
    testsupport::TempDir dir;
    const std::string file = dir.file("file"), fifo = dir.file("fifo");
    testsupport::writeFile(file, "old");
    chmod(file.c_str(), 0640);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink("file", dir.file("link-to-file").c_str()), 0);
    ASSERT_EQ(symlink("fifo", dir.file("link-to-fifo").c_str()), 0);
    ASSERT_EQ(symlink("new", dir.file("dangling").c_str()), 0);
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"file", "file", "file 0640"},
        {"link-to-file", "file", "link 0777"},
        {"dangling", "new", "link 0777"},
        {"fifo", "fifo", "fifo 0600"},
        {"link-to-fifo", "fifo", "link 0777"},
    };
    for (const auto& [output, written, mode] : cases) {
        SCOPED_TRACE(output);
        std::string read;
        std::thread reader;
        if (std::string(written) == "fifo")
            reader = std::thread([&] { read = testsupport::readFile(fifo); });
        std::string error;
        EXPECT_TRUE(writeTextOutputFile(dir.file(output), [](std::ostream& out) { out << "new\n"; }, error)) << error;
        if (reader.joinable())
            reader.join();
        else
            read = testsupport::readFile(dir.file(written));
        EXPECT_EQ(read, "new\n");
        EXPECT_EQ(modeOf(dir.file(output)), mode);
    }
    EXPECT_EQ(entriesIn(dir.path), 6u) << "no temporary file is left";
}

TEST(OutputPaths, WriteErrorsSayWhy)
{
    testsupport::TempDir dir;
    ASSERT_EQ(symlink("/dev/full", dir.file("full").c_str()), 0);
    std::string error;
    EXPECT_FALSE(writeTextOutputFile(dir.file("full"), [](std::ostream& out) { out << "text\n"; }, error));
    EXPECT_EQ(error, "cannot write: No space left on device");
}

// A signal that ends the process during a write takes the temporary file
// with it and leaves the old output.
TEST(OutputPaths, TerminatingSignalsRemoveTheTemporaryFile)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        testsupport::TempDir dir;
        const std::string path = dir.file("out.regions");
        testsupport::writeFile(path, "old");
        const pid_t pid = fork();
        if (pid == 0) {
            removeTemporaryFilesOnSignals();
            std::string error;
            writeOutputFile(
                path,
                [&](const std::string& target, std::string&) {
                    testsupport::writeFile(target, "half");
                    raise(signal);
                    return true;
                },
                error);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        EXPECT_EQ(testsupport::readFile(path), "old");
        EXPECT_EQ(entriesIn(dir.path), 1u) << signal;
    }
}

TEST(AtomicOutput, MissingDirectoryIsReported)
{
    testsupport::TempDir dir;
    std::string error;
    EXPECT_FALSE(writeTextOutputFile(dir.file("no/such/out.txt"), [](std::ostream&) {}, error));
    EXPECT_EQ(error.rfind("cannot create a temporary file: ", 0), 0u) << error;
}

TEST(Progress, LineShowsTheShareDoneTheRateAndTheTimeLeft)
{
    EXPECT_EQ(progressLine(0, 4, 0.0, 8), "[        ] 0/4 images");
    EXPECT_EQ(progressLine(1, 4, 2.0, 8), "[##      ] 1/4 images, 0.5/s, 0:06 left");
    EXPECT_EQ(progressLine(4, 400, 2.0, 8), "[        ] 4/400 images, 2.0/s, 3:18 left");
    EXPECT_EQ(progressLine(4, 4, 2.0, 8), "[########] 4/4 images, 2.0/s, 0:00 left");
}

}  // namespace
