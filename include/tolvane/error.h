// The one exception type of the tolvane library.
#ifndef TOLVANE_ERROR_H
#define TOLVANE_ERROR_H

#include <stdexcept>
#include <string>

namespace tolvane {

// Thrown by every function of the library for bad arguments, unreadable or
// malformed files and limits passed; what() names what was wrong. The library
// never prints and never ends the process.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tolvane

#endif
