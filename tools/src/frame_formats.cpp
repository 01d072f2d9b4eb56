#include "frame_formats.h"

#include "extensions.h"
#include "region_formats.h"

#include <tolvane/error.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>
#include <sstream>

namespace tolvane {
namespace {

const char kMagic[8] = {'T', 'V', 'F', 'R', 'A', 'M', 'E', '1'};
constexpr int kFrameFields = 6;
// Longest descriptor a file may declare, and most frames: guards against
// allocating for a corrupt header.
constexpr std::uint32_t kMaxLength = 1 << 16;
constexpr std::uint64_t kMaxFrames = std::uint64_t(1) << 32;

template <typename T>
void putLittleEndian(std::ostream& out, T value)
{
    unsigned char bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xff);
    out.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

template <typename T>
bool getLittleEndian(std::istream& in, T& value)
{
    unsigned char bytes[sizeof(T)];
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes))
        return false;
    value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<T>(bytes[i]) << (8 * i);
    return true;
}

std::uint32_t bitsOf(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float floatOf(std::uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::array<float, kFrameFields> fieldsOf(const Frame& f)
{
    return {f.x, f.y, f.a11, f.a12, f.a21, f.a22};
}

const std::uint8_t* descriptorOf(const FrameSet& set, std::size_t i)
{
    return set.descriptors.data() + i * set.length;
}

void writeEllipses(std::ostream& out, const FrameSet& set)
{
    if (set.length == 0)
        out << "1.0\n";
    else
        out << set.length << '\n';
    out << set.frames.size() << '\n';
    for (std::size_t i = 0; i < set.frames.size(); ++i) {
        const Frame& f = set.frames[i];
        const FrameEllipse e = ellipseOf(f);
        out << formatNumber(f.x) << ' ' << formatNumber(f.y) << ' ' << formatNumber(e.a) << ' ' << formatNumber(e.b)
            << ' ' << formatNumber(e.c);
        for (std::size_t k = 0; k < set.length; ++k)
            out << ' ' << static_cast<int>(descriptorOf(set, i)[k]);
        out << '\n';
    }
}

std::size_t regionOf(const FrameSet& set, std::size_t i)
{
    return set.region_of_frame.empty() ? i : set.region_of_frame[i];
}

void writeCsv(std::ostream& out, const FrameSet& set)
{
    out << "index,region,x,y,a11,a12,a21,a22,a,b,c";
    for (std::size_t k = 0; k < set.length; ++k)
        out << ",d" << k;
    out << '\n';
    for (std::size_t i = 0; i < set.frames.size(); ++i) {
        const Frame& f = set.frames[i];
        const FrameEllipse e = ellipseOf(f);
        out << i << ',' << regionOf(set, i);
        for (float v : fieldsOf(f))
            out << ',' << formatNumber(v);
        out << ',' << formatNumber(e.a) << ',' << formatNumber(e.b) << ',' << formatNumber(e.c);
        for (std::size_t k = 0; k < set.length; ++k)
            out << ',' << static_cast<int>(descriptorOf(set, i)[k]);
        out << '\n';
    }
}

std::string quoted(const std::string& text)
{
    std::ostringstream out;
    out << '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\')
            out << '\\' << ch;
        else if (c < 0x20)
            out << "\\u00" << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
        else
            out << ch;
    }
    out << '"';
    return out.str();
}

void writeJson(std::ostream& out, const DescriptionInfo& info, const FrameSet& set)
{
    out << "{\"image\": " << quoted(info.image) << ", \"width\": " << info.width << ", \"height\": " << info.height
        << ", \"detector\": " << quoted(info.detector) << ", \"descriptor\": " << quoted(info.descriptor)
        << ", \"descriptor_length\": " << set.length << ",\n \"frames\": [";
    for (std::size_t i = 0; i < set.frames.size(); ++i) {
        const Frame& f = set.frames[i];
        const FrameEllipse e = ellipseOf(f);
        out << (i ? ",\n  " : "\n  ") << "{\"region\": " << regionOf(set, i) << ", \"x\": " << formatNumber(f.x)
            << ", \"y\": " << formatNumber(f.y) << ", \"frame\": [" << formatNumber(f.a11) << ", "
            << formatNumber(f.a12) << ", " << formatNumber(f.a21) << ", " << formatNumber(f.a22)
            << "], \"ellipse\": [" << formatNumber(e.a) << ", " << formatNumber(e.b) << ", " << formatNumber(e.c)
            << "]";
        if (set.length > 0) {
            out << ", \"descriptor\": [";
            for (std::size_t k = 0; k < set.length; ++k)
                out << (k ? ", " : "") << static_cast<int>(descriptorOf(set, i)[k]);
            out << "]";
        }
        out << "}";
    }
    out << "\n]}\n";
}

void writeBinary(std::ostream& out, const FrameSet& set)
{
    out.write(kMagic, sizeof kMagic);
    putLittleEndian<std::uint32_t>(out, static_cast<std::uint32_t>(set.length));
    putLittleEndian<std::uint32_t>(out, 0);
    putLittleEndian<std::uint64_t>(out, set.frames.size());
    for (const Frame& f : set.frames)
        for (float v : fieldsOf(f))
            putLittleEndian<std::uint32_t>(out, bitsOf(v));
    out.write(reinterpret_cast<const char*>(set.descriptors.data()),
              static_cast<std::streamsize>(set.descriptors.size()));
}

bool readBinary(std::istream& in, FrameSet& set, std::string& error)
{
    char magic[sizeof kMagic];
    std::uint32_t length = 0, reserved = 0;
    std::uint64_t count = 0;
    if (!in.read(magic, sizeof magic) || !getLittleEndian(in, length) || !getLittleEndian(in, reserved) ||
        !getLittleEndian(in, count)) {
        error = "truncated frame file header";
        return false;
    }
    if (length > kMaxLength || count > kMaxFrames) {
        error = "frame file header out of range";
        return false;
    }
    // Nothing is allocated for more frames than the file holds.
    const std::streampos start = in.tellg();
    in.seekg(0, std::ios::end);
    const std::uint64_t remaining = static_cast<std::uint64_t>(in.tellg() - start);
    in.seekg(start);
    if (remaining < count * (kFrameFields * sizeof(float) + length)) {
        error = "frame file is shorter than its header says";
        return false;
    }
    set = FrameSet{};
    set.length = length;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint32_t bits[kFrameFields];
        for (std::uint32_t& b : bits)
            if (!getLittleEndian(in, b)) {
                error = "frame file ends within frame " + std::to_string(i);
                return false;
            }
        set.frames.push_back({floatOf(bits[0]), floatOf(bits[1]), floatOf(bits[2]), floatOf(bits[3]),
                              floatOf(bits[4]), floatOf(bits[5])});
    }
    set.descriptors.resize(count * length);
    const auto descriptorBytes = static_cast<std::streamsize>(set.descriptors.size());
    if (!in.read(reinterpret_cast<char*>(set.descriptors.data()), descriptorBytes)) {
        error = "frame file ends within the descriptors";
        return false;
    }
    return true;
}

bool readEllipseText(std::istream& in, FrameSet& set, std::string& error)
{
    set = FrameSet{};
    std::string first;
    long long count = -1;
    if (!(in >> first >> count) || count < 0) {
        error = "not a region file: no descriptor length and count on the first two lines";
        return false;
    }
    if (first.find_first_not_of("0123456789") == std::string::npos) {
        const auto parsed = std::from_chars(first.data(), first.data() + first.size(), set.length);
        if (parsed.ec != std::errc() || set.length > kMaxLength) {
            error = "descriptor length " + first + " out of range";
            return false;
        }
    }
    for (long long i = 0; i < count; ++i) {
        Region r;
        if (!(in >> r.x >> r.y >> r.a >> r.b >> r.c)) {
            error = "region " + std::to_string(i) + ": expected x y a b c";
            return false;
        }
        try {
            set.frames.push_back(uprightFrame(r));
        } catch (const Error&) {
            error = "region " + std::to_string(i) + ": not a positive definite ellipse";
            return false;
        }
        for (std::size_t k = 0; k < set.length; ++k) {
            int value = -1;
            if (!(in >> value) || value < 0 || value > 255) {
                error = "region " + std::to_string(i) + ": expected " + std::to_string(set.length) +
                        " descriptor values from 0 to 255";
                return false;
            }
            set.descriptors.push_back(static_cast<std::uint8_t>(value));
        }
    }
    return true;
}

}  // namespace

bool parseFrameFormat(const std::string& name, FrameFormat& format)
{
    if (name == "ellipse")
        format = FrameFormat::Ellipse;
    else if (name == "csv")
        format = FrameFormat::Csv;
    else if (name == "json")
        format = FrameFormat::Json;
    else if (name == "binary")
        format = FrameFormat::Binary;
    else if (name == "opencv")
        format = FrameFormat::OpenCv;
    else
        return false;
    return true;
}

const char* extensionOf(FrameFormat format)
{
    switch (format) {
    case FrameFormat::Ellipse:
        return ".regions";
    case FrameFormat::Csv:
        return ".csv";
    case FrameFormat::Json:
        return ".json";
    case FrameFormat::Binary:
        return ".frames";
    case FrameFormat::OpenCv:
        return ".yml";
    }
    return "";
}

FrameEllipse ellipseOf(const Frame& f)
{
    const double s11 = double(f.a11) * f.a11 + double(f.a12) * f.a12;
    const double s12 = double(f.a11) * f.a21 + double(f.a12) * f.a22;
    const double s22 = double(f.a21) * f.a21 + double(f.a22) * f.a22;
    const double det = s11 * s22 - s12 * s12;
    return {s22 / det, -s12 / det + 0.0, s11 / det};
}

void writeFrames(std::ostream& out, FrameFormat format, const DescriptionInfo& info, const FrameSet& set)
{
    switch (format) {
    case FrameFormat::Ellipse:
        writeEllipses(out, set);
        break;
    case FrameFormat::Csv:
        writeCsv(out, set);
        break;
    case FrameFormat::Json:
        writeJson(out, info, set);
        break;
    case FrameFormat::Binary:
        writeBinary(out, set);
        break;
    case FrameFormat::OpenCv:
        out << callExtension(&Extensions::openCvFramesText, info, set);
        break;
    }
}

bool readFrames(std::istream& in, FrameSet& set, std::string& error)
{
    char start[sizeof kMagic] = {};
    in.read(start, sizeof start);
    const bool binary = in.gcount() == sizeof start && std::memcmp(start, kMagic, sizeof start) == 0;
    in.clear();
    in.seekg(0);
    return binary ? readBinary(in, set, error) : readEllipseText(in, set, error);
}

bool looksLikeBinaryFrames(const std::string& content)
{
    return content.compare(0, sizeof kMagic, kMagic, sizeof kMagic) == 0;
}

bool looksLikeOpenCv(const std::string& content)
{
    return content.compare(0, 5, "%YAML") == 0;
}

}  // namespace tolvane
