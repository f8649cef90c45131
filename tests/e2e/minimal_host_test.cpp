// The example hosts (examples/minimal_host.cpp, and examples/c_host in C with host libraries of
// its own) run on the example plant and simulated board.
#include <gtest/gtest.h>

#include <cstdlib>

#include "harness.h"

namespace e2e {
namespace {

// Runs an example host on the example plant against a simulated board; its output.
std::string RunExample(const std::string& program, int& rc) {
    TempDir dir;
    ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
    std::string error;
    EXPECT_TRUE(
        MakeConfig(ReadFile(QX_SOURCE_DIR "/examples/plant.json"), dir / "plant.cfg", error))
        << error;
    Service service;
    EXPECT_TRUE(
        service.Start(dir.Path(), ReadFile(QX_SOURCE_DIR "/examples/plant.scenario.json"), error))
        << error;
    rc = RunProgram({program, dir / "plant.cfg", "4"}, dir / "out", dir / "err");
    return ReadFile(dir / "out") + ReadFile(dir / "err");
}

// Written from the host interface's document alone: values, a write that comes back as a
// value, statistics and station information through the C functions, a clean stop.
TEST(CHost, RunsTheDriverWithItsOwnHostLibraries) {
    // Each host library exports a table named FuncTable, looked up through its own handle;
    // AddressSanitizer takes two globals of one name in two libraries for an ODR violation.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options =
        std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_odr_violation=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
    int rc = -1;
    const std::string out = RunExample(BinDir() + "/c_host/c_host", rc);
    EXPECT_EQ(rc, 0) << out;
    for (const char* line :
         {"tag Press.Setpoint: registered", "value Press.Recipe = \"PRESS-01\"",
          "write Press.Setpoint = 1234: queued", "value Press.Setpoint = 1234",
          "statistics PLC1: 1 writes, 0 failed", "station PLC1: number 01", "stopped"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    // Its own message output got the driver's messages.
    EXPECT_NE(out.find("message (class 2) [VURAVO-V OZI] "), std::string::npos) << out;
}

TEST(MinimalHost, PrintsTheValuesTheDriverDelivers) {
    int rc = -1;
    const std::string out = RunExample(BinDir() + "/minimal_host", rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("value Press.Count = "), std::string::npos) << out;
    EXPECT_NE(out.find("value Press.Recipe = \"PRESS-01\""), std::string::npos) << out;
    EXPECT_NE(out.find("stopped"), std::string::npos) << out;
}

}  // namespace
}  // namespace e2e
