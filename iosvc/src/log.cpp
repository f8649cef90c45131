#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace iosvc {
namespace {

std::atomic<bool> gVerbose{false};
std::mutex gMu;

const char* LevelText(LogLevel level) {
    switch (level) {
        case LogLevel::Warning:
            return "warning: ";
        case LogLevel::Error:
            return "error: ";
        case LogLevel::Debug:
            return "debug: ";
        default:
            return "";
    }
}

}  // namespace

void SetVerbose(bool verbose) { gVerbose.store(verbose, std::memory_order_relaxed); }
bool Verbose() { return gVerbose.load(std::memory_order_relaxed); }

void Log(LogLevel level, const char* format, ...) {
    if (level == LogLevel::Debug && !Verbose()) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);

    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    std::lock_guard<std::mutex> lock(gMu);
    std::fprintf(stderr, "%s.%03ldZ tvioctrld: %s%s\n", stamp, ts.tv_nsec / 1000000L,
                 LevelText(level), text);
    std::fflush(stderr);
}

}  // namespace iosvc
