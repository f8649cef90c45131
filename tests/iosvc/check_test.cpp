// tvioctrld --check, run as the technician runs it, against the simulator's board faults.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "service_process.h"

namespace {

using iosvc_test::ReadFile;
using iosvc_test::TempDir;
using iosvc_test::WriteFile;

struct CheckCase {
    const char* name;
    const char* fault;  // board fault switched on in the example scenario, or null; "hw" for
                        // the hardware backend on the devices the options name
    const char* extra;  // further options
    int status;
    const char* phrase;
};

const CheckCase kCases[] = {
    {"good", nullptr, "", 0, "OK: board answered at port 0x340, window 0xD8000 readable"},
    {"noBoard", "noBoard", "", 5, "no board answered at port 0x340"},
    {"mappingRefused", "mappingRefused", "", 4, "window at 0xD8000 cannot be mapped"},
    {"lockNeverGranted", "lockNeverGranted", "", 6, "access lock never granted"},
    {"otherWindow", nullptr, "--window 0xC0000", 7, "window at 0xC0000 reads only 0xFF"},
    {"portDeviceMissing", "hw", "--port-device /nonexistent/port", 3,
     "cannot open the port device /nonexistent/port: it is not there"},
    // A device this user may not open (run as nobody when the tests run as root).
    {"memDeviceNotAllowed", "hw", "--port-device /dev/null --mem-device @", 3,
     "cannot open the memory device @: not allowed (run as root"},
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class CheckTest : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckTest, ReportsTheFailingStepAndItsStatus) {
    const CheckCase& c = GetParam();
    TempDir dir;
    std::string scenario = ReadFile(QX_SOURCE_DIR "/examples/plant.scenario.json");
    const bool hardware = c.fault && std::string(c.fault) == "hw";
    if (c.fault && !hardware) {
        const std::string off = std::string("\"") + c.fault + "\": false";
        const auto at = scenario.find(off);
        ASSERT_NE(at, std::string::npos);
        scenario.replace(at, off.size(), std::string("\"") + c.fault + "\": true");
    }
    ASSERT_TRUE(WriteFile(dir.File("board.json"), scenario));

    // "@" stands for a file nobody may open; as root the check runs as nobody to meet it.
    std::string extra = c.extra, phrase = c.phrase, as;
    if (const auto at = extra.find('@'); at != std::string::npos) {
        ASSERT_TRUE(WriteFile(dir.File("mem"), ""));
        ASSERT_EQ(::chmod(dir.File("mem").c_str(), 0), 0);
        extra.replace(at, 1, dir.File("mem"));
        phrase.replace(phrase.find('@'), 1, dir.File("mem"));
        if (::geteuid() == 0) as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    const std::string backend = hardware ? "--hardware" : "--simulate " + dir.File("board.json");
    const std::string command = as + iosvc_test::ServiceBinary() + " --check " + backend + " " +
                                extra + " 2>" + dir.File("log");
    std::FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int raw = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(raw)) << out;
    EXPECT_EQ(WEXITSTATUS(raw), c.status) << out;
    EXPECT_NE(out.find(phrase), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Faults, CheckTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
