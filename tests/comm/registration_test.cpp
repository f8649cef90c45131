// Where registration places tags, the handles it gives, and what it refuses.
#include <bit>
#include <cmath>
#include <map>

#include "engine_fixture.h"

using namespace enginetest;

namespace {

// What the PLC answers to a frame's request: the words it asks for and not a byte more, in a
// buffer of exactly that size, so that a read past it is a read past the answer.
std::unique_ptr<std::uint8_t[]> AnswerOf(const std::uint8_t* request, int length,
                                         const std::map<int, std::uint16_t>& mem) {
    std::vector<std::uint8_t> bytes;
    for (int at = 0; at + 6 <= length; at += 6) {
        const int word = request[at + 2] << 8 | request[at + 3];
        const int count = (request[at + 4] & 0x7F) << 8 | request[at + 5];
        for (int i = 0; i < count; ++i) {
            auto it = mem.find(word + i);
            const std::uint16_t v = it == mem.end() ? 0 : it->second;
            bytes.push_back(static_cast<std::uint8_t>(v));
            bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        }
    }
    auto out = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), out.get());
    return out;
}

class Registration : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        st_ = AddStation("LINE1", 5);
        AddBlock(st_, DEV_D, 100, 32);
    }
    CStationInfo* st_ = nullptr;
};

TEST_F(Registration, BlockTakesTagsWithinItsWordsOnly) {
    StartEngine();
    EXPECT_EQ(Register(st_, "D0100", DT_SINT16, 2, Tag("first")), 0);
    EXPECT_EQ(Register(st_, "D0131", DT_UINT16, 2, Tag("last")), 1);
    EXPECT_EQ(Register(st_, "D0131.15", DT_BIT, 0, Tag("bit")), 2);
    EXPECT_TRUE(Messages().empty());

    // A 4-byte tag at the last word would end past the block.
    std::int32_t wide = Tag("wide");
    EXPECT_EQ(Register(st_, "D0131", DT_SINT32, 4, wide), 1 << 16);
    EXPECT_EQ(CountMessages(MessageText(9, "wide")), 1);
    // Right words, other device letter.
    EXPECT_EQ(Register(st_, "M0100", DT_SINT16, 2, Tag("m")), 2 << 16);
    EXPECT_EQ(engine_->BlockFrame(0).m_bindings.size(), 3u);
    EXPECT_EQ(engine_->BlockFrame(0).m_bindings[1]->offset, 31);
}

TEST_F(Registration, GroupsHoldTenWordsAndBitsShareTheirWord) {
    AddBlock(st_, DEV_D, 200, 4);
    AddBlock(st_, DEV_D, 300, 4);
    AddBlock(st_, DEV_D, 400, 4);
    AddBlock(st_, DEV_D, 500, 4);
    StartEngine();
    for (int i = 0; i < 11; ++i) {
        std::int32_t h = Register(st_, "D" + std::to_string(1000 + i), DT_SINT16, 2,
                                  Tag("w" + std::to_string(i)));
        EXPECT_EQ(h, i < 10 ? (5 << 16) + i : 6 << 16) << i;
    }
    ASSERT_EQ(engine_->GroupFrameCount(), 2u);
    EXPECT_EQ(engine_->GroupFrame(0).m_nItemCount, 10);

    // Two bits of word 2000 share one item; a word tag there later gets an equal item.
    std::int32_t b3 = Register(st_, "D2000.3", DT_BIT, 0, Tag("b3"));
    std::int32_t b12 = Register(st_, "D2000.12", DT_BIT, 0, Tag("b12"));
    std::int32_t w = Register(st_, "D2000", DT_UINT16, 2, Tag("w2000"));
    EXPECT_EQ(b3, (6 << 16) + 1);
    EXPECT_EQ(b12, (6 << 16) + 2);
    EXPECT_EQ(w, (6 << 16) + 3);
    CGroupFrame& g = engine_->GroupFrame(1);
    EXPECT_EQ(g.m_nItemCount, 3);
    EXPECT_EQ(g.m_nWords[1], 2000);
    EXPECT_EQ(g.m_nWords[2], 2000);
    EXPECT_EQ(g.m_bindings[1]->offset, 1);
    EXPECT_EQ(g.m_bindings[2]->offset, 1);
    EXPECT_EQ(g.m_bindings[3]->offset, 2);
}

TEST_F(Registration, GroupsAreKeptPerStationAndArea) {
    CStationInfo* other = AddStation("LINE2", 6);
    StartEngine();
    Register(st_, "D1000", DT_SINT16, 2, Tag("a"));
    EXPECT_EQ(Register(other, "D1001", DT_SINT16, 2, Tag("b")), 2 << 16);
    EXPECT_EQ(Register(st_, "M0010", DT_SINT16, 2, Tag("c")), 3 << 16);
    EXPECT_EQ(Register(st_, "D1002", DT_SINT16, 2, Tag("d")), (1 << 16) + 1);
    EXPECT_EQ(engine_->GroupFrame(2).m_wAreaCode, AreaCode(CPU_K1000, DEV_M));
}

TEST_F(Registration, StringsAndWideValuesReadTheirWholeExtentAlone) {
    StartEngine();
    EXPECT_EQ(Register(st_, "D1000", DT_STRING, 9, Tag("text")), 1 << 16);
    // A word tag of the same station and area does not join the string's frame...
    EXPECT_EQ(Register(st_, "D1010", DT_SINT16, 2, Tag("word")), 2 << 16);
    // ...but a bit of the string's first word does, and reads that word.
    EXPECT_EQ(Register(st_, "D1000.0", DT_BIT, 0, Tag("bit")), (1 << 16) + 1);
    // A 4-byte value outside the blocks gets its own frame of two words, not a neighbour's word.
    EXPECT_EQ(Register(st_, "D1011", DT_FLOAT, 4, Tag("float")), 3 << 16);
    EXPECT_EQ(Register(st_, "D1012", DT_SINT16, 2, Tag("after")), (2 << 16) + 1);

    engine_->BuildGroupRequests();
    CGroupFrame& s = engine_->GroupFrame(0);
    const std::uint8_t stringItem[6] = {0x00, 0x0D, 0x03,
                                        0xE8, 0x00, 0x05};  // D area, 1000, 5 words
    ASSERT_EQ(s.m_nRequestLength, 6);
    EXPECT_EQ(0, std::memcmp(s.m_request + 2, stringItem + 2, 4));
    CGroupFrame& f = engine_->GroupFrame(2);
    ASSERT_EQ(f.m_nRequestLength, 6);
    EXPECT_EQ(f.m_request[4], 0x00);
    EXPECT_EQ(f.m_request[5], 0x02);
    EXPECT_EQ(f.ImageBytes(), 4);
}

// Whatever size the host gives, a tag is fitted, and read, by its type's width, and only from the
// words its frame asked for.
TEST_F(Registration, TagsAreReadByTheirTypeWithinTheirFrame) {
    const std::map<int, std::uint16_t> mem = {
        {131, 0x4321}, {132, 0x0001}, {200, 0x0042}, {201, 0x0085}};
    const struct {
        const char* address;
        std::uint16_t type, size;
        bool inBlock;
        double value;
    } cases[] = {
        {"D0131", DT_BCD16, 2, true, 4321},  // the block's last word
        {"D0131", DT_SINT32, 2, false, 0x00014321},
        {"D0131", DT_FLOAT, 1, false, std::bit_cast<float>(0x00014321u)},
        {"D0132", DT_SINT16, 0, false, 1},  // the word after the block
        {"D0200", DT_BCD16, 2, false, 42},
        {"D0201", DT_SBCD8, 2, false, -5},  // the last item of a group
    };
    StartEngine();
    std::vector<std::int32_t> ids;
    for (const auto& c : cases) {
        ids.push_back(Tag(std::string(c.address) + "/" + std::to_string(c.type)));
        std::int32_t h = Register(st_, c.address, c.type, c.size, ids.back());
        EXPECT_EQ(h >= 0 && h >> 16 == 0, c.inBlock) << c.address << " type " << c.type;
    }
    engine_->BuildGroupRequests();
    Activate();
    Cycle();
    auto answer = [&](auto& frame) {
        ASSERT_EQ(frame.m_bOutstanding, 1);
        frame.OnResponse(AnswerOf(frame.m_request, frame.m_nRequestLength, mem).get(), 0);
    };
    answer(engine_->BlockFrame(0));
    for (std::size_t g = 0; g < engine_->GroupFrameCount(); ++g) answer(engine_->GroupFrame(g));
    engine_->DeliverQueued();
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(Value(ids[i]).GetVal(), cases[i].value)
            << cases[i].address << " type " << cases[i].type;
}

TEST_F(Registration, RefusesValuesNoRequestCanCarry) {
    StartEngine();
    std::int32_t id = Tag("long");
    EXPECT_EQ(Register(st_, "D1000", DT_STRING, 123, id), -1);
    EXPECT_EQ(CountMessages(MessageText(5, "long", "D1000")), 1);
    EXPECT_EQ(engine_->GroupFrameCount(), 0u);
    EXPECT_EQ(Register(st_, "D1000", DT_STRING, 122, Tag("fits")), 1 << 16);
    EXPECT_EQ(Register(st_, "D1100", DT_SINT16, 130, Tag("huge")), -1);
}

TEST_F(Registration, WritesUseTheHandleAndSkipDisabledStations) {
    StartEngine();
    std::int32_t inBlock = Register(st_, "D0105", DT_SINT16, 2, Tag("a"));
    std::int32_t inGroup = Register(st_, "D2000", DT_SINT16, 2, Tag("b"));
    CTagVal v;
    v.SetVal(7.0);
    EXPECT_EQ(engine_->WriteTag(inBlock, v), 0);
    EXPECT_EQ(engine_->WriteTag(inGroup, v), 0);
    EXPECT_EQ(engine_->WriteTag((9 << 16), v), 0);     // no such frame
    EXPECT_EQ(engine_->WriteTag(inBlock + 40, v), 0);  // no such binding
    EXPECT_EQ(engine_->WriteTag(-1, v), 0);
    st_->m_nEnabled = 0;
    EXPECT_EQ(engine_->WriteTag(inBlock, v), 0);
    st_->m_nEnabled = 1;
    // A value the type cannot carry is refused and nothing is sent.
    std::int32_t bcd = Register(st_, "D0106", DT_BCD16, 2, Tag("c"));
    CTagVal bad[6];
    bad[0].SetVal(70000.0);
    bad[1].SetVal(-32769.0);
    bad[2].SetVal(std::nan(""));
    bad[3].SetVal("7");
    for (auto& b : bad) EXPECT_EQ(engine_->WriteTag(inBlock, b), -1) << b.Describe();
    bad[4].SetVal(12345.0);
    bad[5].SetVal(-1.0);
    EXPECT_EQ(engine_->WriteTag(bcd, bad[4]), -1);
    EXPECT_EQ(engine_->WriteTag(bcd, bad[5]), -1);

    Activate();
    Cycle();
    // Two writes, then the block poll and the group poll (built at activation, as the host
    // never ended registration here).
    ASSERT_EQ(dev_.sent.size(), 4u);
    EXPECT_EQ(dev_.sent[0].Function(), FN_WRITE_WORDS);
    EXPECT_EQ(dev_.sent[0].Word(), 105);
    EXPECT_EQ(dev_.sent[1].Word(), 2000);
    EXPECT_EQ(dev_.sent[2].Function(), FN_READ_WORDS);
    EXPECT_EQ(dev_.sent[3].Word(), 2000);
    EXPECT_EQ(dev_.sent[3].Station(), 5);
}

}  // namespace

namespace {

// Limits tell the host what they refuse: a tag beyond the handle space gets message 5 (and no
// message 9 before it), a write beyond a full batch the failure value and one message per
// batch, a registration while the poll thread owns the frames message 16, which says so.
TEST_F(Registration, LimitsAreReportedNotSilent) {
    StartEngine();
    // Each 32-bit tag outside the block takes a group frame of its own; 1 block frame + 0x7FFF
    // groups fill the handle space.
    for (int i = 0; i < 0x7FFF; ++i) {
        TagBinding b;
        b.tagId = 1000 + i;
        b.dataType = DT_UINT32;
        b.sizeOrBit = 4;
        ASSERT_GE(engine_->RegisterTag(st_, "D", DEV_D, 2000 + 2 * (i % 3000), b), 0) << i;
    }
    ClearMessages();
    std::int32_t id = Tag("beyond");
    EXPECT_EQ(Register(st_, "D9000", DT_UINT32, 4, id), -1);
    EXPECT_EQ(Messages(), std::vector<std::string>{MessageText(5, "beyond", "D9000")});

    ClearMessages();
    CTagVal v;
    v.SetVal(1);
    const std::int32_t h = Register(st_, "D0100", DT_UINT16, 2, Tag("w"));
    for (std::size_t i = 0; i < CWriteQueue::kMaxItems; ++i) ASSERT_EQ(engine_->WriteTag(h, v), 0);
    EXPECT_EQ(engine_->WriteTag(h, v), -1);
    EXPECT_EQ(engine_->WriteTag(h, v), -1);
    EXPECT_EQ(Messages(), std::vector<std::string>{MessageText(15, "w")});

    ClearMessages();
    engine_->SetActive(1);
    EXPECT_EQ(Register(st_, "D0101", DT_UINT16, 2, Tag("late")), -1);
    EXPECT_EQ(CountMessages(MessageText(16, "late")), 1);
    EXPECT_EQ(CountMessages(MessageText(5, "late", "D0101")), 0);
    engine_->Stop();
}

}  // namespace
