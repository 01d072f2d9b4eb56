// Format recognition, the Netpbm readers and the grey conversion.
#include "image_io.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tolvane {
namespace {

enum class FileKind { BinaryPgm, AsciiPgm, BinaryPpm, AsciiPpm, Png, Jpeg, Unknown };

FileKind kindOf(const std::string& head)
{
    static const std::string pngSignature("\x89PNG\r\n\x1a\n", 8);
    if (head.compare(0, pngSignature.size(), pngSignature) == 0)
        return FileKind::Png;
    if (head.size() >= 3 && static_cast<unsigned char>(head[0]) == 0xFF &&
        static_cast<unsigned char>(head[1]) == 0xD8 && static_cast<unsigned char>(head[2]) == 0xFF)
        return FileKind::Jpeg;
    if (head.size() >= 2 && head[0] == 'P') {
        switch (head[1]) {
        case '2': return FileKind::AsciiPgm;
        case '3': return FileKind::AsciiPpm;
        case '5': return FileKind::BinaryPgm;
        case '6': return FileKind::BinaryPpm;
        default: break;
        }
    }
    return FileKind::Unknown;
}

// Tokens of a Netpbm file: whitespace separates them and '#' starts a comment
// that runs to the end of its line.
class NetpbmScanner {
public:
    explicit NetpbmScanner(const std::string& data) : data_(data) {}

    bool number(long long& value)
    {
        skipSpaceAndComments();
        const std::size_t start = pos_;
        value = 0;
        while (pos_ < data_.size() && std::isdigit(static_cast<unsigned char>(data_[pos_]))) {
            if (value < kTooLarge)
                value = value * 10 + (data_[pos_] - '0');
            ++pos_;
        }
        const bool endsToken = pos_ == data_.size() || std::isspace(static_cast<unsigned char>(data_[pos_])) ||
                               data_[pos_] == '#';
        return pos_ > start && endsToken;
    }

    // The single whitespace character between the header and a binary raster.
    bool rasterSeparator()
    {
        if (pos_ >= data_.size() || !std::isspace(static_cast<unsigned char>(data_[pos_])))
            return false;
        ++pos_;
        return true;
    }

    void skipMagic() { pos_ = 2; }
    std::size_t remaining() const { return data_.size() - pos_; }
    const char* rest() const { return data_.data() + pos_; }

    // Numbers stop growing here; larger ones are refused.
    static constexpr long long kTooLarge = 1000000000LL;

private:

    void skipSpaceAndComments()
    {
        while (pos_ < data_.size()) {
            if (data_[pos_] == '#') {
                const std::size_t end = data_.find('\n', pos_);
                pos_ = end == std::string::npos ? data_.size() : end + 1;
            } else if (std::isspace(static_cast<unsigned char>(data_[pos_]))) {
                ++pos_;
            } else {
                break;
            }
        }
    }

    const std::string& data_;
    std::size_t pos_ = 0;
};

bool readHeaderNumber(NetpbmScanner& scanner, const char* name, long long& value, std::string& error)
{
    if (!scanner.number(value)) {
        error = std::string("bad or missing ") + name + " in the header";
        return false;
    }
    if (value >= NetpbmScanner::kTooLarge) {
        error = std::string(name) + " in the header is too large";
        return false;
    }
    return true;
}

bool readNetpbmHeader(NetpbmScanner& scanner, RasterImage& raster, long long& maxValue,
                      std::string& error)
{
    scanner.skipMagic();
    long long width = 0;
    long long height = 0;
    if (!readHeaderNumber(scanner, "width", width, error) ||
        !readHeaderNumber(scanner, "height", height, error) ||
        !readHeaderNumber(scanner, "maximum value", maxValue, error) ||
        !checkImageSides(width, height, error))
        return false;
    if (maxValue < 1 || maxValue > 255) {
        error = "only 8-bit samples are supported (maximum value " + std::to_string(maxValue) + ")";
        return false;
    }
    raster.width = static_cast<int>(width);
    raster.height = static_cast<int>(height);
    return true;
}

bool readBinarySamples(NetpbmScanner& scanner, RasterImage& raster, std::string& error)
{
    const std::size_t count = raster.samples.size();
    if (!scanner.rasterSeparator()) {
        error = "no whitespace between the header and the raster";
        return false;
    }
    if (scanner.remaining() < count) {
        error = "raster ends after " + std::to_string(scanner.remaining()) + " of " +
                std::to_string(count) + " bytes";
        return false;
    }
    std::copy(scanner.rest(), scanner.rest() + count, raster.samples.begin());
    return true;
}

bool readAsciiSamples(NetpbmScanner& scanner, RasterImage& raster, long long maxValue,
                      std::string& error)
{
    for (std::size_t i = 0; i < raster.samples.size(); ++i) {
        long long value = 0;
        if (!scanner.number(value)) {
            error = "sample " + std::to_string(i + 1) + " of " +
                    std::to_string(raster.samples.size()) + " is missing or not a number";
            return false;
        }
        if (value > maxValue) {
            error = "sample " + std::to_string(i + 1) + " exceeds the maximum value " +
                    std::to_string(maxValue);
            return false;
        }
        raster.samples[i] = static_cast<unsigned char>(value);
    }
    return true;
}

bool decodeNetpbm(const std::string& data, int channels, bool ascii, RasterImage& raster,
                  std::string& error)
{
    NetpbmScanner scanner(data);
    long long maxValue = 0;
    if (!readNetpbmHeader(scanner, raster, maxValue, error))
        return false;
    raster.channels = channels;
    raster.samples.assign(static_cast<std::size_t>(raster.width) * raster.height * channels, 0);
    return ascii ? readAsciiSamples(scanner, raster, maxValue, error)
                 : readBinarySamples(scanner, raster, error);
}

bool readWholeFile(std::istream& in, std::string& data, std::string& error)
{
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "read error";
        return false;
    }
    return true;
}

ImagePtr greyImageOrNull(bool decoded, const RasterImage& raster)
{
    return decoded ? greyImageOf(raster) : nullptr;
}

}  // namespace

bool checkImageSides(long long width, long long height, std::string& error)
{
    if (width < 1 || height < 1) {
        error = "image of " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels has no pixels";
        return false;
    }
    if (width > kMaxPixels || height > kMaxPixels || width * height > kMaxPixels) {
        error = "image of " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels is too large";
        return false;
    }
    return true;
}

unsigned char lumaOf(unsigned char red, unsigned char green, unsigned char blue)
{
    // Integer weights in thousandths keep the rounding exact.
    return static_cast<unsigned char>((299u * red + 587u * green + 114u * blue + 500u) / 1000u);
}

ImagePtr greyImageOf(const RasterImage& raster)
{
    ImagePtr image(new DERY(raster.height, raster.width));
    float* pixels = image->pixels[0];
    const unsigned char* s = raster.samples.data();
    for (int i = 0; i < image->size; ++i, s += raster.channels)
        pixels[i] = raster.channels == 3 ? lumaOf(s[0], s[1], s[2]) : s[0];
    return image;
}

ImagePtr loadGreyImage(const std::string& path, std::string& error)
{
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        error = "is a directory";
        return nullptr;
    }
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return nullptr;
    }
    char head[8] = {};
    if (!file.read(head, sizeof head).gcount()) {
        error = "file is empty";
        return nullptr;
    }
    const FileKind kind = kindOf(std::string(head, static_cast<std::size_t>(file.gcount())));
    file.clear();
    file.seekg(0);

    RasterImage raster;
    std::string data;
    switch (kind) {
    case FileKind::BinaryPgm: {
        ImagePtr image(readPGM(file, error));
        if (image && image->size == 0) {
            error = "image of " + std::to_string(image->cols) + " x " +
                    std::to_string(image->rows) + " pixels has no pixels";
            return nullptr;
        }
        return image;
    }
    case FileKind::AsciiPgm:
    case FileKind::AsciiPpm:
    case FileKind::BinaryPpm: {
        if (!readWholeFile(file, data, error))
            return nullptr;
        const int channels = kind == FileKind::AsciiPgm ? 1 : 3;
        return greyImageOrNull(decodeNetpbm(data, channels, kind != FileKind::BinaryPpm, raster, error),
                               raster);
    }
    case FileKind::Png:
        return greyImageOrNull(decodePng(path, raster, error), raster);
    case FileKind::Jpeg:
        return greyImageOrNull(decodeJpeg(path, raster, error), raster);
    case FileKind::Unknown:
        break;
    }
    error = "not a PGM, PPM, PNG or JPEG image";
    return nullptr;
}

}  // namespace tolvane
