// tvioctrld --check, run as the technician runs it, against the simulator's board faults.
#include <gtest/gtest.h>
#include <sys/wait.h>

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
    const char* fault;  // board fault switched on in the example scenario, or null
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
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class CheckTest : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckTest, ReportsTheFailingStepAndItsStatus) {
    const CheckCase& c = GetParam();
    TempDir dir;
    std::string scenario = ReadFile(QX_SOURCE_DIR "/examples/plant.scenario.json");
    if (c.fault) {
        const std::string off = std::string("\"") + c.fault + "\": false";
        const auto at = scenario.find(off);
        ASSERT_NE(at, std::string::npos);
        scenario.replace(at, off.size(), std::string("\"") + c.fault + "\": true");
    }
    ASSERT_TRUE(WriteFile(dir.File("board.json"), scenario));

    const std::string command = iosvc_test::ServiceBinary() + " --check --simulate " +
                                dir.File("board.json") + " " + c.extra + " 2>" + dir.File("log");
    std::FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int raw = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(raw)) << out;
    EXPECT_EQ(WEXITSTATUS(raw), c.status) << out;
    EXPECT_NE(out.find(c.phrase), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Faults, CheckTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
