// The images of a batch and the output file of each.
#include "batch_inputs.h"

#include "cli.h"

#include <tolvane/error.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

bool hasImageExtension(const fs::path& path)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* known : {".pgm", ".ppm", ".pnm", ".png", ".jpg", ".jpeg"})
        if (extension == known)
            return true;
    return false;
}

bool isHidden(const fs::path& path)
{
    const std::string name = path.filename().string();
    return !name.empty() && name[0] == '.';
}

[[noreturn]] void throwUnreadable(const fs::path& folder, const std::error_code& failure)
{
    throw Error(ErrorCode::FileAccess, folder.string() + ": cannot read the folder: " + failure.message());
}

bool isImageEntry(const fs::directory_entry& entry)
{
    std::error_code failure;
    return !isHidden(entry.path()) && hasImageExtension(entry.path()) && entry.is_regular_file(failure);
}

// The images in `folder` (and below, when `recursive`), in name order.
std::vector<fs::path> imagesIn(const fs::path& folder, bool recursive)
{
    std::vector<fs::path> images;
    std::error_code failure;
    if (!recursive) {
        for (fs::directory_iterator it(folder, failure), end; !failure && it != end; it.increment(failure))
            if (isImageEntry(*it))
                images.push_back(it->path());
    } else {
        fs::recursive_directory_iterator it(folder, failure), end;
        for (; !failure && it != end; it.increment(failure)) {
            if (isHidden(it->path()) && it->is_directory(failure))
                it.disable_recursion_pending();
            else if (isImageEntry(*it))
                images.push_back(it->path());
        }
    }
    if (failure)
        throwUnreadable(folder, failure);
    std::sort(images.begin(), images.end());
    return images;
}

fs::path outputName(const fs::path& image, const std::string& extension)
{
    return image.stem().string() + extension;
}

}  // namespace

bool namesAFolder(const std::vector<std::string>& operands)
{
    std::error_code failure;
    return std::any_of(operands.begin(), operands.end(),
                       [&](const std::string& operand) { return fs::is_directory(operand, failure); });
}

std::vector<BatchItem> batchItemsOf(const std::vector<std::string>& operands, bool recursive,
                                    const std::string& outDir, const std::string& extension,
                                    const std::string& command)
{
    std::vector<BatchItem> items;
    std::set<std::string> outputs;
    const auto add = [&](const fs::path& image, const fs::path& relativeOutput) {
        const std::string output = (fs::path(outDir) / relativeOutput).string();
        if (!outputs.insert(output).second)
            throw UsageError("two images would both be written to " + output +
                                 " (give their folder to keep its subfolders apart)",
                             command);
        items.push_back({image.string(), output});
    };
    for (const std::string& operand : operands) {
        std::error_code failure;
        if (!fs::is_directory(operand, failure)) {
            add(operand, outputName(operand, extension));
            continue;
        }
        for (const fs::path& image : imagesIn(operand, recursive))
            add(image, image.lexically_relative(operand).parent_path() / outputName(image, extension));
    }
    return items;
}

}  // namespace tolvane
