#include "cli.h"

#include "support.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace tolvane;
using testsupport::runTolvane;

namespace {

const std::vector<OptionDefinition> kDefinitions = {{"output", 'o', true}, {"curve", 0, false}, {"jobs", 'j', true}};

TEST(ParseArguments, LongShortAttachedAndOperands)
{
    const ParsedArguments parsed =
        parseArguments({"a.png", "--output", "x", "-j", "3", "--curve", "b.png", "--jobs=5"}, kDefinitions, "detect");
    EXPECT_EQ(parsed.operands, (std::vector<std::string>{"a.png", "b.png"}));
    EXPECT_EQ(parsed.options.at("output"), "x");
    EXPECT_EQ(parsed.options.at("jobs"), "5");  // the last one counts
    EXPECT_TRUE(parsed.has("curve"));
    EXPECT_FALSE(parseArguments({}, kDefinitions, "detect").has("curve"));
}

TEST(ParseArguments, DoubleDashEndsOptionsAndDashIsAnOperand)
{
    const ParsedArguments parsed = parseArguments({"--", "--curve", "-"}, kDefinitions, "draw");
    EXPECT_EQ(parsed.operands, (std::vector<std::string>{"--curve", "-"}));
    EXPECT_FALSE(parsed.has("curve"));
}

TEST(ParseArguments, ErrorsNameTheOptionAndTheCommand)
{
    const auto errorOf = [](const std::vector<std::string>& args) {
        try {
            parseArguments(args, kDefinitions, "detect");
        } catch (const UsageError& e) {
            EXPECT_EQ(e.command(), "detect");
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(errorOf({"--colour"}), "unknown option '--colour'");
    EXPECT_EQ(errorOf({"-x"}), "unknown option '-x'");
    EXPECT_EQ(errorOf({"-oz"}), "unknown option '-oz'");
    EXPECT_EQ(errorOf({"--output"}), "option '--output' needs a value");
    EXPECT_EQ(errorOf({"--curve=yes"}), "option '--curve' takes no value");
}

TEST(OptionValues, NumbersAndSizes)
{
    EXPECT_EQ(parseIntOption("jobs", "4", 1, "detect"), 4);
    EXPECT_THROW(parseIntOption("jobs", "0", 1, "detect"), UsageError);
    EXPECT_THROW(parseIntOption("jobs", "4x", 1, "detect"), UsageError);
    EXPECT_THROW(parseIntOption("jobs", "", 1, "detect"), UsageError);
    EXPECT_EQ(parseIntOption("threads", "1024", 1, "detect", 1024), 1024);
    const auto errorOf = [](const char* text) {
        try {
            parseIntOption("threads", text, 1, "detect", 1024);
        } catch (const UsageError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(errorOf("1025"), "invalid value '1025' for --threads: must be at most 1024");
    EXPECT_EQ(errorOf("99999999999"), "invalid value '99999999999' for --threads: must be at most 1024");
    EXPECT_EQ(errorOf("-99999999999"), "invalid value '-99999999999' for --threads: must be at least 1");
    EXPECT_EQ(errorOf("99999999999x"), "invalid value '99999999999x' for --threads: expected a whole number");
    EXPECT_EQ(errorOf("2.5"), "invalid value '2.5' for --threads: expected a whole number");
    EXPECT_EQ(parseFloatOption("threshold", "2500.5", "detect"), 2500.5f);
    EXPECT_EQ(parseFloatOption("threshold", "-3e2", "detect"), -300.0f);
    EXPECT_THROW(parseFloatOption("threshold", "inf", "detect"), UsageError);
    EXPECT_THROW(parseFloatOption("threshold", "ten", "detect"), UsageError);
    int w = 0, h = 0;
    parseSizeOption("size-a", "800x640", w, h, "repeatability");
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 640);
    for (const char* bad : {"800", "800x", "x640", "0x5", "8x-5", "8x5x2", "8 x5"})
        EXPECT_THROW(parseSizeOption("size-a", bad, w, h, "repeatability"), UsageError) << bad;
}

TEST(CommandLine, HelpAndVersion)
{
    const auto help = runTolvane({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: tolvane COMMAND", 0), 0u);
    EXPECT_EQ(help.err, "");
    for (const char* command : {"detect", "draw", "repeatability"}) {
        const auto commandHelp = runTolvane({command, "--help"});
        EXPECT_EQ(commandHelp.status, 0);
        EXPECT_EQ(commandHelp.out.rfind(std::string("Usage: tolvane ") + command, 0), 0u) << command;
    }
    const auto version = runTolvane({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("tolvane ") + TOLVANE_VERSION_FOR_TESTS + "\n");
}

// OpenCV and SQLite are opened only by the commands that need them.
TEST(CommandLine, ProgramLinksNeitherOpenCvNorSqlite)
{
    const char* const readelf = "/usr/bin/readelf";
    if (access(readelf, X_OK) != 0)
        GTEST_SKIP() << "no " << readelf;
    const auto header = testsupport::runProgram(readelf, {"--dynamic", TOLVANE_EXE});
    ASSERT_EQ(header.status, 0) << header.err;
    EXPECT_NE(header.out.find("(NEEDED)"), std::string::npos);
    EXPECT_EQ(header.out.find("libopencv"), std::string::npos) << header.out;
    EXPECT_EQ(header.out.find("libsqlite3"), std::string::npos) << header.out;
}

TEST(CommandLine, MistakesExitWithTwoAndAHint)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "tolvane: no command given\nTry 'tolvane --help' for more information.\n"},
        {{"detetc", "a.png"}, "tolvane: unknown command 'detetc'\nTry 'tolvane --help' for more information.\n"},
        {{"detect", "--treshold", "5", "a.png"},
         "tolvane: unknown option '--treshold'\nTry 'tolvane detect --help' for more information.\n"},
        {{"detect"}, "tolvane: no image given\nTry 'tolvane detect --help' for more information.\n"},
        {{"detect", "-d", "sobel", "a.png"},
         "tolvane: unknown detector 'sobel' (use hessian or harris)\nTry 'tolvane detect --help' for more "
         "information.\n"},
        {{"detect", "--format", "xml", "a.png"},
         "tolvane: unknown format 'xml' (use ellipse, legacy, csv or json)\nTry 'tolvane detect --help' for more "
         "information.\n"},
        {{"detect", "a.png", "b.png"},
         "tolvane: several images need --out-dir DIR\nTry 'tolvane detect --help' for more information.\n"},
        {{"detect", "-o", "x", "--out-dir", "d", "a.png"},
         "tolvane: --output and --out-dir cannot be used together\nTry 'tolvane detect --help' for more "
         "information.\n"},
        {{"detect", "--iterations", "-1", "a.png"},
         "tolvane: invalid value '-1' for --iterations: must be at least 0\nTry 'tolvane detect --help' for more "
         "information.\n"},
        {{"detect", "--threads", "0", "a.png"},
         "tolvane: invalid value '0' for --threads: must be at least 1\nTry 'tolvane detect --help' for more "
         "information.\n"},
        {{"detect", "--threads=two", "a.png"},
         "tolvane: invalid value 'two' for --threads: expected a whole number\nTry 'tolvane detect --help' for "
         "more information.\n"},
        {{"detect", "a.png", "--threads"},
         "tolvane: option '--threads' needs a value\nTry 'tolvane detect --help' for more information.\n"},
        {{"draw", "a.png", "a.regions"},
         "tolvane: the output picture is missing (-o OUT.png)\nTry 'tolvane draw --help' for more information.\n"},
        {{"draw", "a.png", "-o", "x.png"},
         "tolvane: expected an image and a region file\nTry 'tolvane draw --help' for more information.\n"},
    };
    for (const auto& [args, message] : cases) {
        const auto result = runTolvane(args);
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(result.out, "");
    }
}

}  // namespace
