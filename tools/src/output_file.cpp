// Writing output files so that a reader never sees one half-written, and
// without harming what the output path is.
#include "output_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane {
namespace {

// Links followed before a path is taken as it is (the system's own limit).
constexpr int kMaxLinks = 40;

// The temporary file of the write in progress, for the signal handler.
char pendingTemporary[4096];
volatile std::sig_atomic_t hasPendingTemporary = 0;

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// The path a chain of symbolic links leads to; the last one may not exist.
std::string followLinks(const std::string& path)
{
    std::filesystem::path current(path);
    for (int i = 0; i < kMaxLinks; ++i) {
        std::error_code failure;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(current, failure)))
            break;
        const std::filesystem::path target = std::filesystem::read_symlink(current, failure);
        if (failure)
            break;
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return current.string();
}

// Creates an empty temporary file in the directory of `path` with the given
// permission bits.
bool createTempFile(const std::string& path, mode_t mode, std::string& tempPath, std::string& error)
{
    const std::filesystem::path target(path);
    const std::filesystem::path pattern =
        target.parent_path() / ("." + target.filename().string() + ".tmp.XXXXXX");
    std::string text = pattern.string();
    if (text.size() >= sizeof pendingTemporary) {
        errno = ENAMETOOLONG;
        error = systemError("cannot create a temporary file");
        return false;
    }
    std::vector<char> name(text.begin(), text.end());
    name.push_back('\0');
    hasPendingTemporary = 0;
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = systemError("cannot create a temporary file");
        return false;
    }
    std::memcpy(pendingTemporary, name.data(), name.size());
    hasPendingTemporary = 1;
    fchmod(fd, mode);
    close(fd);
    tempPath = name.data();
    return true;
}

void removeTemporary(const std::string& tempPath)
{
    std::remove(tempPath.c_str());
    hasPendingTemporary = 0;
}

// Permission bits for the replacement: the old file's, or those a newly
// created file gets.
mode_t modeFor(const struct stat& old, bool exists)
{
    if (exists)
        return old.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool writeBytes(const std::string& target, const std::string& bytes, std::string& error)
{
    const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = systemError("cannot open");
        return false;
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = systemError("cannot write");
            close(fd);
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0) {
        error = systemError("cannot write");
        return false;
    }
    return true;
}

void onTerminatingSignal(int signal)
{
    if (hasPendingTemporary)
        unlink(pendingTemporary);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

bool writeOutputFile(const std::string& path,
                     const std::function<bool(const std::string& target, std::string& error)>& write,
                     std::string& error)
{
    const std::string target = followLinks(path);
    struct stat old {};
    const bool exists = stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return write(target, error);
    std::string tempPath;
    if (!createTempFile(target, modeFor(old, exists), tempPath, error))
        return false;
    if (!write(tempPath, error)) {
        removeTemporary(tempPath);
        return false;
    }
    if (std::rename(tempPath.c_str(), target.c_str()) != 0) {
        error = systemError("cannot rename the temporary file");
        removeTemporary(tempPath);
        return false;
    }
    hasPendingTemporary = 0;
    return true;
}

bool writeTextOutputFile(const std::string& path, const std::function<void(std::ostream&)>& write,
                         std::string& error)
{
    std::ostringstream text;
    write(text);
    const std::string bytes = text.str();
    return writeOutputFile(
        path, [&](const std::string& target, std::string& writeError) { return writeBytes(target, bytes, writeError); },
        error);
}

bool identityOf(const std::string& path, FileIdentity& identity)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return false;
    identity = FileIdentity{static_cast<unsigned long long>(status.st_dev),
                            static_cast<unsigned long long>(status.st_ino)};
    return true;
}

bool isSameFile(const std::string& a, const std::string& b)
{
    FileIdentity first, second;
    return identityOf(a, first) && identityOf(b, second) && first == second;
}

void removeTemporaryFilesOnSignals()
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        sigaction(signal, nullptr, &current);
        if (current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = onTerminatingSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace tolvane
