// tarvo serve: the plant runtime. The driver's values go to an MQTT broker and a live web view;
// writes come back from both when they are enabled, for the tags marked writable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "taglist.h"

namespace serve {

struct Tag {
    tarvo::TagSpec spec;
    std::string topicName;     // the tag's topic level: its name without '/', '+' and '#'
    std::size_t station = 0;   // index into the stations
    std::int32_t id = 0;       // host tag id
    std::int32_t handle = -1;  // driver handle; -1 when the driver refused the tag
};

// What became of a write from outside; `code` is one of queued, writes-off, unknown-tag,
// not-writable, bad-value, refused.
struct WriteOutcome {
    bool ok = false;
    std::string code;
    std::string text;  // in words (UTF-8)
};

class IWriter {
public:
    virtual ~IWriter() = default;
    // `tag` is an index into the tags, or -1 for a name that is none of them.
    virtual WriteOutcome Write(long tag, const std::string& valueText) = 0;
};

// A line in the program's log (standard output, the journal under systemd).
void Log(const std::string& text);
// A reason the program cannot go on, on standard error.
void LogError(const std::string& text);

// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& utf8);

// A payload's value as the text a tag list write takes: a JSON number, string or true/false, an
// object's "value", or else the payload's own text. False with `error` for an object without a
// value or a value of another kind.
bool WriteValueText(const std::string& payload, std::string& text, std::string& error,
                    std::string* requestId = nullptr);

}  // namespace serve
