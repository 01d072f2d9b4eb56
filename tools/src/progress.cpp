// A one-line progress bar for batch runs.
#include "progress.h"

#include <cmath>
#include <cstdio>
#include <ostream>

namespace tolvane {
namespace {

std::string rateAndTimeLeft(std::size_t done, std::size_t total, double seconds)
{
    if (done == 0 || seconds <= 0.0)
        return "";
    const double rate = static_cast<double>(done) / seconds;
    const long left = std::lround(static_cast<double>(total - done) / rate);
    char text[64];
    std::snprintf(text, sizeof text, ", %.1f/s, %ld:%02ld left", rate, left / 60, left % 60);
    return text;
}

}  // namespace

std::string progressLine(std::size_t done, std::size_t total, double seconds, std::size_t barWidth)
{
    const std::size_t filled = total == 0 ? barWidth : done * barWidth / total;
    return "[" + std::string(filled, '#') + std::string(barWidth - filled, ' ') + "] " +
           std::to_string(done) + "/" + std::to_string(total) + " images" + rateAndTimeLeft(done, total, seconds);
}

ProgressBar::ProgressBar(std::ostream& out, std::size_t total, bool enabled)
    : out_(out), total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now())
{
}

void ProgressBar::show(std::size_t done)
{
    if (!enabled_)
        return;
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start_;
    const std::string line = progressLine(done, total_, seconds.count(), 30);
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
