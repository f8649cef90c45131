// tarvo cfg import/show/export: JSON in, the driver's file out, and back.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Result {
    int status;
    std::string output;
};

Result Tarvo(const std::string& args) {
    std::string cmd = std::string(TARVO_EXE) + " " + args + " 2>&1";
    Result r{-1, {}};
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class CfgTool : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qxcfg-XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
        return dir + "/" + name;
    }
    std::string dir;
};

}  // namespace

TEST_F(CfgTool, ExampleRoundTripsThroughTheFile) {
    std::string cfg = dir + "/plant.cfg";
    Result imp = Tarvo("cfg import " EXAMPLES_DIR "/plant.json " + cfg);
    ASSERT_EQ(imp.status, 0) << imp.output;
    Result show = Tarvo("cfg show " + cfg);
    ASSERT_EQ(show.status, 0) << show.output;
    EXPECT_NE(show.output.find("PLC1 (01국) : 1라인 프레스"), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("D2000, 60 Word"), std::string::npos);
    EXPECT_NE(show.output.find("0x340"), std::string::npos);
    // export -> import -> the same file bytes
    std::string json = dir + "/again.json";
    ASSERT_EQ(Tarvo("cfg export " + cfg + " " + json).status, 0);
    std::string cfg2 = dir + "/again.cfg";
    ASSERT_EQ(Tarvo("cfg import " + json + " " + cfg2).status, 0);
    std::ifstream a(cfg, std::ios::binary), b(cfg2, std::ios::binary);
    std::string sa((std::istreambuf_iterator<char>(a)), {}),
        sb((std::istreambuf_iterator<char>(b)), {});
    EXPECT_EQ(sa, sb);
}

TEST_F(CfgTool, ImportNamesTheFirstProblem) {
    struct Case {
        const char* json;
        const char* expect;
    } cases[] = {
        {R"({"stations":[{"name":"A","stationNo":40}]})", "$.stations[0].stationNo"},
        {R"({"stations":[{"name":"A","stationNo":1},{"name":"a","stationNo":2}]})",
         "$.stations[1].name"},
        {R"({"stations":[{"name":"A","stationNo":1,"blocks":[{"address":"D1024"}]}]})",
         "$.stations[0].blocks[0].address"},
        {R"({"stations":[{"name":"A","stationNo":1,"blocks":[{"address":"D0100","words":10},
            {"address":"D0105","words":10}]}]})",
         "overlaps block D0100"},
        {R"({"board":{"ioPort":"0x345"}})", "$.board.ioPort"},
        {R"({"stations":[)", "parse error"},
    };
    for (const auto& c : cases) {
        std::string json = Write("bad.json", c.json);
        std::string cfg = dir + "/bad.cfg";
        Result r = Tarvo("cfg import " + json + " " + cfg);
        EXPECT_EQ(r.status, 1) << c.json;
        EXPECT_NE(r.output.find(c.expect), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(cfg));
    }
}

TEST_F(CfgTool, ShowRejectsAFileThatIsNotAConfiguration) {
    std::string junk = Write("junk.cfg", "hello");
    Result r = Tarvo("cfg show " + junk);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("not a valid driver configuration"), std::string::npos);
    EXPECT_EQ(Tarvo("cfg show " + dir + "/none.cfg").status, 1);
    EXPECT_EQ(Tarvo("cfg frobnicate").status, 2);
}
