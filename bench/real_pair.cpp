#include "real_pair.h"

#include <tolvane/tolvane.h>

#include <opencv2/core.hpp>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace bench {
namespace {

GreyImage greyImage(const std::string& path)
{
    tolvane::Image image = tolvane::readImage(path);
    return {image.width, image.height, std::move(image.pixels)};
}

}  // namespace

std::string realPairFolder()
{
    const char* folder = std::getenv("TOLVANE_REAL_PAIR");
    return folder ? folder : TOLVANE_REAL_PAIR_DEFAULT;
}

std::optional<RealPair> readRealPair(const std::string& folder)
{
    const std::string truth = folder + "/H1to3p.xml";
    if (!std::ifstream(truth))
        return std::nullopt;
    cv::Mat h;
    cv::FileStorage(truth, cv::FileStorage::READ)["H13"] >> h;
    if (h.rows != 3 || h.cols != 3 || h.type() != CV_64F)
        throw std::runtime_error(truth + ": no 3 x 3 homography H13");
    RealPair pair{greyImage(folder + "/graf1.png"), greyImage(folder + "/graf3.png"), {}};
    for (int k = 0; k < 9; ++k)
        pair.homography[k] = h.at<double>(k / 3, k % 3);
    return pair;
}

}  // namespace bench
