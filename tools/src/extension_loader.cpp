// The tool opens the module on the first call of extensions(): beside the
// executable, as in the build tree, or at its installed place relative to
// the executable.
#include "extensions.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <stdexcept>

namespace tolvane {
namespace {

std::string executableDirectory()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    const std::string executable(path, static_cast<std::size_t>(length));
    return executable.substr(0, executable.rfind('/'));
}

const Extensions& loadedExtensions()
{
    const std::filesystem::path directory = executableDirectory();
    const std::string places[] = {
        (directory / TOLVANE_EXTENSIONS_FILE).string(),
        (directory / TOLVANE_EXTENSIONS_FROM_BINDIR / TOLVANE_EXTENSIONS_FILE).lexically_normal().string()};
    for (const std::string& place : places) {
        if (access(place.c_str(), F_OK) != 0)
            continue;
        void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module)
            throw std::runtime_error(std::string("cannot load the OpenCV and SQLite module: ") + dlerror());
        const auto entry = reinterpret_cast<ExtensionsEntry>(dlsym(module, kExtensionsEntryName));
        if (!entry)
            throw std::runtime_error(place + " is not this tool's OpenCV and SQLite module (of another version?)");
        return *entry();
    }
    throw std::runtime_error("the OpenCV and SQLite module " TOLVANE_EXTENSIONS_FILE " this command needs is missing: "
                             "looked for " + places[0] + " and " + places[1]);
}

}  // namespace

const Extensions& extensions()
{
    static const Extensions& table = loadedExtensions();
    return table;
}

}  // namespace tolvane
