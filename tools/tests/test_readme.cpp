// The README's tool examples run as written: every ```sh block with a
// "$ build/tools/tolvane" command is run, command by command, in a scratch
// folder that holds what the README's set-up makes (the build, data/ and
// scripts/ of this tree, and the files of scripts/make-example-views); each
// command must succeed and print (on standard output and error together)
// what the block shows under it, run times aside.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

using namespace testsupport;

namespace {

namespace fs = std::filesystem;

struct Example {
    std::string command;
    std::string output;
};

bool startsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// The commands of one block and the lines shown under each.
std::vector<Example> examplesOf(const std::vector<std::string>& block)
{
    std::vector<Example> examples;
    bool continued = false;
    for (const std::string& line : block) {
        if (continued)
            examples.back().command += "\n" + line;
        else if (startsWith(line, "$ "))
            examples.push_back({line.substr(2), ""});
        else if (!examples.empty())
            examples.back().output += line + "\n";
        continued = !line.empty() && line.back() == '\\' && (continued || startsWith(line, "$ "));
    }
    return examples;
}

std::vector<Example> readmeExamples(const fs::path& source)
{
    std::istringstream readme(readFile((source / "README.md").string()));
    std::vector<Example> examples;
    std::vector<std::string> block;
    bool inShellBlock = false;
    for (std::string line; std::getline(readme, line);) {
        if (!inShellBlock) {
            inShellBlock = line == "```sh";
            block.clear();
            continue;
        }
        if (line != "```") {
            block.push_back(line);
            continue;
        }
        inShellBlock = false;
        const bool runsTheTool = std::any_of(block.begin(), block.end(), [](const std::string& l) {
            return startsWith(l, "$ build/tools/tolvane ");
        });
        if (runsTheTool)
            for (Example& example : examplesOf(block))
                examples.push_back(std::move(example));
    }
    return examples;
}

std::string withoutRunTimes(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"(\d+\.\d seconds)"), "N seconds");
}

TEST(Readme, ToolExamplesRunAsWritten)
{
    const fs::path source = fs::path(TOLVANE_DATA_DIR).parent_path();
    const std::vector<Example> examples = readmeExamples(source);
    ASSERT_GE(examples.size(), 5u);
    TempDir dir;
    fs::create_directory_symlink(fs::path(TOLVANE_EXE).parent_path().parent_path(), dir.file("build"));
    fs::create_directory_symlink(source / "data", dir.file("data"));
    fs::create_directory_symlink(source / "scripts", dir.file("scripts"));
    const auto run = [&](const std::string& command) {
        return runProgram("/bin/sh", {"-c", "cd '" + dir.path + "' && { " + command + "\n} 2>&1"});
    };
    const ProcessResult setUp = run("scripts/make-example-views");
    ASSERT_EQ(setUp.status, 0) << setUp.out;
    for (const Example& example : examples) {
        const ProcessResult result = run(example.command);
        EXPECT_EQ(result.status, 0) << example.command << "\n" << result.out;
        EXPECT_EQ(withoutRunTimes(result.out), withoutRunTimes(example.output)) << example.command;
    }
}

}  // namespace
