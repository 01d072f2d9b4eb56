// Writing output files so that a reader never sees one half-written, and
// without harming what the output path is.
#ifndef TOLVANE_OUTPUT_FILE_H
#define TOLVANE_OUTPUT_FILE_H

#include <functional>
#include <iosfwd>
#include <string>

namespace tolvane {

// Writes the output at `path`, following symbolic links. A regular file, or
// a path where nothing is yet, is replaced atomically: `write` fills a new
// temporary file beside it, which takes the old file's permission bits and
// is renamed over it when `write` succeeds; otherwise the temporary file is
// removed and the old file left as it was. Anything else (a FIFO, a device)
// is written into: `write` gets `path` itself. Reasons do not name `path`.
bool writeOutputFile(const std::string& path,
                     const std::function<bool(const std::string& target, std::string& error)>& write,
                     std::string& error);

// The same for text written to a stream.
bool writeTextOutputFile(const std::string& path, const std::function<void(std::ostream&)>& write,
                         std::string& error);

// An existing file's device and inode.
struct FileIdentity {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    bool operator==(const FileIdentity& o) const { return device == o.device && inode == o.inode; }
    bool operator<(const FileIdentity& o) const { return device != o.device ? device < o.device : inode < o.inode; }
};

// False when nothing is at `path`.
bool identityOf(const std::string& path, FileIdentity& identity);

// Whether two paths name the same existing file (same device and inode).
bool isSameFile(const std::string& a, const std::string& b);

// From now on SIGINT, SIGTERM and SIGHUP remove the temporary file of a write
// in progress before the process ends by the signal.
void removeTemporaryFilesOnSignals();

}  // namespace tolvane

#endif
