// What every host command of tarvo does with the driver module: find and load it, and say in
// words why the board did not start.
#pragma once

#include <signal.h>

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

// SIGINT and SIGTERM as bytes on a pipe the command's loop polls (Fd()), SIGPIPE ignored, for
// the life of the object; the old dispositions come back afterwards. One at a time.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;
    // The pipe's reading end; each signal is one byte, its number. -1 without a guard.
    static int Fd();

private:
    struct sigaction oldInt_ {
    }, oldTerm_{}, oldPipe_{};
};

}  // namespace tarvo
