// Timestamped lines on stderr, from any thread.
#pragma once

#include <atomic>

namespace iosvc {

enum class LogLevel { Info, Warning, Error, Debug };

void SetVerbose(bool verbose);
bool Verbose();
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace iosvc
