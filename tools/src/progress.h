// A one-line progress bar for batch runs.
#ifndef TOLVANE_PROGRESS_H
#define TOLVANE_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <iosfwd>
#include <string>

namespace tolvane {

// The bar's text for `done` of `total` items after `seconds`:
// "[#####     ] 5/10 images, 2.5/s, 0:02 left"; the rate and the time left
// once an item is done.
std::string progressLine(std::size_t done, std::size_t total, double seconds, std::size_t barWidth);

// Redraws its line in place on `out`; does nothing when disabled (when the
// stream is not a terminal). The rate counts from the bar's construction.
class ProgressBar {
public:
    ProgressBar(std::ostream& out, std::size_t total, bool enabled);
    void show(std::size_t done);
    // Erases the line, e.g. before a message is printed on the stream.
    void clear();

private:
    std::ostream& out_;
    std::size_t total_;
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::size_t shownLength_ = 0;
};

}  // namespace tolvane

#endif
