// Coverage-guided fuzz target: arbitrary bytes through the reader of the
// ellipse region format. Every ellipse it accepts is finite and positive
// definite; a refusal is one non-empty line.
#include "region_formats.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<tolvane::Ellipse> ellipses;
    std::string error;
    if (!tolvane::readEllipses(in, ellipses, error)) {
        if (error.empty() || error.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    for (const tolvane::Ellipse& e : ellipses)
        if (!std::isfinite(e.x) || !std::isfinite(e.y) || !(e.a > 0) || !(e.c > 0) || !(e.a * e.c - e.b * e.b > 0))
            std::abort();
    return 0;
}
