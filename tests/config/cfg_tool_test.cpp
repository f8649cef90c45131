// tarvo cfg import/show/export: JSON in, the driver's file out, and back.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/board.h"

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
        {R"({"stations":[{"name":"A","description":"1라인 €","stationNo":1},)"
         R"({"name":"B😀","stationNo":2}]})",
         "$.stations[1].name: has characters the configuration's code page (CP949) cannot hold"},
        // Numbers are checked as JSON values: nothing is cut to 32 bits or rounded first.
        {R"({"board":{"ioPort":4294967300}})", "$.board.ioPort"},
        {R"({"board":{"memoryWindow":"1000000000000C000"}})", "$.board.memoryWindow"},
        {R"({"stations":[{"name":"A","stationNo":4294967297}]})", "$.stations[0].stationNo"},
        {R"({"stations":[{"name":"A","stationNo":1,"cpu":4294967296}]})", "$.stations[0].cpu"},
        {R"({"stations":[{"name":"A","stationNo":1,"blocks":[{"address":"D0","words":3.9}]}]})",
         "$.stations[0].blocks[0].words"},
        {R"({"stations":[{"name":"A","stationNo":1,"blocks":[{"address":"D0","words":1e10}]}]})",
         "$.stations[0].blocks[0].words"},
        {R"({"stations":[{"name":"A","stationNo":1,"blocks":[{"address":"D0",
            "periodMs":4294967796}]}]})",
         "$.stations[0].blocks[0].periodMs"},
        {R"({"stations":[{"name":"A","stationNo":1,"blocks":{"x":{"address":"D0"}}}]})",
         "$.stations[0].blocks"},
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

TEST_F(CfgTool, ImportStoresNamesAsTheStationDialogDoes) {
    // Trimmed, single-byte letters upper case, two-byte characters kept: 갵 is 81 61 in CP949,
    // which a byte-wise upper-casing turns into 갂 (81 41).
    std::string json =
        Write("names.json", R"({"stations":[{"name":" \t갵 plc\n","stationNo":1}]})");
    std::string cfg = dir + "/names.cfg";
    ASSERT_EQ(Tarvo("cfg import " + json + " " + cfg).status, 0);
    Result exp = Tarvo("cfg export " + cfg);
    EXPECT_NE(exp.output.find(R"("name": "갵 PLC")"), std::string::npos) << exp.output;
}

TEST_F(CfgTool, FuzzReproducersFailCleanly) {
    enum Entry { import, scenario, show };
    struct Case {
        const char* file;
        Entry entry;
        const char* expect;
    } cases[] = {
        {"cfg_import_number_overflow.json", import, "number overflow"},
        {"cfg_import_int_wrap.json", import, "$.board.ioPort"},
        {"cfg_import_words_huge.json", import, "$.stations[0].blocks[0].words"},
        {"cfg_import_blocks_object.json", import, "$.stations[0].blocks: must be an array"},
        {"scenario_number_overflow.json", scenario, "number overflow"},
        {"cfg_show_overflow.cfg", show, "words 2147483647..2147483648,"},
    };
    for (const auto& c : cases) {
        std::string file = std::string(REPRO_DIR "/") + c.file;
        std::string cfg = dir + "/out.cfg";
        if (c.entry == scenario) {
            sim::Scenario sc;
            std::string error;
            EXPECT_FALSE(sim::LoadScenario(file, sc, error)) << c.file;
            EXPECT_NE(error.find(c.expect), std::string::npos) << error;
            continue;
        }
        Result r =
            c.entry == import ? Tarvo("cfg import " + file + " " + cfg) : Tarvo("cfg show " + file);
        EXPECT_EQ(r.status, c.entry == import ? 1 : 0) << c.file << "\n" << r.output;
        EXPECT_NE(r.output.find(c.expect), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(cfg)) << c.file;
    }
}
