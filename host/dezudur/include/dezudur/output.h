// The host's runtime message output. Drivers call it through the exported "FuncTable"; the host
// shows each message as UTF-8 with its class, or hands the raw CP949 bytes to a sink.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr int kDezMessageOutput = 19;
inline constexpr int kDezFuncCount = 32;
using DezMessageOutputFn = void (*)(std::int32_t value, std::int32_t classWord, const char* text);

using DezSink =
    std::function<void(std::int32_t value, std::int32_t classWord, const std::string& raw)>;
// Installs a sink (an empty one restores the printing to standard error); returns the old one.
DezSink DezSetSink(DezSink sink);
// "error", "station", "state" (classes 0, 1, 2 in the low byte) or "info".
const char* DezClassName(std::int32_t classWord);
// The line the default output prints for a message.
std::string DezFormatLine(std::int32_t value, std::int32_t classWord, const std::string& raw);
