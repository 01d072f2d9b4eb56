// A one-line progress bar for batch runs.
#include "progress.h"

#include <ostream>

namespace tolvane {

std::string progressLine(std::size_t done, std::size_t total, std::size_t barWidth)
{
    const std::size_t filled = total == 0 ? barWidth : done * barWidth / total;
    return "[" + std::string(filled, '#') + std::string(barWidth - filled, ' ') + "] " +
           std::to_string(done) + "/" + std::to_string(total) + " images";
}

ProgressBar::ProgressBar(std::ostream& out, std::size_t total, bool enabled)
    : out_(out), total_(total), enabled_(enabled)
{
}

void ProgressBar::show(std::size_t done)
{
    if (!enabled_)
        return;
    const std::string line = progressLine(done, total_, 30);
    out_ << '\r' << line << std::flush;
    shownLength_ = line.size();
}

void ProgressBar::clear()
{
    if (!enabled_ || shownLength_ == 0)
        return;
    out_ << '\r' << std::string(shownLength_, ' ') << '\r' << std::flush;
    shownLength_ = 0;
}

}  // namespace tolvane
