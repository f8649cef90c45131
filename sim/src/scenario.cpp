// Scenario files: the board's place, the stations behind it, their memory, value generators and
// faults. Every mistake is reported with its JSON path, so a user finds it in a long file.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sim/board.h"

namespace sim {
namespace {

using nlohmann::json;

struct Fail {
    std::string message;
};

[[noreturn]] void Throw(const std::string& path, const std::string& what) {
    throw Fail{(path.empty() ? std::string("scenario") : path) + ": " + what};
}

void OnlyKeys(const json& j, const std::string& path, std::initializer_list<const char*> keys) {
    if (!j.is_object()) Throw(path, "must be an object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool known = false;
        for (const char* k : keys) known = known || it.key() == k;
        if (!known) {
            std::string list;
            for (const char* k : keys) list += std::string(list.empty() ? "" : ", ") + k;
            Throw(path + (path.empty() ? "" : ".") + it.key(), "unknown key (known: " + list + ")");
        }
    }
}

std::string Sub(const std::string& path, const char* key) {
    return path.empty() ? key : path + "." + key;
}

// An integer given as a JSON number or as a text ("0x340", "832").
long long Integer(const json& j, const std::string& path, long long lo, long long hi) {
    long long v = 0;
    if (j.is_number_unsigned()) {
        // Beyond the signed range it would wrap into the range below: report it as it is.
        const unsigned long long u = j.get<unsigned long long>();
        if (u > static_cast<unsigned long long>(hi)) {
            std::ostringstream os;
            os << u << " is outside " << lo << ".." << hi;
            Throw(path, os.str());
        }
        v = static_cast<long long>(u);
    } else if (j.is_number_integer()) {
        v = j.get<long long>();
    } else if (j.is_string()) {
        const std::string s = j.get<std::string>();
        char* end = nullptr;
        errno = 0;
        v = std::strtoll(s.c_str(), &end, 0);
        if (s.empty() || *end != '\0' || errno) Throw(path, "\"" + s + "\" is not an integer");
    } else {
        Throw(path, "must be an integer");
    }
    if (v < lo || v > hi) {
        std::ostringstream os;
        os << v << " is outside " << lo << ".." << hi;
        Throw(path, os.str());
    }
    return v;
}

// Generator values; bounded so that the sums a generator forms stay far inside the range that
// converts to a word soundly.
double Number(const json& j, const std::string& path) {
    constexpr double kLimit = 1e9;
    if (!j.is_number()) Throw(path, "must be a number");
    const double v = j.get<double>();
    if (!(v >= -kLimit && v <= kLimit)) {
        std::ostringstream os;
        os << v << " is outside -1e9..1e9";
        Throw(path, os.str());
    }
    return v;
}

bool Bool(const json& j, const std::string& path) {
    if (!j.is_boolean()) Throw(path, "must be true or false");
    return j.get<bool>();
}

std::string Text(const json& j, const std::string& path) {
    if (!j.is_string()) Throw(path, "must be a text");
    return j.get<std::string>();
}

int CpuType(const json& j, const std::string& path) {
    if (j.is_number_integer()) return static_cast<int>(Integer(j, path, 0, 3));
    std::string s = Text(j, path), k;
    for (char c : s)
        if (!std::isspace(static_cast<unsigned char>(c)) && c != '-')
            k += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (k.rfind("MASTER", 0) == 0) k = k.substr(6);
    for (int cpu = 0; cpu < 4; ++cpu) {
        static const char* kKeys[4] = {"K200", "K250", "K500", "K1000"};
        if (k == kKeys[cpu]) return cpu;
    }
    Throw(path, "unknown CPU type \"" + s + "\" (Master K-200, K-250, K-500 or K-1000)");
}

// A word address such as "D0100", checked against the CPU's memory with `words` words.
void Address(const std::string& text, int cpu, int words, const std::string& path, int& device,
             int& word) {
    const std::string letters = "PMLKFTCDS";
    const std::size_t at =
        text.empty()
            ? std::string::npos
            : letters.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[0]))));
    bool digits = text.size() > 1 && text.size() <= 6;
    for (std::size_t i = 1; i < text.size(); ++i)
        digits = digits && std::isdigit(static_cast<unsigned char>(text[i]));
    if (at == std::string::npos || !digits)
        Throw(path, "\"" + text + "\" is not a word address (a letter of PMLKFTCDS and a number)");
    device = static_cast<int>(at);
    word = std::atoi(text.c_str() + 1);
    const int limit = SimWordLimit(cpu, device);
    if (word + words - 1 > limit) {
        std::ostringstream os;
        os << "\"" << text << "\"";
        if (words > 1) os << " with " << words << " words";
        os << " goes beyond " << letters[at] << limit << ", the last word of a " << SimCpuName(cpu);
        Throw(path, os.str());
    }
}

std::vector<std::uint16_t> Words(const json& j, const std::string& path) {
    std::vector<std::uint16_t> out;
    if (j.is_string()) {
        // Text packed two characters a word, the first in the low byte.
        const std::string s = j.get<std::string>();
        for (std::size_t i = 0; i < s.size(); i += 2) {
            const auto lo = static_cast<std::uint8_t>(s[i]);
            const auto hi = i + 1 < s.size() ? static_cast<std::uint8_t>(s[i + 1]) : 0;
            out.push_back(static_cast<std::uint16_t>(lo | hi << 8));
        }
        if (out.empty()) Throw(path, "an empty text sets no word");
        return out;
    }
    if (!j.is_array()) return {static_cast<std::uint16_t>(Integer(j, path, -32768, 65535))};
    if (j.empty()) Throw(path, "an empty list sets no word");
    for (std::size_t i = 0; i < j.size(); ++i)
        out.push_back(static_cast<std::uint16_t>(
            Integer(j[i], path + "[" + std::to_string(i) + "]", -32768, 65535)));
    return out;
}

Generator ParseGenerator(const json& j, int cpu, const std::string& path) {
    OnlyKeys(j, path,
             {"address", "kind", "words", "periodMs", "updateMs", "step", "min", "max", "low",
              "high", "offset", "amplitude"});
    Generator g;
    if (!j.contains("kind")) Throw(path, "\"kind\" is missing");
    const std::string kind = Text(j["kind"], Sub(path, "kind"));
    if (kind == "counter")
        g.kind = GeneratorKind::Counter;
    else if (kind == "square")
        g.kind = GeneratorKind::Square;
    else if (kind == "sine")
        g.kind = GeneratorKind::Sine;
    else if (kind == "randomWalk")
        g.kind = GeneratorKind::RandomWalk;
    else if (kind == "clock")
        g.kind = GeneratorKind::Clock;
    else
        Throw(Sub(path, "kind"),
              "unknown kind \"" + kind + "\" (counter, square, sine, randomWalk, clock)");

    if (g.kind == GeneratorKind::Clock) {
        // One 32-bit value, low word first.
        if (j.contains("words")) Throw(Sub(path, "words"), "a clock always takes two words");
        g.words = 2;
    } else if (j.contains("words")) {
        g.words = static_cast<int>(Integer(j["words"], Sub(path, "words"), 1, 64));
    }
    if (!j.contains("address")) Throw(path, "\"address\" is missing");
    g.address = Text(j["address"], Sub(path, "address"));
    Address(g.address, cpu, g.words, Sub(path, "address"), g.device, g.word);

    if (j.contains("periodMs"))
        g.periodMs =
            static_cast<std::uint32_t>(Integer(j["periodMs"], Sub(path, "periodMs"),
                                               g.kind == GeneratorKind::Square ? 2 : 1, 86400000));
    if (j.contains("updateMs"))
        g.updateMs =
            static_cast<std::uint32_t>(Integer(j["updateMs"], Sub(path, "updateMs"), 1, 86400000));
    if (j.contains("step")) g.step = Number(j["step"], Sub(path, "step"));
    if (j.contains("min")) g.min = Number(j["min"], Sub(path, "min"));
    if (j.contains("max")) g.max = Number(j["max"], Sub(path, "max"));
    if (j.contains("low")) g.low = Number(j["low"], Sub(path, "low"));
    if (j.contains("high")) g.high = Number(j["high"], Sub(path, "high"));
    if (j.contains("offset")) g.offset = Number(j["offset"], Sub(path, "offset"));
    if (j.contains("amplitude")) g.amplitude = Number(j["amplitude"], Sub(path, "amplitude"));
    if (g.min > g.max) Throw(Sub(path, "min"), "is above \"max\"");
    if (g.kind == GeneratorKind::RandomWalk && g.step < 0)
        Throw(Sub(path, "step"), "must not be negative");
    return g;
}

StationSpec ParseStation(const json& j, const std::string& path) {
    OnlyKeys(j, path,
             {"name", "number", "cpu", "absent", "errorNumber", "delayMs", "silent", "memory",
              "generators"});
    StationSpec st;
    for (const char* key : {"name", "number", "cpu"})
        if (!j.contains(key)) Throw(path, std::string("\"") + key + "\" is missing");
    st.name = Text(j["name"], Sub(path, "name"));
    st.number = static_cast<int>(Integer(j["number"], Sub(path, "number"), 0, 31));
    st.cpuType = CpuType(j["cpu"], Sub(path, "cpu"));
    if (j.contains("absent")) st.absent = Bool(j["absent"], Sub(path, "absent"));
    if (j.contains("errorNumber"))
        st.errorNumber =
            static_cast<std::uint8_t>(Integer(j["errorNumber"], Sub(path, "errorNumber"), 0, 255));
    if (j.contains("delayMs"))
        st.delayMs =
            static_cast<std::uint32_t>(Integer(j["delayMs"], Sub(path, "delayMs"), 0, 3600000));
    if (j.contains("silent")) {
        const std::string spath = Sub(path, "silent");
        if (!j["silent"].is_array()) Throw(spath, "must be a list of {\"fromMs\", \"toMs\"}");
        for (std::size_t i = 0; i < j["silent"].size(); ++i) {
            const std::string p = spath + "[" + std::to_string(i) + "]";
            const json& period = j["silent"][i];
            OnlyKeys(period, p, {"fromMs", "toMs"});
            if (!period.contains("toMs")) Throw(p, "\"toMs\" is missing");
            const auto from = static_cast<std::uint32_t>(
                period.contains("fromMs") ? Integer(period["fromMs"], Sub(p, "fromMs"), 0, 86400000)
                                          : 0);
            const auto to =
                static_cast<std::uint32_t>(Integer(period["toMs"], Sub(p, "toMs"), 1, 86400000));
            if (to <= from) Throw(Sub(p, "toMs"), "must be after \"fromMs\"");
            st.silent.push_back({from, to});
        }
    }
    if (j.contains("memory")) {
        const std::string mpath = Sub(path, "memory");
        if (!j["memory"].is_object()) Throw(mpath, "must be an object of address: value(s)");
        for (auto it = j["memory"].begin(); it != j["memory"].end(); ++it) {
            const std::string p = mpath + "." + it.key();
            std::vector<std::uint16_t> words = Words(it.value(), p);
            int device = 0, word = 0;
            Address(it.key(), st.cpuType, static_cast<int>(words.size()), p, device, word);
            st.memory.push_back({{device, word}, std::move(words)});
        }
    }
    if (j.contains("generators")) {
        const std::string gpath = Sub(path, "generators");
        if (!j["generators"].is_array()) Throw(gpath, "must be a list");
        for (std::size_t i = 0; i < j["generators"].size(); ++i)
            st.generators.push_back(ParseGenerator(j["generators"][i], st.cpuType,
                                                   gpath + "[" + std::to_string(i) + "]"));
    }
    return st;
}

void Parse(const json& root, Scenario& sc) {
    OnlyKeys(root, "", {"board", "seed", "stations"});
    if (root.contains("board")) {
        const json& b = root["board"];
        OnlyKeys(b, "board", {"port", "window", "faults"});
        if (b.contains("port")) {
            sc.portBase =
                static_cast<std::uint16_t>(Integer(b["port"], "board.port", 0x300, 0x3F0));
            if (sc.portBase % 0x10) Throw("board.port", "must be one of 0x300, 0x310, ... 0x3F0");
        }
        if (b.contains("window")) {
            sc.windowPhysical =
                static_cast<std::uint32_t>(Integer(b["window"], "board.window", 0xC0000, 0xEC000));
            if (sc.windowPhysical % 0x4000)
                Throw("board.window", "must be one of 0xC0000, 0xC4000, ... 0xEC000");
        }
        if (b.contains("faults")) {
            const json& f = b["faults"];
            OnlyKeys(f, "board.faults", {"noBoard", "mappingRefused", "lockNeverGranted"});
            if (f.contains("noBoard")) sc.noBoard = Bool(f["noBoard"], "board.faults.noBoard");
            if (f.contains("mappingRefused"))
                sc.mappingRefused = Bool(f["mappingRefused"], "board.faults.mappingRefused");
            if (f.contains("lockNeverGranted"))
                sc.lockNeverGranted = Bool(f["lockNeverGranted"], "board.faults.lockNeverGranted");
        }
    }
    if (root.contains("seed"))
        sc.seed = static_cast<std::uint32_t>(Integer(root["seed"], "seed", 0, 0xFFFFFFFFll));
    if (root.contains("stations")) {
        if (!root["stations"].is_array()) Throw("stations", "must be a list");
        std::set<int> numbers;
        for (std::size_t i = 0; i < root["stations"].size(); ++i) {
            const std::string path = "stations[" + std::to_string(i) + "]";
            sc.stations.push_back(ParseStation(root["stations"][i], path));
            if (!numbers.insert(sc.stations.back().number).second)
                Throw(path + ".number", "station " + std::to_string(sc.stations.back().number) +
                                            " is already on the line");
        }
    }
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario& out, std::string& error) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& e) {  // a syntax error, or a number too large for JSON
        std::string what = e.what();
        const std::size_t at = what.find("] ");
        error =
            "scenario is not valid JSON: " + (at == std::string::npos ? what : what.substr(at + 2));
        return false;
    }
    try {
        Scenario sc;
        Parse(root, sc);
        out = std::move(sc);
        return true;
    } catch (const Fail& f) {
        error = f.message;
    } catch (const json::exception& e) {
        error = std::string("scenario: ") + e.what();
    }
    return false;
}

bool LoadScenario(const std::string& path, Scenario& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be opened";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!ParseScenario(text.str(), out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace sim
