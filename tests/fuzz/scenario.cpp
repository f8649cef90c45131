// The simulator's scenario file.
#include <cstdint>
#include <string>

#include "sim/board.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sim::Scenario scenario;
    std::string error;
    sim::ParseScenario(std::string(reinterpret_cast<const char*>(data), size), scenario, error);
    return 0;
}
