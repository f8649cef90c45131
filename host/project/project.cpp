// The host's project library. The driver only checks that it can be loaded and that it exports
// "PrjFuncTable" before it shows its setup dialog.
#include <cstdint>

namespace {
std::int32_t ProjectVersion() { return 0x00010000; }
}  // namespace

extern "C" {
__attribute__((visibility("default"))) void* PrjFuncTable[8] = {
    reinterpret_cast<void*>(&ProjectVersion)};
}
