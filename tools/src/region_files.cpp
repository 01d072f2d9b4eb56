#include "region_files.h"

#include "extensions.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

namespace tolvane {
namespace {

// A parsed JSON value; numbers keep their text so that each field is read
// at its own precision.
struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* member(const std::string& name) const
    {
        for (const auto& [key, value] : members)
            if (key == name)
                return &value;
        return nullptr;
    }
};

// Enough JSON for the files the tool writes: nesting is bounded, string
// escapes are skipped over rather than decoded (no string is used).
class JsonParser {
public:
    explicit JsonParser(const std::string& text) : text_(text) {}

    bool parseDocument(Json& value)
    {
        if (!parseValue(value, 0))
            return false;
        skipSpace();
        return at_ == text_.size();
    }

private:
    static constexpr int kMaxDepth = 16;

    void skipSpace()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }

    bool take(char c)
    {
        skipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool parseWord(const char* word, Json::Kind kind, Json& value)
    {
        const std::size_t length = std::char_traits<char>::length(word);
        if (text_.compare(at_, length, word) != 0)
            return false;
        at_ += length;
        value.kind = kind;
        return true;
    }

    bool parseString(std::string& out)
    {
        if (!take('"'))
            return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            if (text_[at_] == '\\')
                ++at_;
            out += text_[at_++];
        }
        return take('"');
    }

    bool parseNumber(Json& value)
    {
        const std::size_t start = at_;
        while (at_ < text_.size() && std::string_view("+-.0123456789eE").find(text_[at_]) != std::string_view::npos)
            ++at_;
        value.kind = Json::Kind::Number;
        value.text = text_.substr(start, at_ - start);
        return at_ > start;
    }

    template <typename Element>
    bool parseList(char close, int depth, Element element)
    {
        if (take(close))
            return true;
        do {
            if (!element(depth + 1))
                return false;
        } while (take(','));
        return take(close);
    }

    bool parseValue(Json& value, int depth)
    {
        skipSpace();
        if (depth > kMaxDepth || at_ >= text_.size())
            return false;
        const char c = text_[at_];
        if (c == '{') {
            ++at_;
            value.kind = Json::Kind::Object;
            return parseList('}', depth, [&](int d) {
                std::pair<std::string, Json> member;
                if (!parseString(member.first) || !take(':') || !parseValue(member.second, d))
                    return false;
                value.members.push_back(std::move(member));
                return true;
            });
        }
        if (c == '[') {
            ++at_;
            value.kind = Json::Kind::Array;
            return parseList(']', depth, [&](int d) {
                value.items.emplace_back();
                return parseValue(value.items.back(), d);
            });
        }
        if (c == '"') {
            value.kind = Json::Kind::String;
            return parseString(value.text);
        }
        return parseWord("null", Json::Kind::Null, value) || parseWord("true", Json::Kind::Bool, value) ||
               parseWord("false", Json::Kind::Bool, value) || parseNumber(value);
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

// One record of a CSV or JSON file: its fields by name (a JSON null is
// empty text) and its descriptor values.
struct Record {
    std::vector<std::pair<std::string, std::string>> fields;
    std::vector<std::string> descriptor;

    const std::string* field(const std::string& name) const
    {
        for (const auto& [key, value] : fields)
            if (key == name)
                return &value;
        return nullptr;
    }
};

// A number field; an empty text (null) is NaN.
template <typename T>
bool number(const Record& record, const char* name, T& value)
{
    const std::string* text = record.field(name);
    if (text == nullptr)
        return false;
    if (text->empty() && std::numeric_limits<T>::has_quiet_NaN) {
        value = std::numeric_limits<T>::quiet_NaN();
        return true;
    }
    const auto result = std::from_chars(text->data(), text->data() + text->size(), value);
    return result.ec == std::errc() && result.ptr == text->data() + text->size();
}

bool regionOf(const Record& record, Region& r)
{
    float mi11 = 0, mi12 = 0, mi22 = 0;
    if (!number(record, "x", r.x) || !number(record, "y", r.y) || !number(record, "response", r.response) ||
        !number(record, "scale", r.scale) || !number(record, "lapScale", r.lap_scale) ||
        !number(record, "mi11", mi11) || !number(record, "mi12", mi12) || !number(record, "mi22", mi22) ||
        !number(record, "lapIndex", r.lap_index) || !number(record, "level", r.level) ||
        !number(record, "a", r.a) || !number(record, "b", r.b) || !number(record, "c", r.c))
        return false;
    r.shape = {mi11, mi12, mi12, mi22};
    return true;
}

bool frameOf(const Record& record, Frame& f, Ellipse& e, std::vector<std::uint8_t>& descriptors)
{
    if (!number(record, "x", f.x) || !number(record, "y", f.y) || !number(record, "a11", f.a11) ||
        !number(record, "a12", f.a12) || !number(record, "a21", f.a21) || !number(record, "a22", f.a22) ||
        !number(record, "a", e.a) || !number(record, "b", e.b) || !number(record, "c", e.c))
        return false;
    e.x = f.x;
    e.y = f.y;
    for (const std::string& text : record.descriptor) {
        int value = -1;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        if (result.ec != std::errc() || result.ptr != text.data() + text.size() || value < 0 || value > 255)
            return false;
        descriptors.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

bool positiveDefinite(const Ellipse& e)
{
    return std::isfinite(e.x) && std::isfinite(e.y) && e.a > 0.0 && e.c > 0.0 && e.a * e.c - e.b * e.b > 0.0 &&
           std::isfinite(e.a * e.c);
}

bool failAtRecord(std::size_t index, const std::string& reason, std::string& error)
{
    error = "record " + std::to_string(index) + ": " + reason;
    return false;
}

// Fills the file from its records: regions, or frames with descriptors of
// `length` bytes each.
bool fromRecords(const std::vector<Record>& records, bool frames, std::size_t length, RegionFile& file,
                 std::string& error)
{
    file.hasFrames = frames;
    file.frames.length = frames ? length : 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (frames) {
            Frame f;
            Ellipse e;
            if (records[i].descriptor.size() != length ||
                !frameOf(records[i], f, e, file.frames.descriptors))
                return failAtRecord(i, "expected x, y, the frame, the ellipse and " + std::to_string(length) +
                                           " descriptor values from 0 to 255", error);
            if (!positiveDefinite(e))
                return failAtRecord(i, "not a finite positive definite ellipse", error);
            std::size_t region = i;
            number(records[i], "region", region);
            file.frames.region_of_frame.push_back(region);
            file.frames.frames.push_back(f);
            file.ellipses.push_back(e);
            continue;
        }
        Region r;
        if (!regionOf(records[i], r))
            return failAtRecord(i, "expected every field of a region as a number", error);
        const Ellipse e{r.x, r.y, r.a, r.b, r.c};
        if (!positiveDefinite(e))
            return failAtRecord(i, "not a finite positive definite ellipse", error);
        file.frames.frames.push_back(uprightFrame(r));
        file.regions.push_back(r);
        file.ellipses.push_back(e);
        file.responses.push_back(r.response);
    }
    return true;
}

std::vector<std::string> cellsOf(const std::string& line)
{
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, ','))
        cells.push_back(cell);
    return cells;
}

bool readCsv(const std::string& content, bool frames, RegionFile& file, std::string& error)
{
    std::istringstream in(content);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const std::vector<std::string> header = cellsOf(line);
    std::size_t length = 0;
    while (length < header.size() && !header[header.size() - 1 - length].empty() &&
           header[header.size() - 1 - length][0] == 'd')
        ++length;
    std::vector<Record> records;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        const std::vector<std::string> cells = cellsOf(line);
        if (cells.size() != header.size())
            return failAtRecord(records.size(), "expected " + std::to_string(header.size()) + " cells", error);
        Record record;
        for (std::size_t k = 0; k + length < header.size(); ++k)
            record.fields.emplace_back(header[k], cells[k]);
        record.descriptor.assign(cells.end() - static_cast<std::ptrdiff_t>(length), cells.end());
        records.push_back(std::move(record));
    }
    return fromRecords(records, frames, length, file, error);
}

// A JSON object's fields as a record; the frame's "frame" and "ellipse"
// arrays become a11 ... a22 and a, b, c.
Record recordOf(const Json& object)
{
    static const char* const kFrame[] = {"a11", "a12", "a21", "a22"};
    static const char* const kEllipse[] = {"a", "b", "c"};
    Record record;
    for (const auto& [key, value] : object.members) {
        if (value.kind == Json::Kind::Array) {
            const bool frame = key == "frame", ellipse = key == "ellipse";
            for (std::size_t k = 0; k < value.items.size(); ++k) {
                if (frame && k < 4)
                    record.fields.emplace_back(kFrame[k], value.items[k].text);
                else if (ellipse && k < 3)
                    record.fields.emplace_back(kEllipse[k], value.items[k].text);
                else if (key == "descriptor")
                    record.descriptor.push_back(value.items[k].text);
            }
            continue;
        }
        record.fields.emplace_back(key, value.kind == Json::Kind::Null ? "" : value.text);
    }
    return record;
}

bool readJson(const std::string& content, RegionFile& file, std::string& error)
{
    Json document;
    if (!JsonParser(content).parseDocument(document) || document.kind != Json::Kind::Object) {
        error = "not a well-formed JSON object";
        return false;
    }
    const Json* frames = document.member("frames");
    const Json* list = frames ? frames : document.member("regions");
    if (list == nullptr || list->kind != Json::Kind::Array) {
        error = "a JSON file without a \"regions\" or \"frames\" list";
        return false;
    }
    Record header = recordOf(document);
    std::size_t length = 0;
    if ((header.field("descriptor_length") && !number(header, "descriptor_length", length)) ||
        !number(header, "width", file.width) || !number(header, "height", file.height)) {
        error = "the image size or descriptor length is not a whole number";
        return false;
    }
    std::vector<Record> records;
    for (const Json& item : list->items)
        records.push_back(recordOf(item));
    return fromRecords(records, frames != nullptr, length, file, error);
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool isLegacyListing(const std::string& content)
{
    const std::string first = content.substr(0, content.find('\n'));
    return first.find(".  x=") != std::string::npos || startsWith(first, "nb of regions");
}

// The ellipse format: frames (and descriptors) as the frame reader gives
// them, ellipses as the file lists them.
bool readEllipseText(const std::string& content, RegionFile& file, std::string& error)
{
    std::istringstream ellipses(content), frames(content);
    if (!readEllipses(ellipses, file.ellipses, error) || !readFrames(frames, file.frames, error))
        return false;
    file.hasFrames = file.frames.length > 0;
    if (!file.hasFrames)
        for (const Ellipse& e : file.ellipses) {
            Region r;
            r.x = e.x;
            r.y = e.y;
            r.a = e.a;
            r.b = e.b;
            r.c = e.c;
            file.regions.push_back(r);
        }
    return true;
}

bool readFramesOnly(const std::string& content, RegionFile& file, std::string& error)
{
    const bool read = looksLikeOpenCv(content)
                          ? callExtension(&Extensions::readOpenCvFrames, content, file.frames, file.width,
                                          file.height, error)
                          : [&] {
                                std::istringstream in(content);
                                return readFrames(in, file.frames, error);
                            }();
    if (!read)
        return false;
    file.hasFrames = true;
    for (std::size_t i = 0; i < file.frames.frames.size(); ++i) {
        const Frame& f = file.frames.frames[i];
        const FrameEllipse fe = ellipseOf(f);
        const Ellipse e{f.x, f.y, fe.a, fe.b, fe.c};
        if (!positiveDefinite(e))
            return failAtRecord(i, "not a finite positive definite ellipse", error);
        file.ellipses.push_back(e);
    }
    return true;
}

}  // namespace

bool readRegionText(const std::string& content, RegionFile& file, std::string& error)
{
    file = RegionFile{};
    const std::size_t start = content.find_first_not_of(" \t\r\n");
    if (start != std::string::npos && content[start] == '{')
        return readJson(content, file, error);
    if (startsWith(content, "index,x,y,") || startsWith(content, "index,region,x,y,"))
        return readCsv(content, startsWith(content, "index,region,"), file, error);
    if (isLegacyListing(content)) {
        error = "the legacy listing records no region size; write the regions as ellipse, csv or json";
        return false;
    }
    if (looksLikeOpenCv(content) || looksLikeBinaryFrames(content))
        return readFramesOnly(content, file, error);
    return readEllipseText(content, file, error);
}

bool readRegionFile(const std::string& path, RegionFile& file, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open the file";
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return readRegionText(content.str(), file, error);
}

bool readEllipseFile(const std::string& path, std::vector<Ellipse>& ellipses, std::string& error)
{
    RegionFile file;
    if (!readRegionFile(path, file, error))
        return false;
    ellipses = std::move(file.ellipses);
    return true;
}

bool readFrameFile(const std::string& path, FrameSet& set, std::string& error)
{
    RegionFile file;
    if (!readRegionFile(path, file, error))
        return false;
    set = std::move(file.frames);
    return true;
}

}  // namespace tolvane
