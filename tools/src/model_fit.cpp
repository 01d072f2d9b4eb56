#include "model_fit.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

namespace tolvane {
namespace {

constexpr double kConfidence = 0.9999;
constexpr int kMaxIterations = 10000;

std::size_t pairsNeeded(ModelKind kind)
{
    return kind == ModelKind::Homography ? 4 : 8;
}

}  // namespace

ModelFit fitModel(ModelKind kind, const std::vector<PointPair>& pairs, double maxError)
{
    ModelFit fit;
    fit.inlier.assign(pairs.size(), false);
    if (kind == ModelKind::None || pairs.size() < pairsNeeded(kind))
        return fit;
    std::vector<cv::Point2d> a, b;
    for (const PointPair& p : pairs) {
        a.emplace_back(p.xa, p.ya);
        b.emplace_back(p.xb, p.yb);
    }
    cv::Mat mask;
    cv::Mat model;
    if (kind == ModelKind::Homography)
        model = cv::findHomography(a, b, cv::USAC_MAGSAC, maxError, mask, kMaxIterations, kConfidence);
    else
        model = cv::findFundamentalMat(a, b, cv::USAC_MAGSAC, maxError, kConfidence, kMaxIterations, mask);
    if (model.rows != 3 || model.cols != 3 || mask.total() != pairs.size())
        return fit;
    fit.found = true;
    model.convertTo(model, CV_64F);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            fit.m[r][c] = model.at<double>(r, c);
    for (std::size_t i = 0; i < pairs.size(); ++i)
        fit.inlier[i] = mask.at<unsigned char>(static_cast<int>(i)) != 0;
    return fit;
}

}  // namespace tolvane
