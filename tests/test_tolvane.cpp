// The tolvane.ln program, run as a process.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tolvane-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    Outcome run(const std::string& args)
    {
        const std::string out = dir + "/stdout", err = dir + "/stderr";
        const std::string command = std::string("'") + TOLVANE_LN + "' " + args + " >" + out + " 2>" + err;
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    }

    std::string writeFile(const std::string& name, const std::string& bytes)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string writePgm(const std::string& name, int width, int height, unsigned char value)
    {
        std::ostringstream pgm;
        pgm << "P5\n" << width << " " << height << "\n255\n"
            << std::string(static_cast<size_t>(width) * height, static_cast<char>(value));
        return writeFile(name, pgm.str());
    }

    std::string dir;
};

TEST_F(Program, WithoutArgumentPrintsUsage)
{
    const Outcome result = run("");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "usage: ./tolvane.ln image.pgm\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(Program, ImageWithoutRegionsPrintsOnlyTheCount)
{
    const std::string flat = writePgm("flat.pgm", 40, 30, 128);
    const Outcome result = run("'" + flat + "'");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "nb of regions = 0\n");
    EXPECT_EQ(result.err, "");
    // Further arguments are ignored.
    const Outcome twice = run("'" + flat + "' ignored.pgm");
    EXPECT_EQ(twice.status, 0);
    EXPECT_EQ(twice.out, result.out);
}

TEST_F(Program, TinyImagesRunCleanly)
{
    for (int side : {0, 1, 5, 9, 15}) {
        const std::string path = writePgm("tiny" + std::to_string(side) + ".pgm", side, side, 90);
        const Outcome result = run("'" + path + "'");
        EXPECT_EQ(result.status, 0) << side;
        EXPECT_EQ(result.out, "nb of regions = 0\n") << side;
    }
}

TEST_F(Program, UnreadableImagesGiveOneErrorLine)
{
    const std::string missing = dir + "/missing.pgm";
    const std::string truncated = writeFile("short.pgm", "P5\n20 20\n255\n" + std::string(399, 'a'));
    for (const std::string& path : {missing, truncated}) {
        const Outcome result = run("'" + path + "'");
        EXPECT_EQ(result.status, 1) << path;
        EXPECT_EQ(result.out, "") << path;
        ASSERT_FALSE(result.err.empty()) << path;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        EXPECT_NE(result.err.find(path), std::string::npos) << result.err;
    }
}

TEST_F(Program, ListsTheRegionsOfThePhotograph)
{
    const Outcome result = run(std::string("'") + TOLVANE_DATA_DIR + "/astronaut.pgm'");
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    std::istringstream lines(result.out);
    std::string line, last;
    size_t index = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("nb of regions = ", 0) == 0) {
            last = line;
            break;
        }
        EXPECT_EQ(line.rfind(std::to_string(index) + ".  x=", 0), 0u) << line;
        EXPECT_NE(line.find(", mi22="), std::string::npos) << line;
        ++index;
    }
    EXPECT_GT(index, 100u);
    EXPECT_EQ(last, "nb of regions = " + std::to_string(index));
}

}  // namespace
