// Device addresses against the CPU limits.
#include "config/address.h"

#include <gtest/gtest.h>

#include "comm/tag_binding.h"

namespace {

struct Block {
    int ok;
    std::string text;
    std::int32_t device = -1, word = -1, area = -1;
};

Block ParseBlock(int cpu, std::string text) {
    Block b;
    b.ok = ParseBlockAddress(cpu, text, b.device, b.word, b.area);
    b.text = text;
    return b;
}

struct Tag {
    int ok;
    std::int32_t device = -1, word = -1;
    int bit = -1;
};

Tag ParseTag(int cpu, const std::string& text, std::uint16_t type, std::uint16_t size = 2) {
    Tag t;
    TagBinding binding;
    binding.dataType = type;
    binding.sizeOrBit = size;
    t.ok = ParseTagAddress(cpu, text, t.device, t.word, binding);
    t.bit = binding.sizeOrBit;
    return t;
}

}  // namespace

TEST(BlockAddress, NormalisesAndLooksUpTheArea) {
    Block b = ParseBlock(CPU_K200, "d100");
    EXPECT_EQ(b.ok, 1);
    EXPECT_EQ(b.text, "D0100");
    EXPECT_EQ(b.device, DEV_D);
    EXPECT_EQ(b.word, 100);
    EXPECT_EQ(b.area, 0x772);
    b = ParseBlock(CPU_K1000, "M5");
    EXPECT_EQ(b.text, "M0005");
    EXPECT_EQ(b.area, 0x605);
    b = ParseBlock(CPU_K200, "D");  // a lone letter is word 0
    EXPECT_EQ(b.ok, 1);
    EXPECT_EQ(b.text, "D0000");
}

TEST(BlockAddress, LimitsDependOnTheCpu) {
    EXPECT_EQ(ParseBlock(CPU_K200, "D1024").ok, 0);
    EXPECT_EQ(ParseBlock(CPU_K250, "D1024").ok, 0);
    EXPECT_EQ(ParseBlock(CPU_K500, "D1024").ok, 1);
    EXPECT_EQ(ParseBlock(CPU_K1000, "D1024").ok, 1);
    EXPECT_EQ(ParseBlock(CPU_K200, "P11").ok, 1);
    EXPECT_EQ(ParseBlock(CPU_K200, "P12").ok, 0);
    EXPECT_EQ(CheckBlockRange(CPU_K200, DEV_D, 1023, 1), 1);
    EXPECT_EQ(CheckBlockRange(CPU_K200, DEV_D, 1023, 2), 0);
    EXPECT_EQ(CheckBlockRange(CPU_K500, DEV_D, 9940, 60), 1);
    EXPECT_EQ(CheckBlockRange(CPU_K500, DEV_D, 9941, 60), 0);
}

TEST(BlockAddress, OutOfRangeIsRewrittenButInvalid) {
    Block b = ParseBlock(CPU_K500, "d12345");
    EXPECT_EQ(b.ok, 0);
    EXPECT_EQ(b.text, "D12345");
}

TEST(BlockAddress, MalformedTextIsInvalidAndOnlyUpperCased) {
    for (const char* text : {"D+5", "x100", "", "D10A", "D-1", "D 1 2", "DD1"}) {
        Block b = ParseBlock(CPU_K200, text);
        EXPECT_EQ(b.ok, 0) << text;
        std::string upper = text;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(b.text, upper) << text;
    }
}

TEST(BlockAddress, NumbersBeyond32BitsAreInvalid) {
    // 2^32 + 5 would wrap to 5 in a 32-bit conversion; it must not pass as word 5.
    EXPECT_EQ(ParseBlock(CPU_K1000, "D4294967301").ok, 0);
    EXPECT_EQ(ParseBlock(CPU_K1000, "D99999999999999999999999").ok, 0);
    // A minus sign converted without sign would give a huge value that a signed comparison
    // could let through; it is never valid.
    EXPECT_EQ(ParseBlock(CPU_K1000, "D-4294967295").ok, 0);
}

TEST(Address, BothParsersReadTheWordNumberAsTheUnsignedConversionDoes) {
    // White space and one sign may lead the digits, but without a digit no number is read, so
    // whatever follows the letter is left over and the address is invalid.
    struct Case {
        const char* text;
        int blockOk;  // the block form also refuses a sign right after the letter
        std::uint16_t tagType;
        int tagOk;
        std::int32_t word;
    } cases[] = {
        {"D+", 0, DT_SINT16, 0, 0},   {"D ", 0, DT_SINT16, 0, 0},    {"D\t", 0, DT_SINT16, 0, 0},
        {"D +5", 1, DT_SINT16, 1, 5}, {"D\t+7", 1, DT_SINT16, 1, 7}, {"D -5", 0, DT_SINT16, 0, 0},
        {"M+", 0, DT_BIT, 0, 0},      {"P A", 0, DT_BIT, 0, 0},      {"D .5", 0, DT_BIT, 0, 0},
        {"D.5", 0, DT_BIT, 1, 0},
    };
    for (const auto& c : cases) {
        Block b = ParseBlock(CPU_K200, c.text);
        EXPECT_EQ(b.ok, c.blockOk) << c.text;
        if (c.blockOk) {
            EXPECT_EQ(b.word, c.word) << c.text;
        }
        Tag t = ParseTag(CPU_K200, c.text, c.tagType);
        EXPECT_EQ(t.ok, c.tagOk) << c.text;
        if (c.tagOk) {
            EXPECT_EQ(t.word, c.word) << c.text;
        }
    }
    EXPECT_EQ(ParseBlock(CPU_K200, "d +5").text, "D0005");
}

TEST(TagAddress, WordTags) {
    Tag t = ParseTag(CPU_K200, "d0100", DT_SINT16);
    EXPECT_EQ(t.ok, 1);
    EXPECT_EQ(t.word, 100);
    EXPECT_EQ(t.bit, 2);  // the size stays
    EXPECT_EQ(ParseTag(CPU_K200, "D+5", DT_SINT16).word, 5);
    EXPECT_EQ(ParseTag(CPU_K200, "T0010", DT_UINT16).ok, 1);
    EXPECT_EQ(ParseTag(CPU_K200, "D0100.1", DT_SINT16).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "D1024", DT_SINT16).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "D-1", DT_SINT16).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "D4294967296", DT_SINT16).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "X100", DT_SINT16).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "", DT_SINT16).ok, 0);
}

TEST(TagAddress, BitTagsOfBitDevicesUseTheLastHexDigit) {
    Tag t = ParseTag(CPU_K200, "M0015", DT_BIT);
    EXPECT_EQ(t.ok, 1);
    EXPECT_EQ(t.word, 1);
    EXPECT_EQ(t.bit, 5);
    t = ParseTag(CPU_K200, "P0012", DT_BIT);
    EXPECT_EQ(t.word, 1);
    EXPECT_EQ(t.bit, 2);
    t = ParseTag(CPU_K200, "P001A", DT_BIT);
    EXPECT_EQ(t.word, 1);
    EXPECT_EQ(t.bit, 10);
    t = ParseTag(CPU_K200, "p11a", DT_BIT);  // word 11 (the limit of P on a K-200), bit 10
    EXPECT_EQ(t.ok, 1);
    EXPECT_EQ(t.word, 11);
    t = ParseTag(CPU_K200, "M63F", DT_BIT);
    EXPECT_EQ(t.ok, 1);
    EXPECT_EQ(t.word, 63);
    EXPECT_EQ(t.bit, 15);
    EXPECT_EQ(ParseTag(CPU_K200, "M64F", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "M1G", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "M1AB", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "M", DT_BIT).word, 0);
}

TEST(TagAddress, BitTagsOfWordDevicesUseWordDotBit) {
    Tag t = ParseTag(CPU_K200, "D0100.15", DT_BIT);
    EXPECT_EQ(t.ok, 1);
    EXPECT_EQ(t.word, 100);
    EXPECT_EQ(t.bit, 15);
    EXPECT_EQ(ParseTag(CPU_K200, "T0010.16", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "T0010", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "T0010.", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "T0010.1x", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "T0010.-1", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "T0010.4294967297", DT_BIT).ok, 0);
    EXPECT_EQ(ParseTag(CPU_K200, "T0256.0", DT_BIT).ok, 0);
}

TEST(AddressTables, AreaCodesFollowTheirBases) {
    const int bases[4] = {0x772, 0x112, 0x794, 0x604};
    // D base, M +1, P +2, K +3, L +4, F +5, S +6, T +7, C +8.
    const int offset[kDeviceCount] = {2, 1, 4, 3, 5, 7, 8, 0, 6};
    for (int cpu = 0; cpu < kCpuTypeCount; ++cpu)
        for (int dev = 0; dev < kDeviceCount; ++dev)
            EXPECT_EQ(AreaCode(cpu, dev), bases[cpu] + offset[dev]) << cpu << "," << dev;
    EXPECT_EQ(AreaCode(4, 0), -1);
    EXPECT_EQ(WordLimit(0, 9), -1);
}
