// The tag list of `tarvo run`: one host tag per line of a CSV file, and the values typed for
// writes. Texts in the file are UTF-8; the host converts them to CP949 at the driver's edge.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CTagVal;

namespace tarvo {

struct TagSpec {
    std::string name;       // UTF-8, as written in the file
    std::string device;     // I/O device text, e.g. "DLU.PLC1"
    std::string address;    // e.g. "D0100" or "M0010.3"
    int dataType = 0;       // driver data type code 0..14
    int size = 0;           // bytes (for BIT: ignored by the driver, kept at 1)
    int line = 0;           // line number in the file, for messages
    bool writable = false;  // "rw" in the access column: writes from outside are allowed
};

// Data type names SINT8..STRING (any case) or their codes 0..14; nullopt for anything else.
std::optional<int> DataTypeFromText(const std::string& text);
const char* DataTypeName(int code);
// Natural size in bytes of a data type; 0 for STRING, which needs an explicit size.
int DefaultSize(int code);

// Parses the whole file text. Columns: name, device, address, data type, size (optional except
// for STRING; may be left empty), access (optional: rw or r, default r). '#' starts a comment
// line; blank lines are skipped; fields may be double-quoted.
// Every line that cannot be used is left out, with "line N: reason" in the result.
std::vector<std::string> ParseTagListLines(const std::string& text, std::vector<TagSpec>& tags);
// All or nothing: on a bad line false, no tags, and `error` = "line N: reason".
bool ParseTagList(const std::string& text, std::vector<TagSpec>& tags, std::string& error);
bool ReadTagListFile(const std::string& path, std::string& text, std::string& error);
bool LoadTagList(const std::string& path, std::vector<TagSpec>& tags, std::string& error);

// The station name the driver takes from a device text: what follows the first '.'.
std::string StationOfDevice(const std::string& device);

// Turns a typed value into the CTagVal the driver writes: text for STRING, a number otherwise
// (decimal, 0x hex, or on/off/true/false for BIT). False with `error` for an unusable value.
bool ParseWriteValue(const TagSpec& tag, const std::string& text, CTagVal& value,
                     std::string& error);

}  // namespace tarvo
