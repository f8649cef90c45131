#pragma once

#include <cstdint>

// Message classes.
inline constexpr int MSG_CLASS_FAILURE = 0;  // open, registration and board failures
inline constexpr int MSG_CLASS_STATION = 1;  // per-station failures, tags served individually
inline constexpr int MSG_CLASS_STATE = 2;    // state changes

// A write refused because too many writes wait for the board (stopped, or a failed board).
inline constexpr int MSG_WRITE_REFUSED = 15;

// Formats runtime message n with its (CP949) arguments and hands it to the host's message
// output. Returns -n when the message went out, n when there is no message output.
std::int32_t ReportMessage(int n, int messageClass, const char* arg1 = nullptr,
                           const char* arg2 = nullptr);
