// The example host (examples/minimal_host.cpp) run on the example plant and simulated board.
#include <gtest/gtest.h>

#include <cstdlib>

#include "harness.h"

namespace e2e {
namespace {

TEST(MinimalHost, PrintsTheValuesTheDriverDelivers) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
    std::string error;
    ASSERT_TRUE(
        MakeConfig(ReadFile(QX_SOURCE_DIR "/examples/plant.json"), dir / "plant.cfg", error))
        << error;
    Service service;
    ASSERT_TRUE(
        service.Start(dir.Path(), ReadFile(QX_SOURCE_DIR "/examples/plant.scenario.json"), error))
        << error;

    const int rc =
        RunProgram({BinDir() + "/minimal_host", dir / "plant.cfg", "3"}, dir / "out", dir / "err");
    const std::string out = ReadFile(dir / "out");
    EXPECT_EQ(rc, 0) << out << ReadFile(dir / "err");
    EXPECT_NE(out.find("value Press.Count = "), std::string::npos) << out;
    EXPECT_NE(out.find("value Press.Recipe = \"PRESS-01\""), std::string::npos) << out;
    EXPECT_NE(out.find("stopped"), std::string::npos) << out;
}

}  // namespace
}  // namespace e2e
