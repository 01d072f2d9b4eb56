// Writing output files so that a reader never sees one half-written.
#ifndef TOLVANE_OUTPUT_FILE_H
#define TOLVANE_OUTPUT_FILE_H

#include <functional>
#include <iosfwd>
#include <string>

namespace tolvane {

// Writes into a new temporary file beside `path` and renames it to `path`
// when `write` succeeds; otherwise the temporary file is removed and `path`
// is left as it was. `write` gets the temporary file's path. Reasons do not
// name `path`.
bool replaceFileAtomically(const std::string& path,
                           const std::function<bool(const std::string& tempPath, std::string& error)>& write,
                           std::string& error);

// The same for text written to a stream.
bool writeTextFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                             std::string& error);

}  // namespace tolvane

#endif
