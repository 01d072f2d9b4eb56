// Binary PGM input and the text listing of detected regions.
#include "afflib.h"
#include "pixel_blocks.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <limits>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// The raster is read in pieces of this size, so that the memory taken grows
// with the bytes the input really supplies, whatever its header announces.
const std::size_t kRasterChunk = 1 << 20;

// An image with a side of 0 has no raster to vouch for its other side, yet
// it and every pyramid map made from it get a row table of `rows` pointers.
const int kMaxEmptySide = 1 << 20;

// Header numbers are plain decimal digits; false (value untouched) for any
// other token or a value above `limit`.
bool parseDecimal(const std::string& token, long long limit, long long& value)
{
    long long parsed = 0;
    for (const char c : token) {
        if (c < '0' || c > '9')
            return false;
        parsed = parsed * 10 + (c - '0');
        if (parsed > limit)
            return false;
    }
    value = parsed;
    return !token.empty();
}

bool readToken(std::istream& in, std::string& token)
{
    return static_cast<bool>(in >> token);
}

// Reads a header token, skipping comments: a token starting with '#'
// discards the rest of its line.
bool readTokenSkippingComments(std::istream& in, std::string& token)
{
    while (readToken(in, token)) {
        if (token[0] != '#')
            return true;
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return false;
}

bool headerEndsBefore(const char* what, std::string& error)
{
    error = std::string("PGM header ends before the ") + what;
    return false;
}

// Reads the next header number into `value`, which must lie in [minimum, maximum].
bool readHeaderNumber(std::istream& in, const char* name, long long minimum, long long maximum,
                      long long& value, std::string& error)
{
    std::string token;
    if (!readTokenSkippingComments(in, token))
        return headerEndsBefore(name, error);
    if (!parseDecimal(token, maximum, value) || value < minimum) {
        error = std::string(name) + " '" + token.substr(0, 20) + "' is not a whole number from " +
                std::to_string(minimum) + " to " + std::to_string(maximum);
        return false;
    }
    return true;
}

struct PgmHeader {
    int width = 0;
    int height = 0;
    int maxGrey = 255;
};

bool readHeader(std::istream& in, PgmHeader& header, std::string& error)
{
    std::string token;
    if (!readToken(in, token))
        return headerEndsBefore("format magic", error);
    if (token != "P5") {
        error = "not a binary PGM file (the magic is not P5)";
        return false;
    }
    long long width = 0;
    long long height = 0;
    long long maxGrey = 0;
    if (!readHeaderNumber(in, "width", 0, INT_MAX, width, error) ||
        !readHeaderNumber(in, "height", 0, INT_MAX, height, error) ||
        !readHeaderNumber(in, "maximum grey value", 1, 255, maxGrey, error))
        return false;
    // Exactly one whitespace character separates the header from the raster.
    if (in.get() == std::istream::traits_type::eof())
        return headerEndsBefore("raster", error);
    header.width = static_cast<int>(width);
    header.height = static_cast<int>(height);
    header.maxGrey = static_cast<int>(maxGrey);
    return true;
}

// `supplied` bounds the bytes the input holds (0 when unknown): up to that
// many are reserved at once, so that the pieces are not moved as they grow.
bool readRaster(std::istream& in, std::size_t count, std::size_t supplied, std::vector<unsigned char>& bytes,
                std::string& error)
{
    bytes.clear();
    bytes.reserve(std::min(count, supplied));
    adviseHugePages(bytes.data(), bytes.capacity());
    while (bytes.size() < count) {
        const std::size_t start = bytes.size();
        const std::size_t piece = std::min(kRasterChunk, count - start);
        bytes.resize(start + piece);
        in.read(reinterpret_cast<char*>(bytes.data() + start),
                static_cast<std::streamsize>(piece));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        if (got < piece) {
            error = "raster ends after " + std::to_string(start + got) + " of " +
                    std::to_string(count) + " bytes";
            return false;
        }
    }
    return true;
}

// Samples of a maximum grey value below 255 are scaled to 0..255:
// round(v * 255 / maxGrey), halves upward.
unsigned char scaledSample(unsigned char value, int maxGrey)
{
    return static_cast<unsigned char>((2 * 255 * value + maxGrey) / (2 * maxGrey));
}

bool checkSamples(const PgmHeader& header, const std::vector<unsigned char>& bytes, std::string& error)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] > header.maxGrey) {
            error = "sample " + std::to_string(i + 1) + " exceeds the maximum grey value " +
                    std::to_string(header.maxGrey);
            return false;
        }
    }
    return true;
}

// Header and raster bytes; the image is made from them once they are complete,
// so its size is never taken from the header alone (`supplied`: see readRaster).
bool readPgmData(std::istream& in, std::size_t supplied, PgmHeader& header, std::vector<unsigned char>& bytes,
                 std::string& error)
{
    if (!readHeader(in, header, error))
        return false;
    const long long count = static_cast<long long>(header.width) * header.height;
    if (count > INT_MAX || (count == 0 && std::max(header.width, header.height) > kMaxEmptySide)) {
        error = "image of " + std::to_string(header.width) + " x " +
                std::to_string(header.height) + " pixels is too large";
        return false;
    }
    return readRaster(in, static_cast<std::size_t>(count), supplied, bytes, error) &&
           checkSamples(header, bytes, error);
}

DERY* imageFromBytes(const PgmHeader& header, const std::vector<unsigned char>& bytes)
{
    DERY* image = new DERY(header.height, header.width);
    float* pixels = image->pixels[0];
    for (std::size_t i = 0; i < bytes.size(); ++i)
        pixels[i] = static_cast<float>(header.maxGrey == 255 ? bytes[i] : scaledSample(bytes[i], header.maxGrey));
    return image;
}

std::string cannotOpen(const char* path, int errorNumber)
{
    return "cannot open " + std::string(path) + ": " +
           (errorNumber ? std::strerror(errorNumber) : "unknown reason");
}

}  // namespace

DERY* readPGM(std::istream& in, std::string& error)
{
    PgmHeader header;
    std::vector<unsigned char> bytes;
    if (!readPgmData(in, 0, header, bytes, error))
        return nullptr;
    return imageFromBytes(header, bytes);
}

DERY* readPGM(const char* path, std::string& error)
{
    // A directory opens as a stream on Linux but yields no bytes.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        error = cannotOpen(path, EISDIR);
        return nullptr;
    }
    errno = 0;
    std::ifstream file(path);
    if (!file.is_open()) {
        error = cannotOpen(path, errno);
        return nullptr;
    }
    const std::uintmax_t fileSize = std::filesystem::file_size(path, ignored);
    const std::size_t supplied = fileSize == static_cast<std::uintmax_t>(-1) ? 0 : static_cast<std::size_t>(fileSize);
    PgmHeader header;
    std::vector<unsigned char> bytes;
    const bool complete = readPgmData(file, supplied, header, bytes, error);
    file.close();
    if (!complete) {
        error = std::string(path) + ": " + error;
        return nullptr;
    }
    return imageFromBytes(header, bytes);
}

namespace {

// Appends the text of `value` to `text`: a number with at most six
// significant digits as default float insertion (%.6g) writes it, or an index.
template <typename Number>
void appendNumber(std::string& text, Number value)
{
    char digits[32];
    std::to_chars_result written;
    if constexpr (std::is_floating_point_v<Number>)
        written = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6);
    else
        written = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, written.ptr);
}

}  // namespace

void listRegions(std::ostream& out, const std::vector<AffRegion*>& regions)
{
    // The bytes of one line per region ended by endl, written in one piece.
    std::string text;
    text.reserve(regions.size() * 72 + 32);
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const AffRegion& r = *regions[i];
        appendNumber(text, i);
        text += ".  x=";
        appendNumber(text, r.x);
        text += ", y=";
        appendNumber(text, r.y);
        text += ", mi11=";
        appendNumber(text, r.mi11);
        text += ", mi12=";
        appendNumber(text, r.mi12);
        text += ", mi22=";
        appendNumber(text, r.mi22);
        text += '\n';
    }
    text += "nb of regions = ";
    appendNumber(text, regions.size());
    text += '\n';
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
}
