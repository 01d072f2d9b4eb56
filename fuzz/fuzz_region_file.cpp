// Coverage-guided fuzz target: arbitrary bytes through the reader of every
// region and frame format, which tells them apart by their content. Every
// ellipse it accepts is finite and positive definite, every frame has its
// descriptor bytes; a refusal is one non-empty line.
#include "region_files.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tolvane::RegionFile file;
    std::string error;
    if (!tolvane::readRegionText(std::string(reinterpret_cast<const char*>(data), size), file, error)) {
        if (error.empty() || error.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    for (const tolvane::Ellipse& e : file.ellipses)
        if (!std::isfinite(e.x) || !std::isfinite(e.y) || !(e.a > 0) || !(e.c > 0) || !(e.a * e.c - e.b * e.b > 0))
            std::abort();
    if (file.hasFrames && file.frames.descriptors.size() != file.frames.frames.size() * file.frames.length)
        std::abort();
    return 0;
}
