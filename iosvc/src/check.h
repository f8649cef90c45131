// tvioctrld --check: the board's detection run in-process against a backend, reported in plain
// words for a technician and as an exit status for scripts.
#pragma once

#include <cstdint>
#include <cstdio>

#include "backend.h"

namespace iosvc {

// Exit statuses of --check; 1 and 2 keep their meaning for the service (cannot start, command
// line).
enum CheckStatus : int {
    kCheckOk = 0,
    kCheckNoDevice = 3,     // the port or memory device cannot be opened
    kCheckNoMapping = 4,    // the window cannot be mapped
    kCheckNoBoard = 5,      // reset and handshake at the port failed
    kCheckNoLock = 6,       // the board never granted access to the window
    kCheckEmptyWindow = 7,  // the window reads like an empty bus
};

// Opens, resets and detects the board at `port` with the window at `window` through the same
// board code the driver uses, then takes the access lock and reads the window. Both must be
// entries of the board settings' tables. Writes what it found to `out`.
int RunBoardCheck(IBackend& backend, std::uint16_t port, std::uint32_t window, std::FILE* out);

}  // namespace iosvc
