#include "image_io.h"

#include <tolvane/error.h>

namespace tolvane {

ImagePtr loadGreyImage(const std::string& path, const ReadOptions& options, std::string& error)
{
    try {
        const Image image = readImage(path, options);
        ImagePtr grey(new DERY(image.height, image.width));
        std::copy(image.pixels.begin(), image.pixels.end(), grey->pixels[0]);
        return grey;
    } catch (const Error& e) {
        error = e.what();
        return nullptr;
    }
}

ImagePtr loadGreyImage(const std::string& path, std::string& error)
{
    return loadGreyImage(path, ReadOptions{}, error);
}

}  // namespace tolvane
