// Where the tool's results go, run as a process: inputs are never
// overwritten, workers end with their parent, running out of descriptors
// slows a batch down instead of failing it, and write failures are reported.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class OutputPaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeBinaryPgm(dir.file("same.pgm"), blobImage(96, 64));
        writePngFile(dir.file("img.png"), blobImage(96, 64));
        ASSERT_EQ(runTolvane({"detect", "-o", dir.file("r.regions"), dir.file("img.png")}).status, 0);
        std::filesystem::create_directory(dir.file("out"));
        writeBinaryPgm(dir.file("out/a.regions"), blobImage(96, 64));
    }

    TempDir dir;
};

TEST_F(OutputPaths, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsWritten)
{
    ASSERT_EQ(symlink("same.pgm", dir.file("link.pgm").c_str()), 0);
    ASSERT_EQ(symlink("r.regions", dir.file("regions-link.png").c_str()), 0);
    const std::vector<std::vector<std::string>> commands = {
        {"detect", dir.file("same.pgm"), "-o", dir.file("same.pgm")},
        {"detect", dir.file("same.pgm"), "-o", dir.file("link.pgm")},
        {"detect", "--out-dir", dir.file("out"), dir.file("same.pgm"), dir.file("out/a.regions")},
        {"draw", dir.file("img.png"), dir.file("r.regions"), "-o", dir.file("regions-link.png")},
        {"draw", dir.file("img.png"), dir.file("r.regions"), "-o", dir.file("img.png")},
        {"repeatability", dir.file("r.regions"), dir.file("r.regions"), dir.file("H.txt"), "--size-a", "9x9",
         "--size-b", "9x9", "--plot", dir.file("r.regions")},
    };
    const std::string before = readFile(dir.file("same.pgm")) + readFile(dir.file("img.png")) +
                               readFile(dir.file("r.regions")) + readFile(dir.file("out/a.regions"));
    for (const auto& command : commands) {
        const ProcessResult result = runTolvane(command);
        EXPECT_EQ(result.status, 1) << command[0] << " " << command.back();
        EXPECT_NE(result.err.find("is the same file as the input"), std::string::npos) << result.err;
        EXPECT_EQ(linesOf(result.err).size(), 1u) << result.err;
    }
    EXPECT_EQ(readFile(dir.file("same.pgm")) + readFile(dir.file("img.png")) + readFile(dir.file("r.regions")) +
                  readFile(dir.file("out/a.regions")),
              before);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/same.regions")));
}

// Workers stuck reading FIFOs no one writes: once the parent is killed, no
// process holds the FIFOs open for reading any more.
TEST_F(OutputPaths, WorkersEndWithTheirParent)
{
    const std::string first = dir.file("first.pgm"), second = dir.file("second.pgm");
    ASSERT_EQ(mkfifo(first.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(second.c_str(), 0600), 0);
    const ProcessResult killed = runProgram(
        "/bin/sh", {"-c", "\"$0\" detect --jobs 2 --out-dir \"$1\" \"$2\" \"$3\" & sleep 1; kill -TERM $!; wait $!; "
                          "sleep 1",
                    TOLVANE_EXE, dir.file("batch"), first, second});
    EXPECT_EQ(killed.status, 0) << killed.err;
    for (const std::string& fifo : {first, second}) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_EQ(writer, -1) << fifo << " still has a reader";
        EXPECT_EQ(errno, ENXIO);
        if (writer >= 0)
            close(writer);
    }
}

TEST_F(OutputPaths, MoreJobsThanDescriptorsStillProcessEveryImage)
{
    std::vector<std::string> args = {"detect", "--jobs", "40", "--threads", "1", "--out-dir", dir.file("many")};
    for (int i = 0; i < 12; ++i) {
        const std::string image = dir.file("image" + std::to_string(i) + ".pgm");
        std::filesystem::copy_file(dir.file("same.pgm"), image);
        args.push_back(image);
    }
    RunOptions fewDescriptors;
    fewDescriptors.openFiles = 12;
    const ProcessResult result = runTolvane(args, fewDescriptors);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.rfind("12 images, 0 failed", 0), 0u) << result.out;
}

TEST_F(OutputPaths, WritingToAFullDeviceFails)
{
    RunOptions unused;
    const std::vector<std::vector<std::string>> commands = {
        {"--help"}, {"detect", "--help"}, {"detect", dir.file("same.pgm")},
        {"detect", "--out-dir", dir.file("summary"), dir.file("same.pgm")}};
    for (const auto& command : commands) {
        std::string line = "exec \"$0\"";
        for (std::size_t i = 0; i < command.size(); ++i)
            line += " \"$" + std::to_string(i + 1) + "\"";
        std::vector<std::string> args = {"-c", line + " > /dev/full", TOLVANE_EXE};
        args.insert(args.end(), command.begin(), command.end());
        const ProcessResult result = runProgram("/bin/sh", args, unused);
        EXPECT_EQ(result.status, 1) << command.back();
        EXPECT_EQ(result.err.rfind("tolvane: cannot write to standard output", 0), 0u) << result.err;
        EXPECT_EQ(linesOf(result.err).size(), 1u) << result.err;
    }
}

TEST_F(OutputPaths, FileNamesThatAreNotUtf8AreEscapedInJson)
{
    const std::string name = dir.file("caf\xe9-\xc3\xa9-\xff.pgm");
    std::filesystem::copy_file(dir.file("same.pgm"), name);
    const ProcessResult result = runTolvane({"detect", "-f", "json", name});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("caf\\udce9-\xc3\xa9-\\udcff.pgm\""), std::string::npos) << result.out.substr(0, 200);
}

}  // namespace
