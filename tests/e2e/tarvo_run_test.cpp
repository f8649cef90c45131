// `tarvo run` as a user runs it: a process on a configuration and a tag list.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include "harness.h"

namespace e2e {
namespace {

const char kConfig[] = R"({
  "stations": [
    {"name": "LINE", "description": "1라인", "cpu": "Master K-200", "stationNo": 1,
     "blocks": [{"address": "D0100", "words": 8, "periodMs": 200}]}
  ]
})";

const char kScenario[] = R"({
  "stations": [
    {"name": "LINE", "number": 1, "cpu": "K-200", "memory": {"D0105": 5},
     "generators": [{"address": "D0100", "kind": "counter", "periodMs": 100}]}
  ]
})";

const char kTags[] =
    "# test plant\n"
    "Count, DLU.LINE, D0100, UINT16\n"
    "Setpoint, DLU.LINE, D0104, SINT16\n"
    "Fixed, DLU.LINE, D0105, sint16\n"
    "Nowhere, DLU.NOWHERE, D0100, UINT16\n";

class TarvoRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        ::setenv("QX_DEVICE_DIR", dir_.Path().c_str(), 1);
        std::string error;
        ASSERT_TRUE(MakeConfig(kConfig, dir_ / "plant.cfg", error)) << error;
        ASSERT_TRUE(WriteFile(dir_ / "plant.tags", kTags));
    }
    int Run(std::vector<std::string> args, const std::string& input = "/dev/null") {
        args.insert(args.begin(), {BinDir() + "/tarvo", "run"});
        int rc = RunProgram(args, dir_ / "out.txt", dir_ / "err.txt", 60000, input);
        out_ = ReadFile(dir_ / "out.txt");
        err_ = ReadFile(dir_ / "err.txt");
        return rc;
    }
    TempDir dir_;
    std::string out_, err_;
};

TEST_F(TarvoRun, BadTagLineIsReportedWithItsNumber) {
    ASSERT_TRUE(
        WriteFile(dir_ / "bad.tags",
                  "# header\nCount, DLU.LINE, D0100, UINT16\nSpeed, DLU.LINE, D0101, WORD\n"));
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "bad.tags", "--for", "3"}), 3);
    EXPECT_NE(err_.find("bad.tags: line 3: unknown data type 'WORD'"), std::string::npos) << err_;
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "none.tags"}), 3);
    EXPECT_NE(err_.find("cannot read tag list"), std::string::npos) << err_;
}

TEST_F(TarvoRun, ArgumentAndStartFailuresHaveTheirExitCodes) {
    EXPECT_EQ(Run({dir_ / "plant.cfg"}), 2);
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--for", "soon"}), 2);
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--write", "Setpoint=40000"}), 2);
    EXPECT_NE(err_.find("out of range for SINT16"), std::string::npos) << err_;
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--write", "Ghost=1"}), 2);
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--for", "1", "--write", "Setpoint=5"}),
              2);
    EXPECT_NE(err_.find("but the run ends after 1 s (--for)"), std::string::npos) << err_;

    EXPECT_EQ(Run({dir_ / "missing.cfg", dir_ / "plant.tags", "--for", "1"}), 5);
    EXPECT_NE(out_.find("지정된 파일[" + (dir_ / "missing.cfg") + "]을 열 수 없습니다."),
              std::string::npos)
        << out_;

    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--for", "1"}), 6);  // no service
    EXPECT_NE(err_.find("no I/O service listens on the device's socket (socket " +
                        (dir_ / "TVIOCTRL.sock") + "): is tvioctrld running?"),
              std::string::npos)
        << err_;
    EXPECT_NE(out_.find("TVIOCTRL 드라이버를 Load 할 수 없습니다."), std::string::npos) << out_;

    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_NE(out_.find("exit codes"), std::string::npos);
}

TEST_F(TarvoRun, ScriptedRunShowsValuesWritesAndStatistics) {
    Service service;
    std::string error;
    ASSERT_TRUE(service.Start(dir_.Path(), kScenario, error)) << error;
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--for", "4", "--stats", "1",
                   "--write-after", "1", "--write", "Setpoint=1234"}),
              0)
        << err_;
    EXPECT_NE(out_.find("3 of 4 tags registered"), std::string::npos) << out_;
    EXPECT_NE(out_.find("I/O 디바이스[DLU.NOWHERE]가 통신드라이버에 등록되지 않았습니다."),
              std::string::npos)
        << out_;
    EXPECT_NE(out_.find("통신시작"), std::string::npos) << out_;
    EXPECT_NE(out_.find("Fixed = 5\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("Count = "), std::string::npos) << out_;
    EXPECT_NE(out_.find("write Setpoint <- 1234"), std::string::npos) << out_;
    EXPECT_NE(out_.find("Setpoint = 1234\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("stats LINE (01 1라인) ok: reads "), std::string::npos) << out_;
    EXPECT_NE(out_.find("stats NOWHERE: not in the configuration"), std::string::npos) << out_;
    EXPECT_NE(out_.find("writes 1 (0 failed)"), std::string::npos) << out_;
    EXPECT_NE(out_.find("통신종료"), std::string::npos) << out_;
    EXPECT_NE(out_.find("communication stopped, driver closed"), std::string::npos) << out_;

    // A write the run ends before is an error, not silence.
    ASSERT_TRUE(WriteFile(dir_ / "quit.txt", "quit\n"));
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--write-after", "30", "--write",
                   "Setpoint=7"},
                  dir_ / "quit.txt"),
              7);
    EXPECT_NE(err_.find("the run ended before the --write values were written"), std::string::npos)
        << err_;
    // So is one its station never answers.
    service.Stop();
    ASSERT_TRUE(service.Start(
        dir_.Path(),
        R"({"stations": [{"name": "LINE", "number": 1, "cpu": "K-200", "absent": true}]})", error))
        << error;
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--for", "2", "--write-after", "0.5",
                   "--write", "Setpoint=8"}),
              7);
    EXPECT_NE(err_.find("a --write to station LINE failed or was not answered"), std::string::npos)
        << err_ << out_;
}

TEST_F(TarvoRun, CommandsOnStandardInputAreCarriedOut) {
    Service service;
    std::string error;
    ASSERT_TRUE(service.Start(dir_.Path(), kScenario, error)) << error;
    ASSERT_TRUE(WriteFile(dir_ / "commands.txt",
                          "help\n"
                          "set Setpoint 77\n"
                          "set Setpoint 1e9\n"
                          "disable NOPE\n"
                          "bogus\n"
                          "stats\n"));
    // End of input does not end a scripted run; --for does.
    EXPECT_EQ(Run({dir_ / "plant.cfg", dir_ / "plant.tags", "--for", "3", "--stats", "0"},
                  dir_ / "commands.txt"),
              0)
        << err_;
    EXPECT_NE(out_.find("set TAG VALUE"), std::string::npos) << out_;
    EXPECT_NE(out_.find("write Setpoint <- 77\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("Setpoint = 77\n"), std::string::npos) << out_;
    EXPECT_NE(err_.find("out of range for SINT16"), std::string::npos) << err_;
    EXPECT_NE(err_.find("no station NOPE in the configuration"), std::string::npos) << err_;
    EXPECT_NE(err_.find("unknown command 'bogus'"), std::string::npos) << err_;
    EXPECT_NE(out_.find("stats all: running"), std::string::npos) << out_;
}

TEST_F(TarvoRun, InterruptStopsCommunicationBeforeUnloading) {
    Service service;
    std::string error;
    ASSERT_TRUE(service.Start(dir_.Path(), kScenario, error)) << error;
    pid_t pid = StartProgram({BinDir() + "/tarvo", "run", dir_ / "plant.cfg", dir_ / "plant.tags"},
                             dir_ / "out.txt", dir_ / "err.txt");
    ASSERT_GT(pid, 0);
    bool counting =
        WaitFor([&] { return ReadFile(dir_ / "out.txt").find("Count = ") != std::string::npos; });
    ::kill(pid, SIGINT);
    int rc = WaitProgram(pid, 20000);
    out_ = ReadFile(dir_ / "out.txt");
    ASSERT_TRUE(counting) << out_ << ReadFile(dir_ / "err.txt");
    EXPECT_EQ(rc, 0) << ReadFile(dir_ / "err.txt");
    std::size_t stopping = out_.find("stopping (interrupted)");
    std::size_t ended = out_.find("통신종료");
    std::size_t closed = out_.find("communication stopped, driver closed");
    ASSERT_NE(stopping, std::string::npos) << out_;
    ASSERT_NE(ended, std::string::npos) << out_;
    ASSERT_NE(closed, std::string::npos) << out_;
    EXPECT_LT(stopping, ended);
    EXPECT_LT(ended, closed);
    // The last statistics come before the stop.
    EXPECT_NE(out_.find("stats LINE (01 1라인) ok"), std::string::npos) << out_;
    EXPECT_TRUE(WaitFor([&] { return service.Log().find("disconnected") != std::string::npos; }))
        << service.Log();
}

}  // namespace
}  // namespace e2e
