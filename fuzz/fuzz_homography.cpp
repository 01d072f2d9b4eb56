// Coverage-guided fuzz target: arbitrary bytes through the homography
// reader, then the homography applied the way repeatability applies it:
// inverted, and a fixed ellipse projected both ways and compared.
#include "repeatability.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    tolvane::Homography h{};
    std::string error;
    if (!tolvane::readHomography(in, h, error)) {
        if (error.empty() || error.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    tolvane::Homography inverse{};
    if (!tolvane::invert(h, inverse))
        return 0;
    const tolvane::Ellipse circle{40.0f, 30.0f, 0.01, 0.0, 0.01};
    tolvane::Ellipse there{}, back{};
    if (tolvane::projectEllipse(circle, h, there) && tolvane::projectEllipse(there, inverse, back))
        tolvane::normalisedOverlapError(circle, back);
    return 0;
}
