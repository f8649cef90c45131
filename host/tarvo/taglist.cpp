#include "taglist.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "comm/tag_binding.h"
#include "tarvosub/tagval.h"

namespace tarvo {
namespace {

constexpr const char* kTypeNames[] = {"SINT8",  "SINT16", "SINT32", "UINT8",  "UINT16",
                                      "UINT32", "SBCD8",  "SBCD16", "SBCD32", "BCD8",
                                      "BCD16",  "BCD32",  "FLOAT",  "BIT",    "STRING"};
constexpr int kTypeCount = 15;
constexpr int kBit = 13;
constexpr int kString = 14;
constexpr int kFloat = 12;
// A string tag in a block or group reads at most one answer's 128 data bytes.
constexpr int kMaxStringSize = 128;

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Splits one CSV line; a field in double quotes may hold commas and "" for a quote.
bool SplitCsv(const std::string& line, std::vector<std::string>& fields, std::string& error) {
    fields.clear();
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::string field;
        if (i < line.size() && line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                field += line[i++];
            }
            if (!closed) {
                error = "unterminated quoted field";
                return false;
            }
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            if (i < line.size() && line[i] != ',') {
                error = "text after a quoted field";
                return false;
            }
        } else {
            std::size_t comma = line.find(',', i);
            field =
                Trim(line.substr(i, comma == std::string::npos ? std::string::npos : comma - i));
            i = comma == std::string::npos ? line.size() : comma;
        }
        fields.push_back(field);
        if (i >= line.size()) break;
        ++i;  // the comma
    }
    return true;
}

bool ParseInt(const std::string& text, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

}  // namespace

std::optional<int> DataTypeFromText(const std::string& text) {
    std::string t = Upper(Trim(text));
    for (int i = 0; i < kTypeCount; ++i)
        if (t == kTypeNames[i]) return i;
    long long code;
    if (ParseInt(t, code) && code >= 0 && code < kTypeCount) return static_cast<int>(code);
    return std::nullopt;
}

const char* DataTypeName(int code) {
    return code >= 0 && code < kTypeCount ? kTypeNames[code] : "?";
}

int DefaultSize(int code) {
    switch (code) {
        case 0:
        case 3:
        case 6:
        case 9:
        case kBit:
            return 1;
        case 1:
        case 4:
        case 7:
        case 10:
            return 2;
        case kString:
            return 0;
        default:
            return 4;
    }
}

std::string StationOfDevice(const std::string& device) {
    std::size_t dot = device.find('.');
    return dot == std::string::npos ? device : device.substr(dot + 1);
}

namespace {

// One line's tag, or why the line cannot be used.
std::optional<std::string> ParseTagLine(const std::string& line, TagSpec& tag) {
    std::vector<std::string> f;
    std::string why;
    if (!SplitCsv(line, f, why)) return why;
    if (f.size() < 4 || f.size() > 6)
        return "expected 4 to 6 fields (name, device, address, type[, size[, access]]), found " +
               std::to_string(f.size());
    tag.name = f[0];
    tag.device = f[1];
    tag.address = f[2];
    if (tag.name.empty()) return std::string("empty tag name");
    if (tag.device.empty()) return "empty device for tag " + tag.name;
    if (tag.address.empty()) return "empty address for tag " + tag.name;
    auto type = DataTypeFromText(f[3]);
    if (!type)
        return "unknown data type '" + f[3] + "' (SINT8..STRING or 0..14) for tag " + tag.name;
    tag.dataType = *type;
    if (f.size() >= 5 && !f[4].empty()) {
        long long size;
        if (!ParseInt(f[4], size) || size < 1 || size > kMaxStringSize)
            return "size '" + f[4] + "' is not a number of bytes 1.." +
                   std::to_string(kMaxStringSize) + " for tag " + tag.name;
        if (tag.dataType != kString && tag.dataType != kBit && size != DefaultSize(tag.dataType))
            return std::string("size ") + f[4] + " does not fit " + DataTypeName(tag.dataType) +
                   " (" + std::to_string(DefaultSize(tag.dataType)) + " bytes) for tag " + tag.name;
        tag.size = static_cast<int>(size);
    } else {
        tag.size = DefaultSize(tag.dataType);
        if (tag.size == 0) return "a STRING tag needs a size in bytes: " + tag.name;
    }
    if (tag.dataType == kBit) tag.size = 1;
    const std::string access = f.size() == 6 ? Upper(f[5]) : std::string();
    if (access == "RW" || access == "W" || access == "WRITABLE")
        tag.writable = true;
    else if (!access.empty() && access != "R" && access != "RO" && access != "READ")
        return "access '" + f[5] + "' is rw (writable) or r (read only) for tag " + tag.name;
    return std::nullopt;
}

}  // namespace

std::vector<std::string> ParseTagListLines(const std::string& text, std::vector<TagSpec>& tags) {
    tags.clear();
    std::vector<std::string> errors;
    std::set<std::string> names;
    std::istringstream in(text);
    std::string raw;
    for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (lineNo == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#') continue;
        TagSpec tag;
        tag.line = lineNo;
        auto why = ParseTagLine(line, tag);
        if (!why && !names.insert(tag.name).second) why = "tag " + tag.name + " is listed twice";
        if (why)
            errors.push_back("line " + std::to_string(lineNo) + ": " + *why);
        else
            tags.push_back(std::move(tag));
    }
    return errors;
}

bool ParseTagList(const std::string& text, std::vector<TagSpec>& tags, std::string& error) {
    const auto errors = ParseTagListLines(text, tags);
    if (errors.empty()) {
        error.clear();
        return true;
    }
    error = errors.front();
    tags.clear();
    return false;
}

bool ReadTagListFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    if (in) all << in.rdbuf();
    if (!in || in.bad()) {
        error = "cannot read tag list " + path;
        return false;
    }
    text = all.str();
    return true;
}

bool LoadTagList(const std::string& path, std::vector<TagSpec>& tags, std::string& error) {
    std::string text;
    if (!ReadTagListFile(path, text, error)) return false;
    if (!ParseTagList(text, tags, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool ParseWriteValue(const TagSpec& tag, const std::string& rawText, CTagVal& value,
                     std::string& error) {
    std::string text = Trim(rawText);
    if (tag.dataType == kString) {
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            text = text.substr(1, text.size() - 2);
        // The PLC keeps the tag's bytes only: a longer text would be cut there without a word.
        if (static_cast<int>(text.size()) > tag.size) {
            error =
                "'" + text + "' is longer than the tag's " + std::to_string(tag.size) + " bytes";
            return false;
        }
        value.SetVal(text.c_str());
        return true;
    }
    double v;
    std::string lower = Upper(text);
    if (tag.dataType == kBit && (lower == "ON" || lower == "TRUE")) {
        v = 1;
    } else if (tag.dataType == kBit && (lower == "OFF" || lower == "FALSE")) {
        v = 0;
    } else {
        long long i;
        if (ParseInt(text, i)) {
            v = static_cast<double>(i);
        } else {
            errno = 0;
            char* end = nullptr;
            v = std::strtod(text.c_str(), &end);
            if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(v)) {
                error = "'" + text + "' is not a number";
                return false;
            }
            if (tag.dataType != kFloat && v != std::trunc(v)) {
                error = "'" + text + "' is not a whole number, as " + DataTypeName(tag.dataType) +
                        " needs";
                return false;
            }
        }
    }
    ValueRange r = RangeOfType(tag.dataType);
    if (tag.dataType == kBit) r = {0, 1};
    if (v < r.low || v > r.high) {
        std::ostringstream msg;
        msg.precision(12);
        msg << text << " is out of range for " << DataTypeName(tag.dataType) << " (" << r.low
            << ".." << r.high << ")";
        error = msg.str();
        return false;
    }
    value.SetVal(v);
    return true;
}

}  // namespace tarvo
