// Command-line scanning shared by the tolvane commands.
#ifndef TOLVANE_CLI_H
#define TOLVANE_CLI_H

#include "raster_io.h"

#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvane {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A command line that cannot be run. `command` names the command whose help
// the usage hint points to (empty for the program as a whole).
class UsageError : public std::runtime_error {
public:
    UsageError(const std::string& message, std::string command = "")
        : std::runtime_error(message), command_(std::move(command)) {}
    const std::string& command() const { return command_; }

private:
    std::string command_;
};

struct OptionDefinition {
    const char* longName;  // without the leading "--"
    char shortName;        // 0 when there is none
    bool takesValue;
};

// Options by long name (a flag maps to "") and the operands, in order.
// "--name VALUE", "--name=VALUE" and "-n VALUE" are accepted; "--" ends the
// options. A repeated option keeps its last value.
struct ParsedArguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;

    bool has(const std::string& name) const { return options.count(name) != 0; }
};

// Throws UsageError for an unknown option or a missing value.
ParsedArguments parseArguments(const std::vector<std::string>& args, const std::vector<OptionDefinition>& definitions,
                               const std::string& command);

// Value conversions that throw UsageError naming the option.
int parseIntOption(const std::string& option, const std::string& text, int minimum,
                   const std::string& command, int maximum = std::numeric_limits<int>::max());
float parseFloatOption(const std::string& option, const std::string& text, const std::string& command);
// "WxH" with both sides positive.
void parseSizeOption(const std::string& option, const std::string& text, int& width, int& height,
                     const std::string& command);

// --max-pixels N and --accept-damaged, taken by the commands that read images.
inline constexpr OptionDefinition kMaxPixelsOption{"max-pixels", 0, true};
inline constexpr OptionDefinition kAcceptDamagedOption{"accept-damaged", 0, false};
ReadOptions readOptionsOf(const ParsedArguments& parsed, const std::string& command);

}  // namespace tolvane

#endif
