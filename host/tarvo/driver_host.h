// What every host command of tarvo does with the driver module: find and load it, and say in
// words why the board did not start.
#pragma once

#include <cstdint>
#include <string>

class CTagVal;

namespace tarvo {

// The folder of the running program (/proc/self/exe resolved).
std::string ExecutableDirectory();

// Loads the module (`path`, or libQuorix.so beside tarvo when empty) and finds its entry table.
// Null with `error` when it cannot be loaded or is not a driver module; `used` is the path tried.
void** LoadDriverModule(const std::string& path, void*& handle, std::string& used,
                        std::string& error);

// Why DrvStart gave `rc`, with what to do about it.
std::string StartFailureText(std::int32_t rc);

// A value as a person reads it: the number, the quoted text (UTF-8), or "(no value)".
std::string ShowValue(const CTagVal& value);

}  // namespace tarvo
