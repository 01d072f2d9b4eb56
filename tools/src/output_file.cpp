// Writing output files so that a reader never sees one half-written.
#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace tolvane {
namespace {

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// mkstemp makes the file private; the renamed output gets the permissions
// a newly created file would have.
void giveDefaultPermissions(int fd)
{
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
}

// Creates an empty temporary file in the directory of `path`.
bool createTempFile(const std::string& path, std::string& tempPath, std::string& error)
{
    const std::filesystem::path target(path);
    const std::filesystem::path pattern =
        target.parent_path() / ("." + target.filename().string() + ".tmp.XXXXXX");
    std::string text = pattern.string();
    std::vector<char> name(text.begin(), text.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = systemError("cannot create a temporary file");
        return false;
    }
    giveDefaultPermissions(fd);
    close(fd);
    tempPath = name.data();
    return true;
}

}  // namespace

bool replaceFileAtomically(const std::string& path,
                           const std::function<bool(const std::string& tempPath, std::string& error)>& write,
                           std::string& error)
{
    std::string tempPath;
    if (!createTempFile(path, tempPath, error))
        return false;
    if (!write(tempPath, error)) {
        std::remove(tempPath.c_str());
        return false;
    }
    if (std::rename(tempPath.c_str(), path.c_str()) != 0) {
        error = systemError("cannot rename the temporary file");
        std::remove(tempPath.c_str());
        return false;
    }
    return true;
}

bool writeTextFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                             std::string& error)
{
    return replaceFileAtomically(
        path,
        [&](const std::string& tempPath, std::string& writeError) {
            std::ofstream file(tempPath);
            write(file);
            file.close();
            if (!file) {
                writeError = "write error";
                return false;
            }
            return true;
        },
        error);
}

}  // namespace tolvane
