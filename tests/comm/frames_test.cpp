// Request layouts, change detection, and the conversions in both directions.
#include "comm/frames.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "engine_fixture.h"

using namespace enginetest;

namespace {

TagBinding Binding(std::uint16_t type, std::uint16_t size) {
    TagBinding b;
    b.dataType = type;
    b.sizeOrBit = size;
    return b;
}

// Decodes bytes as the host would receive them; NaN when no value results.
double Decode(std::uint16_t type, std::uint16_t size, std::initializer_list<std::uint8_t> bytes) {
    std::uint8_t data[128] = {};
    int i = 0;
    for (std::uint8_t x : bytes) data[i++] = x;
    CTagVal v;
    if (!DecodeValue(Binding(type, size), data, v)) return std::nan("");
    return v.GetVal();
}

std::vector<std::uint8_t> Encode(std::uint16_t type, std::uint16_t size, double value) {
    CStationInfo st;
    TagBinding b = Binding(type, size);
    CTagVal v;
    v.SetVal(value);
    CWriteItem item(&st, &b, 0, 0, v);
    std::uint8_t out[kWriteDataSize] = {};
    int n = item.EncodeValue(out);
    return std::vector<std::uint8_t>(out, out + n);
}

using Bytes = std::vector<std::uint8_t>;

TEST(Conversion, IntegersBothWays) {
    EXPECT_EQ(Decode(DT_SINT8, 1, {0xFF, 0x01}), -1);
    EXPECT_EQ(Decode(DT_UINT8, 1, {0xFF, 0x01}), 511);
    EXPECT_EQ(Decode(DT_SINT16, 2, {0x18, 0xFC}), -1000);
    EXPECT_EQ(Decode(DT_UINT16, 2, {0x18, 0xFC}), 64536);
    EXPECT_EQ(Decode(DT_SINT32, 4, {0xFE, 0xFF, 0xFF, 0xFF}), -2);
    EXPECT_EQ(Decode(DT_UINT32, 4, {0x00, 0x00, 0x01, 0x80}), 2147549184.0);

    EXPECT_EQ(Encode(DT_SINT16, 2, 3.9), (Bytes{0x03, 0x00}));
    EXPECT_EQ(Encode(DT_SINT16, 2, -3.9), (Bytes{0xFD, 0xFF}));
    EXPECT_EQ(Encode(DT_SINT8, 1, -1), (Bytes{0xFF, 0xFF}));  // a whole word
    EXPECT_EQ(Encode(DT_UINT8, 1, 511), (Bytes{0xFF, 0x01}));
    EXPECT_EQ(Encode(DT_SINT32, 4, -2), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Encode(DT_UINT32, 4, 4294967295.0), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    // Values no integer holds still encode to something defined.
    EXPECT_EQ(Encode(DT_SINT16, 2, std::nan("")), (Bytes{0x00, 0x00}));
    EXPECT_EQ(Encode(DT_UINT32, 4, 1e300).size(), 4u);
    EXPECT_EQ(Encode(DT_SBCD16, 2, -1e300).size(), 2u);
    EXPECT_EQ(Encode(DT_BCD32, 4, -1e300).size(), 4u);
}

TEST(Conversion, FloatBothWays) {
    std::vector<std::uint8_t> bytes = Encode(DT_FLOAT, 4, 1.5);
    EXPECT_EQ(bytes, (Bytes{0x00, 0x00, 0xC0, 0x3F}));
    EXPECT_EQ(Decode(DT_FLOAT, 4, {0x00, 0x00, 0xC0, 0x3F}), 1.5);
    EXPECT_EQ(Decode(DT_FLOAT, 4, {0x00, 0x00, 0x20, 0xC1}), -10.0);
}

TEST(Conversion, BcdForms) {
    EXPECT_EQ(Encode(DT_BCD16, 2, 1234), (Bytes{0x34, 0x12}));
    EXPECT_EQ(Encode(DT_SBCD16, 2, -56), (Bytes{0x56, 0x80}));
    EXPECT_EQ(Encode(DT_SBCD16, 2, -1234), (Bytes{0x34, 0x92}));
    EXPECT_EQ(Encode(DT_SBCD32, 4, 12345678), (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(Encode(DT_SBCD32, 4, -5), (Bytes{0x05, 0x00, 0x00, 0x80}));
    EXPECT_EQ(Encode(DT_BCD32, 4, 99999999), (Bytes{0x99, 0x99, 0x99, 0x99}));

    EXPECT_EQ(Decode(DT_SBCD16, 2, {0x23, 0x81}), -123);
    EXPECT_EQ(Decode(DT_SBCD16, 2, {0x23, 0x01}), 123);
    EXPECT_TRUE(std::isnan(Decode(DT_SBCD16, 2, {0x2A, 0x01})));
    EXPECT_EQ(Decode(DT_BCD16, 2, {0x99, 0x99, 0xAA, 0xAA}), 9999);  // the next word is no digit
    EXPECT_EQ(Decode(DT_BCD8, 1, {0x42, 0xFF}), 42);
    EXPECT_EQ(Decode(DT_SBCD32, 4, {0x78, 0x56, 0x34, 0x92}), -12345678);
    EXPECT_EQ(Decode(DT_BCD32, 4, {0x78, 0x56, 0x34, 0x12}), 12345678);
}

TEST(Conversion, SignedBcdRoundTripsInEveryWidth) {
    const struct {
        std::uint16_t type, size;
        double value;
    } cases[] = {{DT_SBCD8, 1, -56},   {DT_SBCD8, 1, 79},        {DT_SBCD16, 2, -7999},
                 {DT_SBCD16, 2, 4321}, {DT_SBCD32, 4, -7654321}, {DT_BCD16, 2, 9876}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> w = Encode(c.type, c.size, c.value);
        std::uint8_t data[128] = {};
        std::copy(w.begin(), w.end(), data);
        CTagVal v;
        ASSERT_TRUE(DecodeValue(Binding(c.type, c.size), data, v)) << c.value;
        EXPECT_EQ(v.GetVal(), c.value) << "type " << c.type;
    }
}

TEST(Conversion, BitKeepsOtherBits) {
    EXPECT_EQ(Encode(DT_BIT, 4, 1), (Bytes{0xFF, 0x10, 0xFF, 0x00}));
    EXPECT_EQ(Encode(DT_BIT, 4, 0), (Bytes{0xEF, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(Encode(DT_BIT, 12, 1), (Bytes{0xFF, 0x00, 0xFF, 0x10}));
}

TEST(Conversion, Strings) {
    std::uint8_t data[128] = {'A', 'B', 'C', 'D', 'E', 'F', 'G'};
    CTagVal v;
    ASSERT_TRUE(DecodeValue(Binding(DT_STRING, 5), data, v));
    EXPECT_EQ(v.Text(), "ABCDE");
    data[2] = 0;
    ASSERT_TRUE(DecodeValue(Binding(DT_STRING, 5), data, v));
    EXPECT_EQ(v.Text(), "AB");

    // A text of exactly the tag's size keeps every character; the rest of the words is zero.
    CStationInfo st;
    TagBinding b = Binding(DT_STRING, 5);
    CTagVal text;
    text.SetVal("HELLO");
    CWriteItem item(&st, &b, 0, 0, text);
    std::uint8_t out[kWriteDataSize];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(item.EncodeValue(out), 6);
    EXPECT_EQ(0, std::memcmp(out, "HELLO\0", 6));
    text.SetVal("HI");
    CWriteItem shortItem(&st, &b, 0, 0, text);
    ASSERT_EQ(shortItem.EncodeValue(out), 6);
    EXPECT_EQ(0, std::memcmp(out, "HI\0\0\0\0", 6));
}

TEST(Conversion, UnknownTypeGivesNothing) {
    EXPECT_TRUE(Encode(15, 2, 1).empty());
    EXPECT_TRUE(std::isnan(Decode(15, 2, {1, 2})));
    EXPECT_TRUE(std::isnan(Decode(DT_BIT, 0, {1, 2})));
}

// --- frames on the engine ------------------------------------------------------------------------

class Frames : public EngineTest {};

TEST_F(Frames, BlockAndGroupRequestLayouts) {
    CStationInfo* st = AddStation("S5", 5, CPU_K1000);
    CCommBlock* block = AddBlock(st, DEV_D, 100, 32);
    block->m_nAreaCode = 0x0772;
    StartEngine();
    CBlockFrame& f = engine_->BlockFrame(0);
    EXPECT_EQ(f.m_wCommand, 0x0581);
    const std::uint8_t want[6] = {0x07, 0x72, 0x00, 0x64, 0x00, 0x20};
    ASSERT_EQ(f.m_nRequestLength, 6);
    EXPECT_EQ(0, std::memcmp(f.m_request, want, 6));

    for (const char* a : {"M0010", "M0011", "M0040"}) Register(st, a, DT_SINT16, 2, Tag(a));
    Register(st, "L0007", DT_SINT16, 2, Tag("one"));
    engine_->BuildGroupRequests();
    CGroupFrame& g = engine_->GroupFrame(0);
    g.m_wAreaCode = 0x0773;
    g.BuildRequest();
    const std::uint8_t items[18] = {0x07, 0x73, 0x00, 0x0A, 0x80, 0x01, 0x07, 0x73, 0x00,
                                    0x0B, 0x80, 0x01, 0x07, 0x73, 0x00, 0x28, 0x00, 0x01};
    ASSERT_EQ(g.m_nRequestLength, 18);
    EXPECT_EQ(0, std::memcmp(g.m_request, items, 18));
    CGroupFrame& one = engine_->GroupFrame(1);
    ASSERT_EQ(one.m_nRequestLength, 6);
    EXPECT_EQ(one.m_request[4], 0x00);
    EXPECT_EQ(one.m_request[5], 0x01);

    // The command word as the board sees it: function low, station high.
    Activate();
    Cycle();
    ASSERT_FALSE(dev_.sent.empty());
    EXPECT_EQ(dev_.sent[0].command, 0x0581);
}

TEST_F(Frames, ChangeDetectionDeliversFirstAllThenOnlyChanges) {
    CStationInfo* st = AddStation("S1", 1);
    AddBlock(st, DEV_D, 0, 8);
    StartEngine();
    std::int32_t zero = Tag("zero"), word = Tag("word"), bit3 = Tag("bit3"), bit4 = Tag("bit4"),
                 dword = Tag("dword");
    std::int32_t byte = Tag("byte");  // an 8-bit unsigned tag shows its whole word
    Register(st, "D0000", DT_UINT16, 2, zero);
    Register(st, "D0001", DT_UINT16, 2, word);
    Register(st, "D0001.3", DT_BIT, 0, bit3);
    Register(st, "D0001.4", DT_BIT, 0, bit4);
    Register(st, "D0000", DT_UINT32, 4, dword);  // spans words 0 and 1
    Register(st, "D0002", DT_UINT8, 1, byte);
    Activate();

    Data d;
    d.W(1, 0x0010);
    Cycle();
    ASSERT_EQ(dev_.AnswerAll(0, d.b), 1);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->DeliverQueued(), 6u);  // every tag once, zeros included
    EXPECT_EQ(Value(zero).GetVal(), 0);
    EXPECT_EQ(Value(bit4).GetVal(), 1);
    EXPECT_EQ(Value(dword).GetVal(), 0x00100000);

    // Same data: nothing.
    clock_.Advance(1000);
    Cycle();
    ASSERT_EQ(dev_.AnswerAll(0, d.b), 1);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->DeliverQueued(), 0u);

    // Bit 3 of word 1 changes: its bit tag and the tags whose bytes hold word 1.
    d.W(1, 0x0018);
    clock_.Advance(1000);
    Cycle();
    ASSERT_EQ(dev_.AnswerAll(0, d.b), 1);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->DeliverQueued(), 3u);
    EXPECT_EQ(Updates(bit3), 2u);
    EXPECT_EQ(Updates(bit4), 1u);
    EXPECT_EQ(Updates(zero), 1u);
    EXPECT_EQ(Value(word).GetVal(), 0x18);
    EXPECT_EQ(Updates(dword), 2u);

    // Only the high byte of the 8-bit unsigned tag's word changes.
    d.W(2, 0x0100);
    clock_.Advance(1000);
    Cycle();
    ASSERT_EQ(dev_.AnswerAll(0, d.b), 1);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->DeliverQueued(), 1u);
    EXPECT_EQ(Value(byte).GetVal(), 256);
}

TEST_F(Frames, ErrorAnswerKeepsImageAndReportsTheNumber) {
    CStationInfo* st = AddStation("S1", 1);
    AddBlock(st, DEV_D, 0, 8);
    StartEngine();
    std::int32_t t = Tag("t");
    Register(st, "D0002", DT_SINT16, 2, t);
    Activate();
    Data d;
    d.W(2, 42);
    Cycle();
    dev_.AnswerAll(0, d.b);
    engine_->ReceiveResponses();
    engine_->DeliverQueued();

    clock_.Advance(1000);
    Cycle();
    int slot = dev_.Pending().at(0);
    dev_.Answer(slot, 0x07, Data().W(2, 99).b, 0x55);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->DeliverQueued(), 0u);
    EXPECT_EQ(CountMessages(MessageText(8, "S1", "7")), 1);
    EXPECT_EQ(st->m_nReadFailures.load(), 1);
    EXPECT_EQ(st->m_nFailures.load(), 1);

    // The old image still stands: the same data as before delivers nothing.
    clock_.Advance(1000);
    Cycle();
    dev_.AnswerAll(0, d.b);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->DeliverQueued(), 0u);
    EXPECT_EQ(Value(t).GetVal(), 42);
    EXPECT_EQ(st->m_nFailures.load(), 0);  // a good answer ends the failing
}

TEST_F(Frames, GroupOfWideValueReadsItsOwnWords) {
    CStationInfo* st = AddStation("S1", 1);
    StartEngine();
    std::int32_t f = Tag("f"), w = Tag("w"), s = Tag("s");
    Register(st, "D0500", DT_FLOAT, 4, f);
    Register(st, "D0502", DT_SINT16, 2, w);
    Register(st, "D0600", DT_STRING, 9, s);
    engine_->BuildGroupRequests();
    Activate();
    Cycle();
    auto pending = dev_.Pending();
    ASSERT_EQ(pending.size(), 3u);
    for (int slot : pending) {
        fake::SentRequest r = dev_.Request(slot);
        Data d;
        if (r.Word() == 500) d.Bytes(0, {0x00, 0x00, 0xC0, 0x3F});
        if (r.Word() == 502) d.W(0, 7).W(1, 0xFFFF);
        if (r.Word() == 600) d.Bytes(0, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K'});
        dev_.Answer(slot, 0, d.b);
    }
    engine_->ReceiveResponses();
    engine_->DeliverQueued();
    EXPECT_EQ(Value(f).GetVal(), 1.5);
    EXPECT_EQ(Value(w).GetVal(), 7);
    EXPECT_EQ(Value(s).Text(), "ABCDEFGHI");
    EXPECT_EQ(engine_->GroupFrame(2).ImageBytes(), 9);
}

TEST_F(Frames, InvalidBcdLeavesTheHostValue) {
    CStationInfo* st = AddStation("S1", 1);
    AddBlock(st, DEV_D, 0, 4, 0);
    StartEngine();
    std::int32_t t = Tag("bcd");
    Register(st, "D0000", DT_BCD16, 2, t);
    Activate();
    Cycle();
    dev_.AnswerAll(0, Data().W(0, 0x1234).b);
    engine_->ReceiveResponses();
    engine_->DeliverQueued();
    Cycle();
    dev_.AnswerAll(0, Data().W(0, 0x12A4).b);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->DeliverQueued(), 0u);
    EXPECT_EQ(Value(t).GetVal(), 1234);
}

// A word count outside 1..60 from a damaged file stays as stored; the block polls and serves
// only the words a block may hold.
TEST_F(Frames, DamagedWordCountIsKeptButPolledWithinABlock) {
    const struct { int stored, polled; } cases[] = {{61, 60}, {64, 60}, {0, 1}, {-1, 1}};
    const std::string base = ::testing::TempDir() + "qx_damaged_" + std::to_string(::getpid());
    auto readAll = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    {
        CQuorixDoc written;
        written.SetPath(base + "_a.cfg");
        for (const auto& c : cases) {
            auto st = std::make_unique<CStationInfo>();
            st->m_strName = "S" + std::to_string(written.Stations().size());
            st->m_nStationNo = static_cast<int>(written.Stations().size());
            st->m_nCpuType = CPU_K1000;
            auto b = std::make_unique<CCommBlock>();
            b->m_strAddress = "D0100";
            b->m_nWordCount = c.stored;
            b->m_nDevice = DEV_D;
            b->m_nStartWord = 100;
            b->m_nAreaCode = AreaCode(CPU_K1000, DEV_D);
            st->m_blocks.push_back(std::move(b));
            written.Stations().push_back(std::move(st));
        }
        ASSERT_TRUE(written.Save());
    }
    ASSERT_EQ(doc_.Load(base + "_a.cfg"), 1);
    doc_.SetPath(base + "_b.cfg");
    ASSERT_TRUE(doc_.Save());
    EXPECT_EQ(readAll(base + "_b.cfg"), readAll(base + "_a.cfg"));
    std::remove((base + "_a.cfg").c_str());
    std::remove((base + "_b.cfg").c_str());

    StartEngine();
    const int n = static_cast<int>(std::size(cases));
    std::vector<std::int32_t> last, beyond;
    for (int i = 0; i < n; ++i) {
        CStationInfo* st = doc_.Stations()[static_cast<std::size_t>(i)].get();
        EXPECT_EQ(st->m_blocks[0]->m_nWordCount, cases[i].stored);
        last.push_back(Tag("last" + std::to_string(i)));
        EXPECT_EQ(
            Register(st, "D0" + std::to_string(99 + cases[i].polled), DT_BCD16, 2, last.back()),
            i << 16);
        // The stored block's last word lies past what is polled: served on its own.
        beyond.push_back(Tag("beyond" + std::to_string(i)));
        if (cases[i].stored > cases[i].polled) {
            const std::string at = "D0" + std::to_string(99 + cases[i].stored);
            EXPECT_GE(Register(st, at, DT_FLOAT, 2, beyond.back()) >> 16, n);
        }
    }
    Activate();
    Cycle();
    for (int slot : dev_.Pending()) {
        fake::SentRequest r = dev_.Request(slot);
        Data d;
        if (r.Word() == 100) {
            EXPECT_EQ(r.Count(), cases[r.Station()].polled);
            d.W(cases[r.Station()].polled - 1, 0x1234);
        } else {
            d.Bytes(0, {0x00, 0x00, 0xC0, 0x3F});
        }
        dev_.Answer(slot, 0, d.b);
    }
    engine_->ReceiveResponses();
    engine_->DeliverQueued();
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(Value(last[static_cast<std::size_t>(i)]).GetVal(), 1234) << cases[i].stored;
        if (cases[i].stored > cases[i].polled) {
            EXPECT_EQ(Value(beyond[static_cast<std::size_t>(i)]).GetVal(), 1.5);
        }
    }
}

}  // namespace
