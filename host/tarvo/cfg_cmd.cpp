// tarvo cfg: show a configuration file, export it as JSON, or write one from JSON, so that a
// plant's configuration can be reviewed and kept in version control.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "board/dluboard.h"
#include "cfg_json.h"
#include "commands.h"
#include "config/address.h"
#include "config/doc.h"
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

int Import(const Args& args) {
    std::ifstream in(args[0], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "tarvo cfg: cannot open '%s'\n", args[0].c_str());
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    CQuorixDoc doc;
    std::string error;
    if (!ConfigFromJson(text.str(), doc, error)) {
        std::fprintf(stderr, "tarvo cfg: %s: %s\n", args[0].c_str(), error.c_str());
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
