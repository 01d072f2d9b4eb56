// Command-line scanning shared by the tolvane commands.
#include "cli.h"

#include <charconv>
#include <cmath>

namespace tolvane {
namespace {

const OptionDefinition* findLong(const std::vector<OptionDefinition>& definitions, const std::string& name)
{
    for (const OptionDefinition& definition : definitions)
        if (name == definition.longName)
            return &definition;
    return nullptr;
}

const OptionDefinition* findShort(const std::vector<OptionDefinition>& definitions, char name)
{
    for (const OptionDefinition& definition : definitions)
        if (definition.shortName != 0 && definition.shortName == name)
            return &definition;
    return nullptr;
}

bool isOption(const std::string& arg)
{
    return arg.size() > 1 && arg[0] == '-';
}

// Finds the definition of an option argument and splits off an attached value.
const OptionDefinition& definitionOf(const std::string& arg, const std::vector<OptionDefinition>& definitions,
                                     std::string& attached, bool& hasAttached, const std::string& command)
{
    const OptionDefinition* definition = nullptr;
    hasAttached = false;
    if (arg.compare(0, 2, "--") == 0) {
        const std::size_t equals = arg.find('=');
        definition = findLong(definitions, arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2));
        if (equals != std::string::npos) {
            attached = arg.substr(equals + 1);
            hasAttached = true;
        }
    } else if (arg.size() == 2) {
        definition = findShort(definitions, arg[1]);
    }
    if (!definition)
        throw UsageError("unknown option '" + arg + "'", command);
    if (hasAttached && !definition->takesValue)
        throw UsageError("option '--" + std::string(definition->longName) + "' takes no value", command);
    return *definition;
}

}  // namespace

ParsedArguments parseArguments(const std::vector<std::string>& args, const std::vector<OptionDefinition>& definitions,
                               const std::string& command)
{
    ParsedArguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || !isOption(arg)) {
            parsed.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string value;
        bool hasAttached = false;
        const OptionDefinition& definition = definitionOf(arg, definitions, value, hasAttached, command);
        if (definition.takesValue && !hasAttached) {
            if (i + 1 == args.size())
                throw UsageError("option '" + arg + "' needs a value", command);
            value = args[++i];
        }
        parsed.options[definition.longName] = value;
    }
    return parsed;
}

int parseIntOption(const std::string& option, const std::string& text, int minimum,
                   const std::string& command, int maximum)
{
    const auto invalid = [&](const std::string& reason) {
        return UsageError("invalid value '" + text + "' for --" + option + ": " + reason, command);
    };
    int value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool outOfRange = result.ec == std::errc::result_out_of_range;
    if (result.ptr != text.data() + text.size() || (result.ec != std::errc() && !outOfRange))
        throw invalid("expected a whole number");
    const bool tooSmall = outOfRange ? text[0] == '-' : value < minimum;
    const bool tooLarge = outOfRange ? text[0] != '-' : value > maximum;
    if (tooSmall)
        throw invalid("must be at least " + std::to_string(minimum));
    if (tooLarge)
        throw invalid("must be at most " + std::to_string(maximum));
    return value;
}

float parseFloatOption(const std::string& option, const std::string& text, const std::string& command)
{
    float value = 0.0f;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !std::isfinite(value))
        throw UsageError("invalid value '" + text + "' for --" + option + ": expected a number", command);
    return value;
}

void parseSizeOption(const std::string& option, const std::string& text, int& width, int& height,
                     const std::string& command)
{
    const std::size_t x = text.find('x');
    const auto invalid = [&] {
        return UsageError("invalid value '" + text + "' for --" + option + ": expected WIDTHxHEIGHT", command);
    };
    if (x == std::string::npos)
        throw invalid();
    const char* end = text.data() + text.size();
    const auto w = std::from_chars(text.data(), text.data() + x, width);
    const auto h = std::from_chars(text.data() + x + 1, end, height);
    if (w.ec != std::errc() || w.ptr != text.data() + x || h.ec != std::errc() || h.ptr != end ||
        width < 1 || height < 1)
        throw invalid();
}

ReadOptions readOptionsOf(const ParsedArguments& parsed, const std::string& command)
{
    ReadOptions options;
    if (parsed.has(kMaxPixelsOption.longName))
        options.max_pixels = parseIntOption(kMaxPixelsOption.longName, parsed.options.at(kMaxPixelsOption.longName),
                                           1, command);
    options.accept_damaged = parsed.has(kAcceptDamagedOption.longName);
    return options;
}

}  // namespace tolvane
