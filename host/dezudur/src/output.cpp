#include "dezudur/output.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "framework/codepage.h"

namespace {
std::mutex gMu;
DezSink& Sink() {
    static DezSink sink;
    return sink;
}

}  // namespace

const char* DezClassName(std::int32_t classWord) {
    switch (classWord & 0xFF) {
        case 0:
            return "error";
        case 1:
            return "station";
        case 2:
            return "state";
        default:
            return "info";
    }
}

namespace {

void MessageOutput(std::int32_t value, std::int32_t classWord, const char* text) {
    std::string raw = text ? text : "";
    DezSink sink;
    {
        std::lock_guard<std::mutex> lock(gMu);
        sink = Sink();
    }
    if (sink) {
        sink(value, classWord, raw);
        return;
    }
    std::string line = DezFormatLine(value, classWord, raw);
    std::fprintf(stderr, "%s\n", line.c_str());
}
}  // namespace

std::string DezFormatLine(std::int32_t value, std::int32_t classWord, const std::string& raw) {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    char head[96];
    std::snprintf(head, sizeof head, "%s msg %s(0x%03X) ", stamp, DezClassName(classWord),
                  static_cast<unsigned>(classWord));
    return head + Cp949ToUtf8(raw);
}

DezSink DezSetSink(DezSink sink) {
    std::lock_guard<std::mutex> lock(gMu);
    DezSink old = std::move(Sink());
    Sink() = std::move(sink);
    return old;
}

extern "C" {
__attribute__((visibility("default"))) void* FuncTable[kDezFuncCount] = {};
}

namespace {
struct FillTable {
    FillTable() { FuncTable[kDezMessageOutput] = reinterpret_cast<void*>(&MessageOutput); }
} gFill;
}  // namespace
