// Scenario files and the value generators they put on station memory.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/fakes.h"
#include "sim/board.h"

namespace {

std::string ErrorOf(const std::string& json) {
    sim::Scenario sc;
    std::string error;
    EXPECT_FALSE(sim::ParseScenario(json, sc, error)) << json;
    return error;
}

std::string Station(const std::string& extra) {
    return R"({"stations": [{"name": "A", "number": 1, "cpu": "K-200")" + extra + "}]}";
}

}  // namespace

TEST(Scenario, ExamplePlantLoads) {
    sim::Scenario sc;
    std::string error;
    ASSERT_TRUE(sim::LoadScenario(QX_EXAMPLE_SCENARIO, sc, error)) << error;
    EXPECT_EQ(sc.portBase, 0x340);
    EXPECT_EQ(sc.windowPhysical, 0xD8000u);
    ASSERT_EQ(sc.stations.size(), 4u);
    EXPECT_EQ(sc.stations[0].name, "PLC1");
    EXPECT_EQ(sc.stations[0].cpuType, 0);
    EXPECT_EQ(sc.stations[1].cpuType, 2);
    EXPECT_EQ(sc.stations[2].number, 5);
    EXPECT_EQ(sc.stations[2].cpuType, 3);
    EXPECT_TRUE(sc.stations[3].absent);
    EXPECT_EQ(sc.stations[3].number, 7);

    sim::Board board(sc);
    std::uint16_t v = 0;
    ASSERT_TRUE(board.PeekWord(1, 0x772, 120, v));  // PLC1 D0120, the recipe text
    EXPECT_EQ(v, 'P' | 'R' << 8);
    ASSERT_TRUE(board.PeekWord(5, 0x604, 5100, v));  // BOILER D5100
    EXPECT_EQ(v, 950);
    EXPECT_FALSE(board.PeekWord(4, 0x772, 0, v));  // no station 4
    EXPECT_FALSE(board.PeekWord(1, 0x604, 0, v));  // not an area of a K-200
}

TEST(Scenario, ReadsAllFields) {
    sim::Scenario sc;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(R"({
      "board": {"port": 784, "window": "0xC4000",
                "faults": {"noBoard": true, "mappingRefused": true, "lockNeverGranted": true}},
      "seed": 99,
      "stations": [{"name": "X", "number": 31, "cpu": 1, "errorNumber": 18, "delayMs": 6000,
                    "silent": [{"toMs": 100}, {"fromMs": "0x1000", "toMs": 5000}],
                    "memory": {"d0010": -1, "M0001": "ABC"},
                    "generators": [{"address": "T0005", "kind": "randomWalk", "words": 3,
                                    "periodMs": 10, "step": 2, "min": -5, "max": 5}]}]})",
                                   sc, error))
        << error;
    EXPECT_EQ(sc.portBase, 0x310);
    EXPECT_EQ(sc.windowPhysical, 0xC4000u);
    EXPECT_TRUE(sc.noBoard && sc.mappingRefused && sc.lockNeverGranted);
    EXPECT_EQ(sc.seed, 99u);
    const sim::StationSpec& st = sc.stations.at(0);
    EXPECT_EQ(st.cpuType, 1);
    EXPECT_EQ(st.errorNumber, 0x12);
    EXPECT_EQ(st.delayMs, 6000u);
    EXPECT_EQ(st.silent,
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 100}, {0x1000, 5000}}));
    ASSERT_EQ(st.memory.size(), 2u);
    for (const auto& [where, words] : st.memory) {
        if (where.first == 1) {  // M0001
            EXPECT_EQ(where.second, 1);
            EXPECT_EQ(words, (std::vector<std::uint16_t>{0x4241, 0x0043}));
        } else {  // d0010
            EXPECT_EQ(where, std::make_pair(7, 10));
            EXPECT_EQ(words, std::vector<std::uint16_t>{0xFFFF});
        }
    }
    const sim::Generator& g = st.generators.at(0);
    EXPECT_EQ(g.kind, sim::GeneratorKind::RandomWalk);
    EXPECT_EQ(g.device, 5);
    EXPECT_EQ(g.word, 5);
    EXPECT_EQ(g.words, 3);
}

TEST(Scenario, ErrorsNameThePathAndTheFault) {
    EXPECT_EQ(ErrorOf("{\"stations\": [}").rfind("scenario is not valid JSON: ", 0), 0u);
    EXPECT_EQ(ErrorOf(R"({"board": {"prot": 1}})"),
              "board.prot: unknown key (known: port, window, faults)");
    EXPECT_EQ(ErrorOf(R"({"board": {"port": "0x345"}})"),
              "board.port: must be one of 0x300, 0x310, ... 0x3F0");
    EXPECT_EQ(ErrorOf(R"({"board": {"window": "0xF0000"}})"),
              "board.window: 983040 is outside 786432..966656");
    EXPECT_EQ(ErrorOf(R"({"stations": [{"name": "A", "cpu": "K-200"}]})"),
              "stations[0]: \"number\" is missing");
    EXPECT_EQ(ErrorOf(R"({"stations": [{"name": "A", "number": 32, "cpu": 0}]})"),
              "stations[0].number: 32 is outside 0..31");
    EXPECT_EQ(ErrorOf(Station(R"(, "cpu2": 1)")).rfind("stations[0].cpu2: unknown key", 0), 0u);
    EXPECT_EQ(ErrorOf(R"({"stations": [{"name": "A", "number": 1, "cpu": "K-300"}]})"),
              "stations[0].cpu: unknown CPU type \"K-300\" (Master K-200, K-250, K-500 or K-1000)");
    EXPECT_EQ(ErrorOf(Station(R"(, "memory": {"D1023": [1, 2]})")),
              "stations[0].memory.D1023: \"D1023\" with 2 words goes beyond D1023, the last word "
              "of a Master K-200");
    EXPECT_EQ(ErrorOf(Station(R"(, "memory": {"X10": 1})")),
              "stations[0].memory.X10: \"X10\" is not a word address (a letter of PMLKFTCDS and a "
              "number)");
    EXPECT_EQ(ErrorOf(Station(R"(, "memory": {"D10": [1, 70000]})")),
              "stations[0].memory.D10[1]: 70000 is outside -32768..65535");
    // Checked before conversion: 2^64 - 1 must not pass as -1.
    EXPECT_EQ(ErrorOf(Station(R"(, "memory": {"D10": 18446744073709551615})")),
              "stations[0].memory.D10: 18446744073709551615 is outside -32768..65535");
    EXPECT_EQ(
        ErrorOf(Station(R"(, "generators": [{"address": "D0", "kind": "counter", "max": 1e300}])")),
        "stations[0].generators[0].max: 1e+300 is outside -1e9..1e9");
    EXPECT_EQ(ErrorOf(Station(R"(, "generators": [{"address": "D0", "kind": "saw"}])")),
              "stations[0].generators[0].kind: unknown kind \"saw\" (counter, square, sine, "
              "randomWalk, clock)");
    EXPECT_EQ(
        ErrorOf(Station(R"(, "generators": [{"address": "D0", "kind": "sine", "periodMs": 0}])")),
        "stations[0].generators[0].periodMs: 0 is outside 1..86400000");
    EXPECT_EQ(ErrorOf(Station(
                  R"(, "generators": [{"address": "D0", "kind": "counter", "min": 5, "max": 1}])")),
              "stations[0].generators[0].min: is above \"max\"");
    EXPECT_EQ(ErrorOf(Station(R"(, "absent": 1)")), "stations[0].absent: must be true or false");
    EXPECT_EQ(ErrorOf(Station(R"(, "silent": {"toMs": 5})")),
              "stations[0].silent: must be a list of {\"fromMs\", \"toMs\"}");
    EXPECT_EQ(ErrorOf(Station(R"(, "silent": [{"toMs": 5}, {"fromMs": 1}])")),
              "stations[0].silent[1]: \"toMs\" is missing");
    EXPECT_EQ(ErrorOf(Station(R"(, "silent": [{"fromMs": 500, "toMs": 500}])")),
              "stations[0].silent[0].toMs: must be after \"fromMs\"");
    EXPECT_EQ(ErrorOf(Station(R"(, "silent": [{"fromMs": -1, "toMs": 5}])")),
              "stations[0].silent[0].fromMs: -1 is outside 0..86400000");
    EXPECT_EQ(ErrorOf(Station(R"(, "silent": [{"toMs": 5, "untilMs": 9}])"))
                  .rfind("stations[0].silent[0].untilMs: unknown key (known: fromMs, toMs)", 0),
              0u);
    EXPECT_EQ(ErrorOf(R"({"stations": [{"name": "A", "number": 1, "cpu": 0},
                                       {"name": "B", "number": 1, "cpu": 0}]})"),
              "stations[1].number: station 1 is already on the line");

    sim::Scenario sc;
    std::string error;
    EXPECT_FALSE(sim::LoadScenario("/nonexistent/plant.json", sc, error));
    EXPECT_EQ(error, "/nonexistent/plant.json: cannot be opened");
}

namespace {

// One station, one generator, on a fake clock.
struct GenRig {
    explicit GenRig(const std::string& generator, const std::string& memory = "{}") {
        std::string error;
        EXPECT_TRUE(sim::ParseScenario(R"({"stations": [{"name": "G", "number": 1, "cpu": 0,
            "memory": )" + memory + R"(, "generators": [)" +
                                           generator + "]}]}",
                                       sc, error))
            << error;
        board = std::make_unique<sim::Board>(sc);
        board->SetClock(&clock);
    }
    std::uint16_t At(std::uint32_t t, int word = 0) {
        clock.Set(t);
        board->ProcessOnce();
        std::uint16_t v = 0;
        EXPECT_TRUE(board->PeekWord(1, 0x772, word, v));
        return v;
    }
    sim::Scenario sc;
    plat::FakeClock clock{0};
    std::unique_ptr<sim::Board> board;
};

}  // namespace

TEST(Generators, CounterStepsOnItsPeriodAndWraps) {
    GenRig rig(
        R"({"address": "D0000", "kind": "counter", "periodMs": 100, "step": 2, "min": 0, "max": 5})",
        R"({"D0000": 1})");
    EXPECT_EQ(rig.At(0), 1);  // starts from memory
    EXPECT_EQ(rig.At(99), 1);
    EXPECT_EQ(rig.At(100), 3);
    EXPECT_EQ(rig.At(200), 5);
    EXPECT_EQ(rig.At(300), 0);  // past max: back to min
    EXPECT_EQ(rig.At(500), 4);  // two periods at once
}

TEST(Generators, SquareAndSineFollowTheirWave) {
    GenRig square(
        R"({"address": "D0003", "kind": "square", "periodMs": 1000, "low": 3, "high": 255})");
    EXPECT_EQ(square.At(0, 3), 3);
    EXPECT_EQ(square.At(499, 3), 3);
    EXPECT_EQ(square.At(500, 3), 255);
    EXPECT_EQ(square.At(1000, 3), 3);

    GenRig sine(R"({"address": "D0009", "kind": "sine", "periodMs": 4000, "updateMs": 1000,
                    "offset": 100, "amplitude": 50})");
    EXPECT_EQ(sine.At(0, 9), 100);
    EXPECT_EQ(sine.At(1000, 9), 150);
    EXPECT_EQ(sine.At(2000, 9), 100);
    EXPECT_EQ(sine.At(3000, 9), 50);
    GenRig negative(R"({"address": "D0009", "kind": "sine", "periodMs": 4000, "updateMs": 1000,
                        "offset": 0, "amplitude": 10})");
    negative.At(0, 9);
    EXPECT_EQ(negative.At(3000, 9), 0xFFF6);  // -10 as a 16-bit word
}

TEST(Generators, ClockHoldsTheMomentItWasWrittenLowWordFirst) {
    GenRig clock(R"({"address": "D0004", "kind": "clock", "periodMs": 1000})");
    const std::uint32_t t0 = 0x0001FFF0;  // the halves differ and the low one wraps next
    EXPECT_EQ(clock.At(t0, 4), 0xFFF0);
    EXPECT_EQ(clock.At(t0 + 999, 5), 0x0001);   // not due yet: unchanged
    EXPECT_EQ(clock.At(t0 + 1003, 4), 0x03DB);  // written on the late pass, with its time
    EXPECT_EQ(clock.At(t0 + 1003, 5), 0x0002);
}

TEST(Generators, RandomWalkStaysInRangeAndRepeatsWithTheSeed) {
    const char* g = R"({"address": "D0020", "kind": "randomWalk", "words": 3, "periodMs": 10,
                        "step": 7, "min": 90, "max": 110})";
    GenRig a(g), b(g);
    bool moved = false;
    for (std::uint32_t t = 0; t < 2000; t += 10) {
        for (int w = 20; w < 23; ++w) {
            const std::uint16_t va = a.At(t, w);
            EXPECT_GE(va, 90);
            EXPECT_LE(va, 110);
            EXPECT_EQ(va, b.At(t, w));
            moved = moved || va != 90;
        }
    }
    EXPECT_TRUE(moved);
}
