// tolvane: detects affine-covariant regions in images, draws them and
// measures their repeatability.
#include "cli.h"
#include "commands.h"
#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

const char* const kUsage = R"(Usage: tolvane COMMAND [OPTIONS] ARGUMENTS
Affine-covariant region detection in grey-level images.

Commands:
  colmap          write regions and descriptors into a COLMAP database
  detect          detect regions in PGM, PPM, PNG or JPEG images
  draw            draw the ellipses of a region file over its image
  match           match the regions of two images and fit a model
  repeatability   compare the regions of two images related by a homography

  -h, --help      show this help
  -V, --version   show the version

Run 'tolvane COMMAND --help' for the options of a command.
)";

int runCommand(const std::string& name, const std::vector<std::string>& args)
{
    if (name == "colmap")
        return tolvane::runColmap(args);
    if (name == "detect")
        return tolvane::runDetect(args);
    if (name == "draw")
        return tolvane::runDraw(args);
    if (name == "match")
        return tolvane::runMatch(args);
    if (name == "repeatability")
        return tolvane::runRepeatability(args);
    throw tolvane::UsageError("unknown command '" + name + "'");
}

int run(const std::vector<std::string>& args)
{
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return tolvane::kExitSuccess;
    }
    if (!args.empty() && (args[0] == "--version" || args[0] == "-V")) {
        std::cout << "tolvane " << TOLVANE_VERSION << std::endl;
        return tolvane::kExitSuccess;
    }
    try {
        if (args.empty())
            throw tolvane::UsageError("no command given");
        return runCommand(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    } catch (const tolvane::UsageError& e) {
        const std::string helpCommand = e.command().empty() ? "tolvane --help" : "tolvane " + e.command() + " --help";
        std::cerr << "tolvane: " << e.what() << "\nTry '" << helpCommand << "' for more information." << std::endl;
        return tolvane::kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "tolvane: " << e.what() << std::endl;
        return tolvane::kExitFailure;
    }
}

// Whatever went to standard output must have arrived.
int checkedStandardOutput(int status)
{
    errno = 0;
    std::cout.flush();
    if (std::cout && std::fflush(stdout) == 0)
        return status;
    std::cerr << "tolvane: cannot write to standard output" << (errno ? std::string(": ") + std::strerror(errno) : "")
              << std::endl;
    return tolvane::kExitFailure;
}

}  // namespace

int main(int argc, char** argv)
{
    tolvane::removeTemporaryFilesOnSignals();
    return checkedStandardOutput(run(std::vector<std::string>(argv + 1, argv + argc)));
}
