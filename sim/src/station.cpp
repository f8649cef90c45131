#include "station.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace sim {
namespace {

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

Item DecodeItem(const std::uint8_t* p) {
    Item item;
    item.area = Be16(p);
    item.word = Be16(p + 2);
    const std::uint16_t count = Be16(p + 4);
    item.more = (count & 0x8000) != 0;
    item.count = count & 0x7FFF;
    return item;
}

std::uint16_t ToWord(double v) {
    return static_cast<std::uint16_t>(static_cast<std::int64_t>(std::lround(v)));
}

}  // namespace

std::vector<Item> DecodeItems(std::uint8_t function, const std::uint8_t* request, int cpuType) {
    std::vector<Item> items;
    for (int offset = 0; offset + 6 <= kRequestAreaSize; offset += 6) {
        items.push_back(DecodeItem(request + offset));
        items.back().device = SimDeviceOfArea(cpuType, items.back().area);
        if (function != FN_READ_WORDS || !items.back().more) break;
    }
    return items;
}

std::string DescribeItem(const Item& item) {
    char text[64];
    if (item.device >= 0)
        std::snprintf(text, sizeof text, "%c%04u+%u", "PMLKFTCDS"[item.device], item.word,
                      item.count);
    else
        std::snprintf(text, sizeof text, "area 0x%04X word %u+%u", item.area, item.word,
                      item.count);
    return text;
}

const char* ErrorName(std::uint8_t error) {
    switch (error) {
        case ERR_NONE:
            return "ok";
        case ERR_FUNCTION:
            return "unknown function";
        case ERR_MALFORMED:
            return "malformed request";
        case ERR_AREA:
            return "unknown area";
        case ERR_RANGE:
            return "beyond the last word";
        case ERR_NO_STATION:
            return "no such station";
        default:
            return "station error";
    }
}

Station::Station(const StationSpec& spec) : spec_(spec) {
    for (int dev = 0; dev < 9; ++dev)
        mem_[dev].assign(static_cast<std::size_t>(SimWordLimit(spec_.cpuType, dev) + 1), 0);
    for (const auto& [where, words] : spec_.memory)
        for (std::size_t i = 0; i < words.size(); ++i)
            Poke(where.first, where.second + static_cast<int>(i), words[i]);
    gens_.resize(spec_.generators.size());
}

bool Station::Peek(int device, int word, std::uint16_t& out) const {
    if (device < 0 || device >= 9 || word < 0 || word >= static_cast<int>(mem_[device].size()))
        return false;
    out = mem_[device][static_cast<std::size_t>(word)];
    return true;
}

bool Station::Poke(int device, int word, std::uint16_t value) {
    if (device < 0 || device >= 9 || word < 0 || word >= static_cast<int>(mem_[device].size()))
        return false;
    mem_[device][static_cast<std::size_t>(word)] = value;
    return true;
}

std::uint8_t Station::Check(Item& item) const {
    item.device = SimDeviceOfArea(spec_.cpuType, item.area);
    if (item.count == 0) return ERR_MALFORMED;
    if (item.device < 0) return ERR_AREA;
    if (item.word + item.count - 1 > SimWordLimit(spec_.cpuType, item.device)) return ERR_RANGE;
    return ERR_NONE;
}

Outcome Station::Execute(std::uint8_t function, const std::uint8_t* request,
                         const std::uint8_t* data) {
    Outcome out;
    switch (function) {
        case FN_READ_WORDS: {
            int total = 0;
            for (int offset = 0;; offset += 6) {
                // The last item must end inside the item area; a mark on it points past the end.
                if (offset + 6 > kRequestAreaSize) {
                    out.error = ERR_MALFORMED;
                    return out;
                }
                Item item = DecodeItem(request + offset);
                out.items.push_back(item);
                if (std::uint8_t e = Check(out.items.back())) {
                    out.error = e;
                    return out;
                }
                total += item.count;
                if (total > kMaxReadWords) {
                    out.error = ERR_MALFORMED;
                    return out;
                }
                if (!item.more) break;
            }
            int pos = 0;
            for (const Item& item : out.items)
                for (int i = 0; i < item.count; ++i, pos += 2) {
                    const std::uint16_t v =
                        mem_[item.device][item.word + static_cast<std::size_t>(i)];
                    out.data[pos] = static_cast<std::uint8_t>(v);
                    out.data[pos + 1] = static_cast<std::uint8_t>(v >> 8);
                }
            out.dataBytes = pos;
            return out;
        }
        case FN_WRITE_WORDS:
        case FN_WRITE_BIT: {
            out.items.push_back(DecodeItem(request));
            Item& item = out.items.back();
            const bool bit = function == FN_WRITE_BIT;
            if (item.more || item.count > (bit ? 1 : kMaxWriteWords)) {
                out.error = ERR_MALFORMED;
                return out;
            }
            if (std::uint8_t e = Check(item)) {
                out.error = e;
                return out;
            }
            auto& words = mem_[item.device];
            if (bit) {
                // keep low, set low, keep high, set high: the word becomes (old & keep) | set.
                out.keep = static_cast<std::uint16_t>(data[0] | data[2] << 8);
                out.set = static_cast<std::uint16_t>(data[1] | data[3] << 8);
                words[item.word] =
                    static_cast<std::uint16_t>((words[item.word] & out.keep) | out.set);
                out.dataBytes = 4;
            } else {
                for (int i = 0; i < item.count; ++i)
                    words[item.word + static_cast<std::size_t>(i)] = Le16(data + 2 * i);
                out.dataBytes = 2 * item.count;
            }
            return out;
        }
        default:
            out.error = ERR_FUNCTION;
            return out;
    }
}

void Station::RunGenerators(std::uint32_t now, std::mt19937& rng) {
    for (std::size_t i = 0; i < gens_.size(); ++i) Update(spec_.generators[i], gens_[i], now, rng);
}

std::uint32_t Station::NextUpdateIn(std::uint32_t now) const {
    std::uint32_t in = UINT32_MAX;
    for (const GenState& s : gens_) {
        if (!s.started) return 0;
        const auto left = static_cast<std::int32_t>(s.next - now);
        in = std::min(in, left > 0 ? static_cast<std::uint32_t>(left) : 0u);
    }
    return in;
}

void Station::Update(const Generator& g, GenState& s, std::uint32_t now, std::mt19937& rng) {
    std::uint32_t interval = g.periodMs;
    if (g.kind == GeneratorKind::Square) interval = g.periodMs / 2;
    if (g.kind == GeneratorKind::Sine) interval = g.updateMs;
    if (interval == 0) interval = 1;

    auto& words = mem_[g.device];
    if (!s.started) {
        s.started = true;
        s.start = s.next = now;
        s.values.resize(static_cast<std::size_t>(g.words));
        for (int k = 0; k < g.words; ++k) {
            double v = words[static_cast<std::size_t>(g.word + k)];
            if (g.kind == GeneratorKind::RandomWalk) v = std::clamp(v, g.min, g.max);
            s.values[static_cast<std::size_t>(k)] = v;
        }
    }
    // After a long stall (a debugger, a suspended service) pick up from now instead of
    // replaying every missed update.
    if (static_cast<std::int32_t>(now - s.next) > static_cast<std::int32_t>(100 * interval))
        s.next = now;

    while (static_cast<std::int32_t>(now - s.next) >= 0) {
        const std::uint32_t t = s.next - s.start;
        for (std::size_t k = 0; k < s.values.size(); ++k) {
            double& v = s.values[k];
            switch (g.kind) {
                case GeneratorKind::Counter:
                    if (t == 0) break;  // the first update shows the starting value
                    v += g.step;
                    if (v > g.max) v = g.min;
                    if (v < g.min) v = g.max;
                    break;
                case GeneratorKind::Square:
                    v = (t / interval) % 2 ? g.high : g.low;
                    break;
                case GeneratorKind::Sine:
                    v = g.offset + g.amplitude * std::sin(2 * std::numbers::pi * t / g.periodMs);
                    break;
                case GeneratorKind::RandomWalk:
                    if (t == 0) break;
                    v = std::clamp(v + std::uniform_real_distribution<double>(-g.step, g.step)(rng),
                                   g.min, g.max);
                    break;
                case GeneratorKind::Clock:
                    // The moment of writing, not the update's due time: a reader on the same
                    // clock takes its difference as the time since the word changed.
                    v = k == 0 ? (now & 0xFFFFu) : (now >> 16);
                    break;
            }
            words[static_cast<std::size_t>(g.word) + k] = ToWord(v);
        }
        s.next += interval;
    }
}

}  // namespace sim
