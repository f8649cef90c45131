// A complete host for the Quorix driver module in one file: it loads libQuorix.so, opens a
// configuration, registers a few tags of the example plant, runs communication for a while and
// prints every value the driver delivers, then stops and unloads the module.
//
//   minimal_host CONFIG [SECONDS]
//
// The tag database and the message output are the host libraries libTarvoDbm.so and
// libDezudurE.so. The module loads them from its own folder; this program links the same files
// from the same folder, so both share one tag database.
#include <dlfcn.h>
#include <iconv.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "dezudur/output.h"
#include "tarvodbm/tagdb.h"
#include "tarvosub/tagval.h"

namespace {

// The entry table: 32 pointer-sized slots, the entries used here at these positions.
enum Slot {
    kOpen = 1,
    kStart = 3,
    kEndRegistration = 4,
    kStop = 5,
    kRegisterTag = 6,
    kGetName = 12,
    kSetActive = 13
};
using OpenFn = std::int32_t (*)(const char* path);
using IndexFn = std::int32_t (*)(std::int32_t index);
using RegisterTagFn = std::int32_t (*)(std::int32_t index, const char* device, const char* address,
                                       std::int32_t dataType, std::int32_t size,
                                       std::int32_t tagId);
using GetNameFn = const char* (*)();
using SetActiveFn = void (*)(std::int32_t index, const char* station, std::int32_t flag);

// Data type codes.
constexpr std::int32_t kSint16 = 1, kUint16 = 4, kBit = 13, kString = 14;

struct TagSpec {
    const char* name;
    const char* device;   // "DLU.<station name>"
    const char* address;  // PLC address; a bit of P/M/L/K/F as the last hex digit
    std::int32_t dataType;
    std::int32_t size;  // bytes; 1 for a bit, the length for a text
};

const TagSpec kTags[] = {
    {"Press.Count", "DLU.PLC1", "D0100", kUint16, 2},
    {"Press.Wave", "DLU.PLC1", "D0101", kSint16, 2},
    {"Press.Run", "DLU.PLC1", "M0000", kBit, 1},
    {"Press.Recipe", "DLU.PLC1", "D0120", kString, 8},
};

std::mutex gOut;  // values arrive on the driver's thread, messages on any

template <class F>
F Entry(void** table, int slot) {
    return reinterpret_cast<F>(table[slot]);
}

// The driver's texts are CP949; shown here as UTF-8.
std::string ToUtf8(const std::string& cp949) {
    iconv_t cd = ::iconv_open("UTF-8", "CP949");
    if (cd == reinterpret_cast<iconv_t>(-1)) return cp949;
    std::string out(cp949.size() * 3 / 2 + 4, '\0');
    char* in = const_cast<char*>(cp949.data());
    char* to = out.data();
    std::size_t inLeft = cp949.size(), outLeft = out.size();
    ::iconv(cd, &in, &inLeft, &to, &outLeft);
    ::iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

std::string ModuleBesideMe() {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : "./x";
    return path.substr(0, path.rfind('/') + 1) + "libQuorix.so";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: minimal_host CONFIG [SECONDS]\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;

    // Messages may come on any thread, the driver's included.
    DezSetSink([](std::int32_t, std::int32_t classWord, const std::string& text) {
        std::lock_guard<std::mutex> lock(gOut);
        std::printf("message (%s): %s\n", DezClassName(classWord), ToUtf8(text).c_str());
    });

    const std::string modulePath = ModuleBesideMe();
    void* module = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    void** table = module ? static_cast<void**>(::dlsym(module, "DrvFuncTable")) : nullptr;
    if (!table || !table[kOpen]) {
        std::fprintf(stderr, "cannot load %s: %s\n", modulePath.c_str(), ::dlerror());
        return 1;
    }
    std::printf("driver %s\n", Entry<GetNameFn>(table, kGetName)());

    // Paths and names are CP949; plain ASCII is the same in it.
    const std::int32_t index = Entry<OpenFn>(table, kOpen)(argv[1]);
    if (index < 0) {
        std::fprintf(stderr, "the driver cannot open %s\n", argv[1]);
        return 1;
    }
    if (std::int32_t rc = Entry<IndexFn>(table, kStart)(index); rc != 0) {
        // 12: no I/O service, 13: window not mapped, 14: no board answering.
        std::fprintf(stderr, "the board did not start (%d)\n", rc);
        Entry<IndexFn>(table, kStop)(index);
        return 1;
    }

    // Tags are registered after the start that opens the board and before polling runs.
    CTagDatabase& db = CTagDatabase::Instance();
    for (const TagSpec& t : kTags) {
        const std::int32_t id = db.AddTag(t.name);
        const std::int32_t handle = Entry<RegisterTagFn>(table, kRegisterTag)(
            index, t.device, t.address, t.dataType, t.size, id);
        std::printf("tag %s: %s\n", t.name, handle < 0 ? "refused" : "registered");
    }
    Entry<IndexFn>(table, kEndRegistration)(index);

    // The driver calls SetTagValue (TarvoDbm's table, position 23) on its delivery thread; the
    // database passes each value on to this listener.
    const int listener = db.AddListener([&db](std::int32_t id, const CTagVal& value) {
        std::string name;
        db.GetName(id, name);
        std::lock_guard<std::mutex> lock(gOut);
        std::printf("value %s = %s\n", name.c_str(), ToUtf8(value.Describe()).c_str());
        std::fflush(stdout);
    });

    Entry<SetActiveFn>(table, kSetActive)(index, nullptr, 1);  // polling starts
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    Entry<SetActiveFn>(table, kSetActive)(index, nullptr, 0);
    Entry<IndexFn>(table, kStop)(index);  // waits for the driver's threads

    db.RemoveListener(listener);
    ::dlclose(module);  // only after the stop: no driver thread may outlive its code
    DezSetSink(nullptr);
    std::printf("stopped\n");
    return 0;
}
