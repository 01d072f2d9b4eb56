// Binary PGM input and the text listing of detected regions.
#include "afflib.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
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

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// atoi semantics on one header token: an optional sign, then the leading
// digits; no digits gives 0. Returns false when the value does not fit an int.
bool parseHeaderNumber(const std::string& token, int& value)
{
    std::size_t pos = 0;
    bool negative = false;
    if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) {
        negative = token[pos] == '-';
        ++pos;
    }
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    for (; pos < token.size() && isDigit(token[pos]); ++pos) {
        magnitude = magnitude * 10 + (token[pos] - '0');
        if (magnitude > limit)
            return false;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

bool readToken(std::istream& in, std::string& token)
{
    return static_cast<bool>(in >> token);
}

// Reads a token after the magic, skipping comments: a token starting with
// '#' discards the rest of its line.
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

bool parseSide(const std::string& token, const char* name, int& side, std::string& error)
{
    if (!parseHeaderNumber(token, side)) {
        error = std::string("image ") + name + " has more digits than an int holds";
        return false;
    }
    if (side < 0) {
        error = std::string("image ") + name + " " + std::to_string(side) + " is negative";
        return false;
    }
    return true;
}

struct PgmHeader {
    int width = 0;
    int height = 0;
};

bool readHeader(std::istream& in, PgmHeader& header, std::string& error)
{
    std::string token;
    if (!readToken(in, token))
        return headerEndsBefore("format magic", error);
    if (!readTokenSkippingComments(in, token))
        return headerEndsBefore("width", error);
    if (!parseSide(token, "width", header.width, error))
        return false;
    if (!readToken(in, token))
        return headerEndsBefore("height", error);
    if (!parseSide(token, "height", header.height, error))
        return false;
    if (!readToken(in, token))
        return headerEndsBefore("maximum grey value", error);
    // Exactly one whitespace character separates the header from the raster.
    if (in.get() == std::istream::traits_type::eof())
        return headerEndsBefore("raster", error);
    return true;
}

bool readRaster(std::istream& in, std::size_t count, std::vector<unsigned char>& bytes,
                std::string& error)
{
    bytes.clear();
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

// Header and raster bytes; the image is made from them once they are complete,
// so its size is never taken from the header alone.
bool readPgmData(std::istream& in, PgmHeader& header, std::vector<unsigned char>& bytes,
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
    return readRaster(in, static_cast<std::size_t>(count), bytes, error);
}

DERY* imageFromBytes(const PgmHeader& header, const std::vector<unsigned char>& bytes)
{
    DERY* image = new DERY(header.height, header.width);
    float* pixels = image->pixels[0];
    for (std::size_t i = 0; i < bytes.size(); ++i)
        pixels[i] = static_cast<float>(bytes[i]);
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
    if (!readPgmData(in, header, bytes, error))
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
    PgmHeader header;
    std::vector<unsigned char> bytes;
    const bool complete = readPgmData(file, header, bytes, error);
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
