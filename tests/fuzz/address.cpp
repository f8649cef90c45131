// Block and tag addresses as a configuration file or the host hands them over, on every CPU
// type (and on a type outside the tables), with the block range check behind them.
#include "config/address.h"

#include <cstdint>
#include <string>

#include "comm/tag_binding.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto type = static_cast<std::uint16_t>(in.U8() % (DT_STRING + 2));
    const std::uint16_t sizeOrBit = in.U16();
    const auto count = static_cast<std::int32_t>(in.U32());
    const std::string text = in.Bytes(in.Left());
    for (int cpu = -1; cpu <= kCpuTypeCount; ++cpu) {
        std::string block = text;
        std::int32_t device = 0, word = 0, area = 0;
        if (ParseBlockAddress(cpu, block, device, word, area)) {
            CheckBlockRange(cpu, device, word, count);
        }
        CheckBlockRange(cpu, count & 0xF, word, count >> 4);
        TagBinding binding;
        binding.dataType = type;
        binding.sizeOrBit = sizeOrBit;
        ParseTagAddress(cpu, text, device, word, binding);
    }
    return 0;
}
