// tarvo cfg: show a configuration file, export it as JSON, or write one from JSON, so that a
// plant's configuration can be reviewed and kept in version control.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "board/dluboard.h"
#include "commands.h"
#include "config/address.h"
#include "config/doc.h"
#include "config/records.h"
#include "framework/codepage.h"
#include "framework/msgbox.h"

using nlohmann::json;

namespace {

std::string Hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

bool LoadDoc(const std::string& path, CQuorixDoc& doc) {
    std::ifstream probe(path);
    if (!probe) {
        std::fprintf(stderr, "tarvo cfg: cannot open '%s'\n", path.c_str());
        return false;
    }
    if (!doc.Load(path)) {
        std::fprintf(stderr, "tarvo cfg: '%s' is not a valid driver configuration file\n",
                     path.c_str());
        return false;
    }
    return true;
}

std::string IoText(int index) {
    return index >= 0 && index < kDluIoBaseCount ? Hex(kDluIoBases[index])
                                                 : "invalid index " + std::to_string(index);
}

std::string MemText(int index) {
    return index >= 0 && index < kDluMemBaseCount ? Hex(kDluMemBases[index])
                                                  : "invalid index " + std::to_string(index);
}

int Show(const std::string& path) {
    CQuorixDoc doc;
    if (!LoadDoc(path, doc)) return 1;
    std::printf("Configuration %s\n", path.c_str());
    std::printf("  Board: I/O port %s (index %d), memory window %s (index %d)\n",
                IoText(doc.Port().m_nIoIndex).c_str(), doc.Port().m_nIoIndex,
                MemText(doc.Port().m_nMemIndex).c_str(), doc.Port().m_nMemIndex);
    std::printf("  Stations: %zu\n", doc.Stations().size());
    for (const auto& s : doc.Stations()) {
        std::string display;
        s->GetDisplayText(display);
        std::printf("  - %s\n", Cp949ToUtf8(display).c_str());
        std::printf("      CPU %s, station number %d, %zu block(s)\n", CpuTypeName(s->m_nCpuType),
                    s->m_nStationNo, s->m_blocks.size());
        for (const auto& b : s->m_blocks) {
            std::string text;
            b->GetDisplayText(text);
            // A damaged file may hold any start word and count: the end is computed in 64 bits.
            std::printf(
                "      * %-16s every %.1f s  (device %c, words %d..%lld, area 0x%X)\n",
                Cp949ToUtf8(text).c_str(), b->m_nPeriod / 1000.0,
                b->m_nDevice >= 0 && b->m_nDevice < kDeviceCount ? kDeviceLetters[b->m_nDevice]
                                                                 : '?',
                b->m_nStartWord, static_cast<long long>(b->m_nStartWord) + b->m_nWordCount - 1,
                b->m_nAreaCode);
        }
    }
    if (doc.StationNames().size() != doc.Stations().size())
        std::printf("  Note: the stored station-name list has %zu entries (rewritten on save)\n",
                    doc.StationNames().size());
    return 0;
}

json ToJson(const CQuorixDoc& doc) {
    json j;
    j["board"]["ioPort"] = IoText(doc.Port().m_nIoIndex);
    j["board"]["memoryWindow"] = MemText(doc.Port().m_nMemIndex);
    j["stations"] = json::array();
    for (const auto& s : doc.Stations()) {
        json st;
        st["name"] = Cp949ToUtf8(s->m_strName);
        st["description"] = Cp949ToUtf8(s->m_strDesc);
        st["cpu"] = CpuTypeName(s->m_nCpuType);
        st["stationNo"] = s->m_nStationNo;
        st["blocks"] = json::array();
        for (const auto& b : s->m_blocks)
            st["blocks"].push_back({{"address", Cp949ToUtf8(b->m_strAddress)},
                                    {"words", b->m_nWordCount},
                                    {"periodMs", b->m_nPeriod}});
        j["stations"].push_back(st);
    }
    return j;
}

int Export(const Args& args) {
    CQuorixDoc doc;
    if (!LoadDoc(args[0], doc)) return 1;
    std::string text = ToJson(doc).dump(2) + "\n";
    if (args.size() < 2) {
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    std::ofstream out(args[1]);
    if (!(out << text) || !out.flush()) {
        std::fprintf(stderr, "tarvo cfg: cannot write '%s'\n", args[1].c_str());
        return 1;
    }
    return 0;
}

// The JSON value itself is checked before anything is converted: a fraction, a number beyond
// 64 bits or one beyond the range never reaches an int.
bool IntegerIn(const json& v, std::int64_t lo, std::int64_t hi, int& out) {
    if (v.is_number_unsigned()) {
        std::uint64_t u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(hi) || static_cast<std::int64_t>(u) < lo) return false;
        out = static_cast<int>(u);
        return true;
    }
    if (!v.is_number_integer()) return false;
    std::int64_t i = v.get<std::int64_t>();
    if (i < lo || i > hi) return false;
    out = static_cast<int>(i);
    return true;
}

// Reads an index into a table of bases from "0x340" / "340" / a plain index number.
template <class T, std::size_t N>
int TableIndex(const json& v, const T (&table)[N], std::uint32_t scale, int& index) {
    if (v.is_number()) return IntegerIn(v, 0, static_cast<std::int64_t>(N) - 1, index);
    if (!v.is_string()) return 0;
    std::string s = v.get<std::string>();
    // Hex digits only (strtoul alone would take blanks, a sign and values that wrap).
    if (s.empty() || !std::isxdigit(static_cast<unsigned char>(s[0]))) return 0;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(s.c_str(), &end, 16);
    if (*end != '\0' || errno || value > 0xFFFFFFFFull) return 0;
    for (std::size_t i = 0; i < N; ++i)
        if (table[i] == value || table[i] == value * scale) {
            index = static_cast<int>(i);
            return 1;
        }
    return 0;
}

struct ImportError {
    std::string where, what;
};

int CpuFromJson(const json& v) {
    int cpu = -1;
    if (v.is_number()) return IntegerIn(v, 0, kCpuTypeCount - 1, cpu) ? cpu : -1;
    if (!v.is_string()) return -1;
    std::string s = v.get<std::string>();
    for (int i = 0; i < kCpuTypeCount; ++i)
        if (s == CpuTypeName(i) || s == std::string(CpuTypeName(i)).substr(9)) return i;
    return -1;
}

void FromJson(const json& j, CQuorixDoc& doc) {
    auto fail = [](const std::string& where, const std::string& what) {
        throw ImportError{where, what};
    };
    if (!j.is_object()) fail("$", "the top level must be an object");
    if (j.contains("board")) {
        const json& b = j["board"];
        if (!b.is_object()) fail("$.board", "must be an object");
        if (b.contains("ioPort") && !TableIndex(b["ioPort"], kDluIoBases, 1, doc.Port().m_nIoIndex))
            fail("$.board.ioPort", "not one of the board's I/O ports 0x300..0x3F0");
        if (b.contains("memoryWindow") &&
            !TableIndex(b["memoryWindow"], kDluMemBases, 16, doc.Port().m_nMemIndex))
            fail("$.board.memoryWindow", "not one of the windows 0xC0000..0xEC000 (or C000..EC00)");
    }
    if (!j.contains("stations")) return;
    if (!j["stations"].is_array()) fail("$.stations", "must be an array");
    int si = 0;
    for (const json& js : j["stations"]) {
        std::string at = "$.stations[" + std::to_string(si++) + "]";
        if (!js.is_object()) fail(at, "must be an object");
        auto st = std::make_unique<CStationInfo>();
        if (!js.contains("name") || !js["name"].is_string()) fail(at + ".name", "missing text");
        // As the station dialog stores a name.
        st->m_strName = StationNameFromInput(Utf8ToCp949(js["name"].get<std::string>()));
        if (st->m_strName.empty()) fail(at + ".name", "the station name is empty");
        if (doc.CheckStationName(st->m_strName, nullptr))
            fail(at + ".name", "another station already has this name");
        if (js.contains("description")) {
            if (!js["description"].is_string()) fail(at + ".description", "must be a text");
            st->m_strDesc = Utf8ToCp949(js["description"].get<std::string>());
        }
        st->m_nCpuType = CpuFromJson(js.value("cpu", json("Master K-200")));
        if (st->m_nCpuType < 0 || st->m_nCpuType >= kCpuTypeCount)
            fail(at + ".cpu", "expected Master K-200, K-250, K-500 or K-1000");
        if (!js.contains("stationNo") || !js["stationNo"].is_number_integer())
            fail(at + ".stationNo", "missing integer");
        if (!IntegerIn(js["stationNo"], 0, 31, st->m_nStationNo))
            fail(at + ".stationNo", "must lie in 0..31");
        if (doc.CheckStationNo(st->m_nStationNo, nullptr))
            fail(at + ".stationNo", "used by another station");
        const json blocks = js.value("blocks", json::array());
        if (!blocks.is_array()) fail(at + ".blocks", "must be an array");
        int bi = 0;
        for (const json& jb : blocks) {
            std::string bat = at + ".blocks[" + std::to_string(bi++) + "]";
            if (!jb.is_object()) fail(bat, "must be an object");
            auto b = std::make_unique<CCommBlock>();
            if (!jb.contains("address") || !jb["address"].is_string())
                fail(bat + ".address", "missing text");
            b->m_strAddress = TrimWhite(jb["address"].get<std::string>());
            if (!ParseBlockAddress(st->m_nCpuType, b->m_strAddress, b->m_nDevice, b->m_nStartWord,
                                   b->m_nAreaCode))
                fail(bat + ".address",
                     "not a valid start address for " + std::string(CpuTypeName(st->m_nCpuType)));
            if (jb.contains("words") && !IntegerIn(jb["words"], 1, 60, b->m_nWordCount))
                fail(bat + ".words", "must be an integer in 1..60");
            if (!CheckBlockRange(st->m_nCpuType, b->m_nDevice, b->m_nStartWord, b->m_nWordCount))
                fail(bat, "the block runs past the device's last word");
            for (const auto& other : st->m_blocks)
                if (other->m_nDevice == b->m_nDevice &&
                    b->m_nStartWord < other->m_nStartWord + other->m_nWordCount &&
                    other->m_nStartWord < b->m_nStartWord + b->m_nWordCount)
                    fail(bat, "overlaps block " + other->m_strAddress);
            if (jb.contains("periodMs") && !IntegerIn(jb["periodMs"], 0, 999900, b->m_nPeriod))
                fail(bat + ".periodMs", "must be an integer in 0..999900");
            st->m_blocks.push_back(std::move(b));
        }
        doc.Stations().push_back(std::move(st));
    }
}

int Import(const Args& args) {
    std::ifstream in(args[0]);
    if (!in) {
        std::fprintf(stderr, "tarvo cfg: cannot open '%s'\n", args[0].c_str());
        return 1;
    }
    json j;
    try {
        j = json::parse(in);
    } catch (const json::exception& e) {  // a syntax error, or a number too large for JSON
        std::fprintf(stderr, "tarvo cfg: %s: not valid JSON: %s\n", args[0].c_str(), e.what());
        return 1;
    }
    CQuorixDoc doc;
    try {
        FromJson(j, doc);
    } catch (const ImportError& e) {
        std::fprintf(stderr, "tarvo cfg: %s: %s: %s\n", args[0].c_str(), e.where.c_str(),
                     e.what.c_str());
        return 1;
    } catch (const json::exception& e) {
        std::fprintf(stderr, "tarvo cfg: %s: %s\n", args[0].c_str(), e.what());
        return 1;
    }
    doc.SetPath(args[1]);
    if (!doc.Save()) return 1;  // the document's error box has said why
    std::printf("wrote %s: %zu station(s)\n", args[1].c_str(), doc.Stations().size());
    return 0;
}

void Usage() {
    std::fputs(
        "usage: tarvo cfg show CFG\n"
        "       tarvo cfg export CFG [JSON]\n"
        "       tarvo cfg import JSON CFG\n",
        stderr);
}

}  // namespace

int CmdCfg(const Args& args) {
    if (args.size() == 2 && args[0] == "show") return Show(args[1]);
    if ((args.size() == 2 || args.size() == 3) && args[0] == "export")
        return Export(Args(args.begin() + 1, args.end()));
    if (args.size() == 3 && args[0] == "import") return Import(Args(args.begin() + 1, args.end()));
    Usage();
    return 2;
}
