// The one exception type of the tolvane library.
#ifndef TOLVANE_ERROR_H
#define TOLVANE_ERROR_H

#include <stdexcept>
#include <string>

namespace tolvane {

enum class ErrorCode {
    InvalidArgument,  // a setting or image view out of range
    FileAccess,       // a file that cannot be opened or read
    BadData,          // content that is malformed, damaged or beyond a limit
    OutOfMemory,
};

// Thrown by every function of the library; what() names what was wrong (not
// the file: callers know which they passed). The library never prints and
// never ends the process.
class Error : public std::runtime_error {
public:
    Error(ErrorCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ErrorCode code() const { return code_; }

private:
    ErrorCode code_;
};

}  // namespace tolvane

#endif
