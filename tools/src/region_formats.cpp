// Writers of the four region formats and the reader of the ellipse format.
#include "region_formats.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <istream>
#include <ostream>
#include <sstream>
#include <thread>

namespace tolvane {
namespace {

template <typename T>
std::string shortestText(T value)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

template <typename T>
void appendShortest(std::string& text, T value, char separator)
{
    char number[64];
    char* end = std::to_chars(number, number + sizeof number - 1, value).ptr;
    *end++ = separator;
    text.append(number, end);
}

// Below this many regions per thread the listing is formatted on one thread.
constexpr std::size_t kRegionsPerFormattingThread = 4096;

// The text of consecutive parts of `regions`, formatted by lines(first,
// last) each, the parts spread over up to `threads` threads.
template <typename Lines>
std::vector<std::string> formattedParts(const std::vector<Region>& regions, int threads, const Lines& lines)
{
    const std::size_t parts =
        std::max<std::size_t>(1, std::min<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)),
                                                       regions.size() / kRegionsPerFormattingThread));
    const std::size_t step = (regions.size() + parts - 1) / std::max<std::size_t>(parts, 1);
    std::vector<std::string> text(parts);
    const auto format = [&](std::size_t part) {
        const std::size_t first = std::min(part * step, regions.size());
        text[part] = lines(regions.data() + first, regions.data() + std::min(first + step, regions.size()));
    };
    std::vector<std::thread> helpers;
    for (std::size_t part = 1; part < parts; ++part)
        helpers.emplace_back(format, part);
    format(0);
    for (std::thread& helper : helpers)
        helper.join();
    return text;
}

std::string ellipseLines(const Region* first, const Region* last)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(last - first) * 64);
    for (const Region* r = first; r != last; ++r) {
        appendShortest(text, r->x, ' ');
        appendShortest(text, r->y, ' ');
        appendShortest(text, r->a, ' ');
        appendShortest(text, r->b, ' ');
        appendShortest(text, r->c, '\n');
    }
    return text;
}

std::string jsonNumber(double value)
{
    return std::isfinite(value) ? formatNumber(value) : "null";
}

std::string jsonNumber(float value)
{
    return std::isfinite(value) ? formatNumber(value) : "null";
}

// Bytes of the UTF-8 sequence a lead byte starts; 0 for a byte that starts none.
std::size_t utf8LengthOf(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
std::size_t utf8SequenceAt(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const std::size_t length = utf8LengthOf(lead);
    if (length == 0 || i + length > text.size())
        return 0;
    // The second byte's range excludes overlong forms, surrogates and code
    // points beyond U+10FFFF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = i + 2; k < i + length; ++k)
        if (byte(k) < 0x80 || byte(k) > 0xBF)
            return 0;
    return length;
}

// The entries (1,1), (1,2), (2,2) a record lists for a region's shape U: U
// itself when it is symmetric, as the exact mode's shapes are; otherwise the
// symmetric square root of U U^T, which covers the same ellipse. For a 2 x 2
// matrix S, P = (S + sqrt(det S) I) / sqrt(trace S + 2 sqrt(det S)) has P^2 = S.
std::array<float, 3> listedShape(const Region& region)
{
    const auto& u = region.shape;
    if (u[1] == u[2])
        return {u[0], u[1], u[3]};
    const double s11 = static_cast<double>(u[0]) * u[0] + static_cast<double>(u[1]) * u[1];
    const double s12 = static_cast<double>(u[0]) * u[2] + static_cast<double>(u[1]) * u[3];
    const double s22 = static_cast<double>(u[2]) * u[2] + static_cast<double>(u[3]) * u[3];
    const double root = std::sqrt(std::max(0.0, s11 * s22 - s12 * s12));
    const double norm = std::sqrt(s11 + s22 + 2 * root);
    return {static_cast<float>((s11 + root) / norm), static_cast<float>(s12 / norm),
            static_cast<float>((s22 + root) / norm)};
}

void writeListing(std::ostream& out, const std::vector<Region>& regions)
{
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& r = regions[i];
        const std::array<float, 3> m = listedShape(r);
        out << i << ".  x=" << r.x << ", y=" << r.y << ", mi11=" << m[0] << ", mi12=" << m[1] << ", mi22=" << m[2]
            << '\n';
    }
    out << "nb of regions = " << regions.size() << '\n';
}

void writeEllipseFormat(std::ostream& out, const std::vector<Region>& regions, int threads)
{
    out << "1.0\n" << regions.size() << '\n';
    for (const std::string& part : formattedParts(regions, threads, ellipseLines))
        out << part;
}

const char* const kCsvHeader = "index,x,y,response,scale,lapScale,mi11,mi12,mi22,lapIndex,level,mode,a,b,c";

void writeCsv(std::ostream& out, const DetectionInfo& info, const std::vector<Region>& regions)
{
    out << kCsvHeader << '\n';
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& r = regions[i];
        const std::array<float, 3> m = listedShape(r);
        out << i << ',' << formatNumber(r.x) << ',' << formatNumber(r.y) << ',' << formatNumber(r.response) << ','
            << formatNumber(r.scale) << ',' << formatNumber(r.lap_scale) << ',' << formatNumber(m[0]) << ','
            << formatNumber(m[1]) << ',' << formatNumber(m[2]) << ',' << r.lap_index << ','
            << r.level << ',' << info.mode << ',' << formatNumber(r.a) << ',' << formatNumber(r.b) << ','
            << formatNumber(r.c) << '\n';
    }
}

void writeJsonRegion(std::ostream& out, std::size_t index, int mode, const Region& r)
{
    const std::array<float, 3> m = listedShape(r);
    out << "    {\"index\": " << index << ", \"x\": " << jsonNumber(r.x) << ", \"y\": " << jsonNumber(r.y)
        << ", \"response\": " << jsonNumber(r.response) << ", \"scale\": " << jsonNumber(r.scale)
        << ", \"lapScale\": " << jsonNumber(r.lap_scale) << ", \"mi11\": " << jsonNumber(m[0])
        << ", \"mi12\": " << jsonNumber(m[1]) << ", \"mi22\": " << jsonNumber(m[2])
        << ", \"lapIndex\": " << r.lap_index << ", \"level\": " << r.level << ", \"mode\": " << mode
        << ", \"a\": " << jsonNumber(r.a) << ", \"b\": " << jsonNumber(r.b) << ", \"c\": " << jsonNumber(r.c)
        << "}";
}

void writeJson(std::ostream& out, const DetectionInfo& info, const std::vector<Region>& regions)
{
    out << "{\n  \"image\": " << jsonString(info.image) << ",\n  \"width\": " << info.width
        << ",\n  \"height\": " << info.height << ",\n  \"detector\": " << jsonString(info.detector)
        << ",\n  \"threshold\": " << jsonNumber(info.threshold) << ",\n  \"iterations\": " << info.iterations
        << ",\n  \"regions\": [";
    for (std::size_t i = 0; i < regions.size(); ++i) {
        out << (i == 0 ? "\n" : ",\n");
        writeJsonRegion(out, i, info.mode, regions[i]);
    }
    out << (regions.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

// Splits a line into numbers; false when a token is not a number.
bool numbersOf(const std::string& line, std::vector<double>& numbers)
{
    numbers.clear();
    std::istringstream tokens(line);
    std::string token;
    while (tokens >> token) {
        double value = 0.0;
        const auto result = std::from_chars(token.data(), token.data() + token.size(), value);
        if (result.ec != std::errc() || result.ptr != token.data() + token.size())
            return false;
        numbers.push_back(value);
    }
    return true;
}

// Reads the next line that is not blank; false at the end of the input.
bool nextLine(std::istream& in, std::vector<double>& numbers, int& lineNumber, bool& isNumeric)
{
    std::string line;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            isNumeric = numbersOf(line, numbers);
            return true;
        }
    }
    return false;
}

bool failAt(int lineNumber, const std::string& reason, std::string& error)
{
    error = "line " + std::to_string(lineNumber) + ": " + reason;
    return false;
}

bool ellipseOf(const std::vector<double>& n, Ellipse& e)
{
    e = Ellipse{static_cast<float>(n[0]), static_cast<float>(n[1]), n[2], n[3], n[4]};
    return std::isfinite(e.x) && std::isfinite(e.y) && e.a > 0.0 && e.c > 0.0 &&
           e.a * e.c - e.b * e.b > 0.0 && std::isfinite(e.a * e.c);
}

bool readCount(std::istream& in, int& lineNumber, std::size_t& count, std::string& error)
{
    std::vector<double> numbers;
    bool numeric = false;
    if (!nextLine(in, numbers, lineNumber, numeric) || !numeric || numbers.size() != 1) {
        error = "not an ellipse region file: no first line with one number";
        return false;
    }
    if (!nextLine(in, numbers, lineNumber, numeric) || !numeric || numbers.size() != 1 ||
        numbers[0] < 0 || numbers[0] != std::floor(numbers[0]) || numbers[0] > 1e9)
        return failAt(lineNumber, "expected the number of regions", error);
    count = static_cast<std::size_t>(numbers[0]);
    return true;
}

}  // namespace

bool parseRegionFormat(const std::string& name, RegionFormat& format)
{
    static const std::pair<const char*, RegionFormat> kNames[] = {
        {"legacy", RegionFormat::Legacy}, {"ellipse", RegionFormat::Ellipse},
        {"csv", RegionFormat::Csv},       {"json", RegionFormat::Json}};
    for (const auto& [text, value] : kNames) {
        if (name == text) {
            format = value;
            return true;
        }
    }
    return false;
}

const char* extensionOf(RegionFormat format)
{
    switch (format) {
    case RegionFormat::Legacy: return ".txt";
    case RegionFormat::Ellipse: return ".regions";
    case RegionFormat::Csv: return ".csv";
    case RegionFormat::Json: return ".json";
    }
    return "";
}

// A JSON string. A byte that is not part of well-formed UTF-8 (a file name
// need not be text) becomes the lone surrogate \udcXX, which keeps the byte.
std::string jsonString(const std::string& text)
{
    std::string quoted = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += text[i++];
            continue;
        }
        if (c >= 0x20 && c < 0x80) {
            quoted += text[i++];
            continue;
        }
        const std::size_t length = c < 0x20 ? 0 : utf8SequenceAt(text, i);
        if (length > 0) {
            quoted.append(text, i, length);
            i += length;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c < 0x20 ? c : 0xDC00u + c);
        quoted += escaped;
        ++i;
    }
    return quoted + "\"";
}

int extractionMode(const DetectorOptions& options)
{
    if (options.detector == Detector::Hessian)
        return 2;
    return options.iterations == 0 ? 0 : 1;
}

std::string formatNumber(float value)
{
    return shortestText(value);
}

std::string formatNumber(double value)
{
    return shortestText(value);
}

void writeRegions(std::ostream& out, RegionFormat format, const DetectionInfo& info,
                  const std::vector<Region>& regions, int threads)
{
    switch (format) {
    case RegionFormat::Legacy: writeListing(out, regions); break;
    case RegionFormat::Ellipse: writeEllipseFormat(out, regions, threads); break;
    case RegionFormat::Csv: writeCsv(out, info, regions); break;
    case RegionFormat::Json: writeJson(out, info, regions); break;
    }
}

bool readEllipses(std::istream& in, std::vector<Ellipse>& ellipses, std::string& error)
{
    int lineNumber = 0;
    std::size_t count = 0;
    if (!readCount(in, lineNumber, count, error))
        return false;
    ellipses.clear();
    std::vector<double> numbers;
    bool numeric = false;
    while (nextLine(in, numbers, lineNumber, numeric)) {
        if (ellipses.size() == count)
            return failAt(lineNumber, "more region lines than the count " + std::to_string(count), error);
        if (!numeric || numbers.size() < 5)
            return failAt(lineNumber, "expected the five numbers x y a b c", error);
        Ellipse e{};
        if (!ellipseOf(numbers, e))
            return failAt(lineNumber, "[[a, b], [b, c]] is not a finite positive definite matrix", error);
        ellipses.push_back(e);
    }
    if (ellipses.size() < count) {
        error = "the file announces " + std::to_string(count) + " regions but has " +
                std::to_string(ellipses.size());
        return false;
    }
    return true;
}

}  // namespace tolvane
