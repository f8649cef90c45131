#include "cfg_json.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "board/dluboard.h"
#include "config/address.h"
#include "config/doc.h"
#include "config/records.h"
#include "framework/codepage.h"

using nlohmann::json;

namespace {

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
        // The file holds CP949: a character it has no code for would be stored as '?'.
        auto cp949 = [&](const std::string& field) {
            const std::string utf8 = js[field].get<std::string>();
            std::string out = Utf8ToCp949(utf8);
            if (Cp949ToUtf8(out) != utf8)
                fail(at + "." + field, "has characters the configuration's code page (CP949) "
                                       "cannot hold");
            return out;
        };
        // As the station dialog stores a name.
        st->m_strName = StationNameFromInput(cp949("name"));
        if (st->m_strName.empty()) fail(at + ".name", "the station name is empty");
        if (doc.CheckStationName(st->m_strName, nullptr))
            fail(at + ".name", "another station already has this name");
        if (js.contains("description")) {
            if (!js["description"].is_string()) fail(at + ".description", "must be a text");
            st->m_strDesc = cp949("description");
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

}  // namespace

bool ConfigFromJson(std::string_view text, CQuorixDoc& doc, std::string& error) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {  // a syntax error, or a number too large for JSON
        error = std::string("not valid JSON: ") + e.what();
        return false;
    }
    try {
        FromJson(j, doc);
        return true;
    } catch (const ImportError& e) {
        error = e.where + ": " + e.what;
    } catch (const json::exception& e) {
        error = e.what();
    }
    return false;
}
