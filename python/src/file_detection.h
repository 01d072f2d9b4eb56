// Image files read with the library's readers, and detection of an image
// file into a region file with the tool's own image reading and region
// writers, so that the file is the one `tolvane detect` writes.
#ifndef TOLVANE_PYTHON_FILE_DETECTION_H
#define TOLVANE_PYTHON_FILE_DETECTION_H

#include "tolvane/image.h"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace tolvane::python {

// An image that cannot be read or a region file that cannot be written;
// what() is the tool's message: the file, a colon and the reason.
class FileError : public std::runtime_error {
public:
    explicit FileError(const std::string& message) : std::runtime_error(message) {}
};

// The grey image of a file. Throws FileError when the file cannot be read
// and tolvane::Error for its content, both with the tool's message.
Image readImageFile(const std::string& path);

struct FileDetectionRequest {
    std::string image;
    std::string output;
    std::string detector = "hessian";
    float threshold = 1000.0f;
    int iterations = 16;
    int threads = 1;  // 0: every core
    std::string format = "ellipse";
};

// Writes the region file atomically; the number of regions the detector
// found, as the tool's summary counts them. Throws FileError, and
// tolvane::Error for an unknown detector or format or a setting out of range.
std::size_t detectFileInto(const FileDetectionRequest& request);

}  // namespace tolvane::python

#endif
