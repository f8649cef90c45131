// The module's own threads. Every worker of every engine is started here and joined here, so
// that a host thread can wait for all the threads an instance ever started (before it unloads
// the module), while a thread of ours never waits for another.
#pragma once

#include <cstdint>
#include <functional>

namespace workers {

// Starts `body` on a new thread owned by `owner` (an instance's document). Returns the thread's
// serial number; serials grow with every start.
std::uint64_t Spawn(const void* owner, const char* name, std::function<void()> body);
// The serial of the last thread started so far (0 before the first).
std::uint64_t LastSerial();
// True on a thread started by Spawn, for any owner: such a thread may be the one a waiter waits
// for (directly, or through the host's callback it is running), so it never waits itself.
bool OnModuleThread();
// Waits until every thread of `owner` (of every owner, for null) with a serial up to
// `upTo` has ended, and joins them. Returns at once on a thread of ours.
void Join(const void* owner, std::uint64_t upTo);

}  // namespace workers
