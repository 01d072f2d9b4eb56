#include "opencv_format.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

namespace tolvane {
namespace {

constexpr int kFrameFields = 6;
constexpr double kDegrees = 180.0 / 3.14159265358979323846;

cv::KeyPoint keyPointOf(const FrameSet& set, std::size_t i)
{
    const Frame& f = set.frames[i];
    const double det = double(f.a11) * f.a22 - double(f.a12) * f.a21;
    double angle = std::atan2(double(f.a21), double(f.a11)) * kDegrees;
    if (angle < 0)
        angle += 360.0;
    cv::KeyPoint point(f.x, f.y, static_cast<float>(2.0 * std::sqrt(std::abs(det))), static_cast<float>(angle));
    if (!set.regions.empty()) {
        const std::size_t region = set.region_of_frame.empty() ? i : set.region_of_frame[i];
        point.response = set.regions[region].response;
        point.octave = set.regions[region].level;
        point.class_id = static_cast<int>(region);
    }
    return point;
}

// A circle of diameter `size` turned by `angle`: what a keypoint of
// OpenCV's own detectors covers.
Frame frameOf(const cv::KeyPoint& point)
{
    const double radius = point.size / 2.0;
    const double turn = point.angle < 0 ? 0.0 : point.angle / kDegrees;
    const auto c = static_cast<float>(radius * std::cos(turn));
    const auto s = static_cast<float>(radius * std::sin(turn));
    return Frame{point.pt.x, point.pt.y, c, -s, s, c};
}

// Whether a matrix node's rows and columns agree with the number of values
// it holds (an absent node does too): OpenCV allocates what rows and
// columns claim before reading the values, so a few bytes could otherwise
// ask for any amount of memory.
bool claimsOnlyItsData(const cv::FileNode& node)
{
    if (node.empty())
        return true;
    const cv::FileNode rows = node["rows"];
    const cv::FileNode cols = node["cols"];
    const cv::FileNode data = node["data"];
    if (!rows.isInt() || !cols.isInt() || !data.isSeq())
        return false;
    const long long r = static_cast<int>(rows);
    const long long c = static_cast<int>(cols);
    return r >= 0 && c >= 0 && r * c == static_cast<long long>(data.size());
}

bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Numbers separated by commas and spaces, the end of a list (']') allowed.
bool isNumberList(const std::string& text)
{
    return text.find_first_not_of("0123456789+-.eE, ") == std::string::npos ||
           (text.back() == ']' && isNumberList(text.substr(0, text.size() - 1)));
}

// Whether a line has a shape OpenCV's writer gives numbers, keypoint lists
// and matrices: "name: value" at the left margin, and indented "rows: N",
// "cols: N", "dt: TYPE", "data: [ numbers", "- [ numbers", "[]" or numbers.
bool isWriterLine(std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos)
        return true;
    const std::string text = line.substr(indent);
    if (indent == 0) {
        const std::size_t colon = text.find(':');
        if (colon == 0 || colon == std::string::npos ||
            !std::all_of(text.begin(), text.begin() + colon, isNameChar))
            return false;
        const std::string value = text.substr(colon + 1);
        return value.empty() || value == " !!opencv-matrix" || value == " []" || isNumberList(value);
    }
    for (const char* prefix : {"rows: ", "cols: ", "data: [", "- ["})
        if (text.rfind(prefix, 0) == 0)
            return isNumberList(text.substr(std::strlen(prefix)));
    if (text.rfind("dt: ", 0) == 0)
        return std::all_of(text.begin() + 4, text.end(), isNameChar);
    return text == "[]" || isNumberList(text);
}

// OpenCV's YAML parser can loop forever on some malformed input, so it is
// given only files whose every line has a shape its own writer produces.
bool hasWriterShape(const std::string& content)
{
    std::istringstream in(content);
    std::string line;
    if (!std::getline(in, line) || line.rfind("%YAML:1.0", 0) != 0 || !std::getline(in, line) ||
        line.rfind("---", 0) != 0)
        return false;
    while (std::getline(in, line))
        if (!isWriterLine(line))
            return false;
    return true;
}

}  // namespace

std::string openCvFramesText(const DescriptionInfo& info, const FrameSet& set)
{
    std::vector<cv::KeyPoint> points;
    cv::Mat frames(static_cast<int>(set.frames.size()), kFrameFields, CV_32F);
    for (std::size_t i = 0; i < set.frames.size(); ++i) {
        points.push_back(keyPointOf(set, i));
        const Frame& f = set.frames[i];
        const float fields[kFrameFields] = {f.x, f.y, f.a11, f.a12, f.a21, f.a22};
        std::memcpy(frames.ptr<float>(static_cast<int>(i)), fields, sizeof fields);
    }
    cv::Mat descriptors;
    if (set.length > 0)
        descriptors = cv::Mat(static_cast<int>(set.frames.size()), static_cast<int>(set.length), CV_8U,
                              const_cast<std::uint8_t*>(set.descriptors.data()));
    cv::FileStorage storage(".yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
    storage << "image_width" << info.width << "image_height" << info.height;
    cv::write(storage, "keypoints", points);
    storage << "descriptors" << descriptors << "frames" << frames;
    return storage.releaseAndGetString();
}

bool readOpenCvFrames(const std::string& content, FrameSet& set, int& width, int& height, std::string& error)
{
    if (!hasWriterShape(content)) {
        error = "not an OpenCV file of keypoints, descriptors and frames as OpenCV writes them";
        return false;
    }
    try {
        cv::FileStorage storage(content, cv::FileStorage::READ | cv::FileStorage::MEMORY);
        for (const char* name : {"frames", "descriptors"})
            if (!claimsOnlyItsData(storage[name])) {
                error = std::string("the ") + name + " matrix's rows and columns disagree with its data";
                return false;
            }
        std::vector<cv::KeyPoint> points;
        cv::read(storage["keypoints"], points);
        cv::Mat frames, descriptors;
        storage["frames"] >> frames;
        storage["descriptors"] >> descriptors;
        width = storage["image_width"].empty() ? 0 : static_cast<int>(storage["image_width"]);
        height = storage["image_height"].empty() ? 0 : static_cast<int>(storage["image_height"]);
        set = FrameSet{};
        if (!frames.empty() && (frames.type() != CV_32F || frames.cols != kFrameFields)) {
            error = "the frames node is not a matrix of 6 float columns";
            return false;
        }
        const std::size_t count = frames.empty() ? points.size() : static_cast<std::size_t>(frames.rows);
        if (!descriptors.empty() && (descriptors.type() != CV_8U || static_cast<std::size_t>(descriptors.rows) != count)) {
            error = "the descriptors are not one row of bytes per keypoint";
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (frames.empty()) {
                set.frames.push_back(frameOf(points[i]));
                continue;
            }
            const float* f = frames.ptr<float>(static_cast<int>(i));
            set.frames.push_back(Frame{f[0], f[1], f[2], f[3], f[4], f[5]});
        }
        set.length = descriptors.empty() ? 0 : static_cast<std::size_t>(descriptors.cols);
        for (int row = 0; row < descriptors.rows; ++row)
            set.descriptors.insert(set.descriptors.end(), descriptors.ptr<std::uint8_t>(row),
                                   descriptors.ptr<std::uint8_t>(row) + descriptors.cols);
    } catch (const cv::Exception& e) {
        // OpenCV's parser puts the position and reason where the function
        // name would be.
        error = "not a readable OpenCV file: " + e.err + (e.func.empty() ? "" : " " + e.func);
        return false;
    }
    return true;
}

}  // namespace tolvane
