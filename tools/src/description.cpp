#include "description.h"

#include <tolvane/error.h>

namespace tolvane {
namespace {

std::vector<Region> regionsOf(const RegionList& list)
{
    std::vector<Region> regions;
    for (const AffRegion* record : list.regions) {
        Ellipse e{};
        if (!regionEllipse(*record, e))
            continue;
        Region r;
        r.x = record->x;
        r.y = record->y;
        r.a = e.a;
        r.b = e.b;
        r.c = e.c;
        regions.push_back(r);
    }
    return regions;
}

}  // namespace

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

bool describeFile(const std::string& path, const DetectorSettings& detector, const DescribeOptions& options,
                  DescribedImage& described, std::string& error)
{
    described.image = loadGreyImage(path, error);
    if (!described.image)
        return false;
    const DERY& image = *described.image;
    std::vector<float> pixels;
    pixels.reserve(static_cast<std::size_t>(image.cols) * image.rows);
    for (int y = 0; y < image.rows; ++y)
        pixels.insert(pixels.end(), image.pixels[y], image.pixels[y] + image.cols);
    const std::vector<Region> regions = regionsOf(detect(*described.image, detector));
    try {
        Description d = describe(ImageView(pixels.data(), image.cols, image.rows), regions, options);
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
