#include "description.h"

#include <tolvane/error.h>

namespace tolvane {
bool parseDescriptorKind(const std::string& name, DescriptorKind& kind)
{
    if (name == "sift")
        kind = DescriptorKind::Sift;
    else if (name == "rootsift")
        kind = DescriptorKind::RootSift;
    else if (name == "none")
        kind = DescriptorKind::None;
    else
        return false;
    return true;
}

const char* nameOf(DescriptorKind kind)
{
    switch (kind) {
    case DescriptorKind::Sift:
        return "sift";
    case DescriptorKind::RootSift:
        return "rootsift";
    case DescriptorKind::None:
        break;
    }
    return "none";
}

bool describeFile(const std::string& path, const DetectorOptions& detector, const ReadOptions& reading,
                  const DescribeOptions& options, DescribedImage& described, std::string& error)
{
    try {
        described.image = readImage(path, reading);
        std::vector<Region> regions = detect(described.image.view(), detector);
        Description d = describe(described.image.view(), regions, options);
        described.frames.regions = std::move(regions);
        described.frames.frames = std::move(d.frames);
        described.frames.region_of_frame = std::move(d.region_of_frame);
        described.frames.descriptors = std::move(d.descriptors);
        described.frames.length = options.descriptor == DescriptorKind::None ? 0 : kDescriptorLength;
        described.patches = std::move(d.patches);
    } catch (const Error& e) {
        error = e.what();
        return false;
    }
    return true;
}

RasterImage patchStack(const std::vector<std::uint8_t>& patches, int side)
{
    const std::size_t tile = static_cast<std::size_t>(side) * side;
    RasterImage stack;
    stack.width = side;
    stack.height = static_cast<int>(patches.size() / tile) * side;
    stack.channels = 1;
    stack.samples.assign(patches.begin(), patches.end());
    return stack;
}

}  // namespace tolvane
