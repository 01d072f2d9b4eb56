// Reading the input once, format recognition, the header check, the Netpbm
// decoder, orientation, the grey conversion and readImage.
#include "raster_io.h"
#include "pixel_blocks.h"

#include "tolvane/error.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane {
namespace {

enum class FileKind { Netpbm, Png, Jpeg, Unknown };

// Enough bytes to recognise every format.
constexpr std::size_t kSniffBytes = 8;
// Bytes an input may have per allowed pixel (the longest plain PPM sample,
// "65535 ", three times, with room to spare) and beyond that.
constexpr long long kInputBytesPerPixel = 24;
constexpr long long kInputSlackBytes = 1 << 20;

FileKind kindOf(const std::string& bytes)
{
    static const std::string pngSignature("\x89PNG\r\n\x1a\n", 8);
    if (bytes.compare(0, pngSignature.size(), pngSignature) == 0)
        return FileKind::Png;
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xD8 && static_cast<unsigned char>(bytes[2]) == 0xFF)
        return FileKind::Jpeg;
    if (bytes.size() >= 2 && bytes[0] == 'P' &&
        (bytes[1] == '2' || bytes[1] == '3' || bytes[1] == '5' || bytes[1] == '6'))
        return FileKind::Netpbm;
    return FileKind::Unknown;
}

std::string systemReason(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// Appends the input's bytes to `data` until it holds `limit` bytes or the
// input ends.
bool readUpTo(int fd, std::size_t limit, std::string& data, std::string& error)
{
    char buffer[1 << 16];
    while (data.size() < limit) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - data.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = systemReason("cannot read");
            return false;
        }
        if (n == 0)
            return true;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

long long inputByteLimit(const ReadOptions& options)
{
    return options.max_pixels * kInputBytesPerPixel + kInputSlackBytes;
}

// The whole input, refused early when it is too long for the pixel limit or
// does not start like an image.
bool readInput(int fd, const ReadOptions& options, std::string& data, std::string& error)
{
    const long long limit = inputByteLimit(options);
    struct stat info {};
    const bool known = fstat(fd, &info) == 0;
    if (known && S_ISDIR(info.st_mode)) {
        error = "is a directory";
        return false;
    }
    if (known && S_ISREG(info.st_mode) && info.st_size > limit) {
        error = "file of " + std::to_string(info.st_size) + " bytes is larger than an image within the limit of " +
                std::to_string(options.max_pixels) + " pixels can be";
        return false;
    }
    // A file read whole grows its buffer only once.
    if (known && S_ISREG(info.st_mode)) {
        data.reserve(static_cast<std::size_t>(info.st_size) + 1);
        adviseHugePages(&data[0], data.capacity());
    }
    if (!readUpTo(fd, kSniffBytes, data, error))
        return false;
    if (data.empty()) {
        error = "file is empty";
        return false;
    }
    if (kindOf(data) == FileKind::Unknown)
        return true;
    if (!readUpTo(fd, static_cast<std::size_t>(limit) + 1, data, error))
        return false;
    if (static_cast<long long>(data.size()) > limit) {
        error = "input is longer than an image within the limit of " + std::to_string(options.max_pixels) +
                " pixels can be";
        return false;
    }
    return true;
}

// Tokens of a Netpbm file: whitespace separates them and '#' starts a comment
// that runs to the end of its line.
class NetpbmScanner {
public:
    explicit NetpbmScanner(const std::string& data) : data_(data) {}

    // A decimal number ending at whitespace, a comment or the end.
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
    const unsigned char* rest() const { return reinterpret_cast<const unsigned char*>(data_.data()) + pos_; }

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

struct NetpbmFormat {
    int channels;
    bool ascii;
};

NetpbmFormat netpbmFormatOf(char magicDigit)
{
    return NetpbmFormat{magicDigit == '3' || magicDigit == '6' ? 3 : 1, magicDigit == '2' || magicDigit == '3'};
}

// Reads and checks the header; leaves the scanner at the separator (binary)
// or the first sample (ASCII).
bool readNetpbmHeader(NetpbmScanner& scanner, const NetpbmFormat& format, const ReadOptions& options,
                      ImageHeader& header, std::string& error)
{
    scanner.skipMagic();
    if (!readHeaderNumber(scanner, "width", header.width, error) ||
        !readHeaderNumber(scanner, "height", header.height, error) ||
        !readHeaderNumber(scanner, "maximum value", header.maxValue, error))
        return false;
    const long long samples = header.width * header.height * format.channels;
    const long long sampleBytes = header.maxValue > 255 ? 2 : 1;
    // A plain sample takes at least a digit and a separator.
    header.payloadBytes = format.ascii ? 2 * samples - 1 : samples * sampleBytes + 1;
    header.availableBytes = static_cast<long long>(scanner.remaining());
    return checkHeader(header, options, error);
}

// round(v * 255 / maxValue), halves upward.
unsigned char scaledSample(long long value, long long maxValue)
{
    return static_cast<unsigned char>((2 * 255 * value + maxValue) / (2 * maxValue));
}

bool storeSample(RasterImage& raster, std::size_t i, long long value, long long maxValue, std::string& error)
{
    if (value > maxValue) {
        error = "sample " + std::to_string(i + 1) + " exceeds the maximum value " + std::to_string(maxValue);
        return false;
    }
    raster.samples[i] = maxValue == 255 ? static_cast<unsigned char>(value) : scaledSample(value, maxValue);
    return true;
}

// Samples of two bytes are big-endian.
bool readBinarySamples(NetpbmScanner& scanner, long long maxValue, std::size_t count, RasterImage& raster,
                       std::string& error)
{
    if (!scanner.rasterSeparator()) {
        error = "no whitespace between the header and the raster";
        return false;
    }
    const std::size_t sampleBytes = maxValue > 255 ? 2 : 1;
    if (scanner.remaining() < count * sampleBytes) {
        error = "raster ends after " + std::to_string(scanner.remaining()) + " of " +
                std::to_string(count * sampleBytes) + " bytes";
        return false;
    }
    const unsigned char* bytes = scanner.rest();
    if (sampleBytes == 1 && count > 0 && *std::max_element(bytes, bytes + count) <= maxValue) {
        raster.samples.reserve(count);
        adviseHugePages(raster.samples.data(), count);
        raster.samples.assign(bytes, bytes + count);
        if (maxValue != 255)
            for (unsigned char& sample : raster.samples)
                sample = scaledSample(sample, maxValue);
        return true;
    }
    // Samples of two bytes, or one above the maximum (found and reported).
    raster.samples.assign(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const long long value = sampleBytes == 2 ? bytes[2 * i] * 256LL + bytes[2 * i + 1] : bytes[i];
        if (!storeSample(raster, i, value, maxValue, error))
            return false;
    }
    return true;
}

bool readAsciiSamples(NetpbmScanner& scanner, long long maxValue, std::size_t count, RasterImage& raster,
                      std::string& error)
{
    raster.samples.assign(count, 0);
    for (std::size_t i = 0; i < raster.samples.size(); ++i) {
        long long value = 0;
        if (!scanner.number(value)) {
            error = "sample " + std::to_string(i + 1) + " of " + std::to_string(raster.samples.size()) +
                    " is missing or not a number";
            return false;
        }
        if (!storeSample(raster, i, value, maxValue, error))
            return false;
    }
    return true;
}

}  // namespace

bool checkHeader(const ImageHeader& header, const ReadOptions& options, std::string& error)
{
    const std::string sides = std::to_string(header.width) + " x " + std::to_string(header.height);
    if (header.width < 1 || header.height < 1) {
        error = "image of " + sides + " pixels has no pixels";
        return false;
    }
    if (header.width > options.max_pixels || header.height > options.max_pixels ||
        header.width * header.height > options.max_pixels) {
        error = "image of " + sides + " pixels exceeds the limit of " + std::to_string(options.max_pixels) +
                " pixels";
        return false;
    }
    if (header.maxValue < 1 || header.maxValue > 65535) {
        error = "maximum sample value " + std::to_string(header.maxValue) + " is not from 1 to 65535";
        return false;
    }
    if (header.availableBytes < header.payloadBytes) {
        error = "file has " + std::to_string(header.availableBytes) + " bytes of samples, the header needs " +
                std::to_string(header.payloadBytes);
        return false;
    }
    return true;
}

bool decodeNetpbm(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error)
{
    if (kindOf(bytes) != FileKind::Netpbm) {
        error = "not a PGM or PPM image";
        return false;
    }
    const NetpbmFormat format = netpbmFormatOf(bytes[1]);
    NetpbmScanner scanner(bytes);
    ImageHeader header;
    if (!readNetpbmHeader(scanner, format, options, header, error))
        return false;
    raster.width = static_cast<int>(header.width);
    raster.height = static_cast<int>(header.height);
    raster.channels = format.channels;
    const auto count = static_cast<std::size_t>(header.width * header.height * format.channels);
    return format.ascii ? readAsciiSamples(scanner, header.maxValue, count, raster, error)
                        : readBinarySamples(scanner, header.maxValue, count, raster, error);
}

unsigned char lumaOf(unsigned char red, unsigned char green, unsigned char blue)
{
    // Integer weights in thousandths keep the rounding exact.
    return static_cast<unsigned char>((299u * red + 587u * green + 114u * blue + 500u) / 1000u);
}

Image greyImageOf(RasterImage raster)
{
    Image image;
    image.width = raster.width;
    image.height = raster.height;
    if (raster.channels == 1) {
        image.pixels = std::move(raster.samples);
        return image;
    }
    image.pixels.resize(static_cast<std::size_t>(raster.width) * raster.height);
    const unsigned char* s = raster.samples.data();
    for (std::uint8_t& pixel : image.pixels) {
        pixel = raster.channels == 3 ? lumaOf(s[0], s[1], s[2]) : s[0];
        s += raster.channels;
    }
    return image;
}

RasterImage orientedRaster(const RasterImage& raster, int orientation)
{
    // Per orientation: the displayed axes are swapped, then mirrored, to
    // find the stored pixel of each displayed one.
    const bool swap = orientation >= 5 && orientation <= 8;
    const bool flipX = orientation == 2 || orientation == 3 || orientation == 7 || orientation == 8;
    const bool flipY = orientation == 3 || orientation == 4 || orientation == 6 || orientation == 7;
    RasterImage shown;
    shown.width = swap ? raster.height : raster.width;
    shown.height = swap ? raster.width : raster.height;
    shown.channels = raster.channels;
    shown.samples.resize(raster.samples.size());
    const std::size_t channels = static_cast<std::size_t>(raster.channels);
    for (int y = 0; y < shown.height; ++y)
        for (int x = 0; x < shown.width; ++x) {
            const int u = swap ? y : x;
            const int v = swap ? x : y;
            const int sx = flipX ? raster.width - 1 - u : u;
            const int sy = flipY ? raster.height - 1 - v : v;
            std::copy_n(raster.samples.begin() + (static_cast<std::size_t>(sy) * raster.width + sx) * channels,
                        channels,
                        shown.samples.begin() + (static_cast<std::size_t>(y) * shown.width + x) * channels);
        }
    return shown;
}

bool decodeRaster(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error,
                  bool keepColour)
{
    switch (kindOf(bytes)) {
    case FileKind::Netpbm:
        return decodeNetpbm(bytes, options, raster, error);
    case FileKind::Png:
        return decodePng(bytes, options, raster, error);
    case FileKind::Jpeg:
        return decodeJpeg(bytes, options, raster, error, keepColour);
    case FileKind::Unknown:
        break;
    }
    error = "not a PGM, PPM, PNG or JPEG image";
    return false;
}

bool readImageBytes(const std::string& path, const ReadOptions& options, std::string& bytes, std::string& error)
{
    const bool standardInput = path == "-";
    const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = systemReason("cannot open");
        return false;
    }
    const bool read = readInput(fd, options, bytes, error);
    if (!standardInput)
        close(fd);
    return read;
}

void ReadOptions::validate() const
{
    if (max_pixels < 1)
        throw Error(ErrorCode::InvalidArgument,
                    "the pixel limit must be at least 1, got " + std::to_string(max_pixels));
}

Image decodeImage(const std::string& bytes, const ReadOptions& options)
{
    options.validate();
    RasterImage raster;
    std::string error;
    if (!decodeRaster(bytes, options, raster, error))
        throw Error(ErrorCode::BadData, error);
    return greyImageOf(std::move(raster));
}

Image readImage(const std::string& path, const ReadOptions& options)
{
    options.validate();
    std::string bytes;
    std::string error;
    if (!readImageBytes(path, options, bytes, error))
        throw Error(ErrorCode::FileAccess, error);
    return decodeImage(bytes, options);
}

}  // namespace tolvane
