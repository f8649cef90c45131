// The tag list and typed values of `tarvo run`.
#include "taglist.h"

#include <gtest/gtest.h>

#include "tarvosub/tagval.h"

namespace tarvo {
namespace {

TEST(TagList, ReadsNamesDevicesTypesAndSizes) {
    std::vector<TagSpec> tags;
    std::string error;
    ASSERT_TRUE(
        ParseTagList("\xEF\xBB\xBF# comment\r\n"
                     "\n"
                     "Press.Count, DLU.PLC1, D0100, uint16\r\n"
                     "  \"Name, with comma\",DLU.PLC1,D0120,STRING,8\n"
                     "Run,PLC1,M0003,bit\n"
                     "Total,DLU.PLC1,D0112,2\n"
                     "압력,DLU.BOILER,D5001,FLOAT,\n",
                     tags, error))
        << error;
    ASSERT_EQ(tags.size(), 5u);
    EXPECT_EQ(tags[0].name, "Press.Count");
    EXPECT_EQ(tags[0].device, "DLU.PLC1");
    EXPECT_EQ(tags[0].address, "D0100");
    EXPECT_EQ(tags[0].dataType, 4);
    EXPECT_EQ(tags[0].size, 2);
    EXPECT_EQ(tags[0].line, 3);
    EXPECT_EQ(tags[1].name, "Name, with comma");
    EXPECT_EQ(tags[1].dataType, 14);
    EXPECT_EQ(tags[1].size, 8);
    EXPECT_EQ(tags[2].dataType, 13);
    EXPECT_EQ(tags[3].dataType, 2);  // a code instead of a name
    EXPECT_EQ(tags[3].size, 4);
    EXPECT_EQ(tags[4].name, "압력");
    EXPECT_EQ(tags[4].size, 4);
    EXPECT_EQ(StationOfDevice("DLU.PLC1"), "PLC1");
    EXPECT_EQ(StationOfDevice("X.A.B"), "A.B");
    EXPECT_EQ(StationOfDevice("PLC1"), "PLC1");
}

TEST(TagList, BadLinesAreNamedByNumberAndReason) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"a,DLU.P,D0,UINT16\nb,DLU.P,D1\n", "line 2: expected 4 to 6 fields"},
        {"a,DLU.P,D0,UINT16,2,rw,x\n", "line 1: expected 4 to 6 fields"},
        {"a,DLU.P,D0,UINT16,,maybe\n", "line 1: access 'maybe' is rw (writable) or r"},
        {"# x\n\na,DLU.P,D0,WORD\n", "line 3: unknown data type 'WORD'"},
        {"a,DLU.P,D0,15\n", "line 1: unknown data type '15'"},
        {"a,DLU.P,D0,STRING\n", "line 1: a STRING tag needs a size"},
        {"a,DLU.P,D0,STRING,0\n", "line 1: size '0'"},
        {"a,DLU.P,D0,STRING,129\n", "line 1: size '129'"},
        {"a,DLU.P,D0,SINT32,2\n", "line 1: size 2 does not fit SINT32"},
        {"a,DLU.P,D0,UINT16\na,DLU.P,D1,UINT16\n", "line 2: tag a is listed twice"},
        {",DLU.P,D0,UINT16\n", "line 1: empty tag name"},
        {"a,,D0,UINT16\n", "line 1: empty device"},
        {"\"a,DLU.P,D0,UINT16\n", "line 1: unterminated quoted field"},
    };
    for (const Case& c : cases) {
        std::vector<TagSpec> tags;
        std::string error;
        EXPECT_FALSE(ParseTagList(c.text, tags, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error;
        EXPECT_TRUE(tags.empty());
    }
    // Read line by line, the usable lines stay and each bad one is named.
    std::vector<TagSpec> tags;
    const auto errors = ParseTagListLines(
        "a,DLU.P,D0,UINT16,,RW\nb,DLU.P\nc,DLU.P,D1,BIT,1,r\na,DLU.P,D2,BIT\n", tags);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_TRUE(tags[0].writable);
    EXPECT_FALSE(tags[1].writable);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind("line 2: expected", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1], "line 4: tag a is listed twice");
}

TEST(TagList, WriteValuesFollowTheTagsType) {
    TagSpec s16{"t", "D.P", "D0", 1, 2, 1};
    TagSpec bit{"b", "D.P", "M0", 13, 1, 1};
    TagSpec text{"s", "D.P", "D0", 14, 8, 1};
    TagSpec flt{"f", "D.P", "D0", 12, 4, 1};
    TagSpec bcd{"c", "D.P", "D0", 10, 2, 1};
    CTagVal v;
    std::string error;
    ASSERT_TRUE(ParseWriteValue(s16, "-1234", v, error)) << error;
    EXPECT_EQ(v.GetVal(), -1234);
    ASSERT_TRUE(ParseWriteValue(s16, "0x7f", v, error));
    EXPECT_EQ(v.GetVal(), 127);
    EXPECT_FALSE(ParseWriteValue(s16, "32768", v, error));
    EXPECT_NE(error.find("out of range for SINT16"), std::string::npos) << error;
    EXPECT_FALSE(ParseWriteValue(s16, "1.5", v, error));
    EXPECT_FALSE(ParseWriteValue(s16, "12abc", v, error));
    EXPECT_FALSE(ParseWriteValue(s16, "", v, error));
    EXPECT_FALSE(ParseWriteValue(bcd, "10000", v, error));
    ASSERT_TRUE(ParseWriteValue(bcd, "9999", v, error));
    ASSERT_TRUE(ParseWriteValue(bit, "on", v, error));
    EXPECT_EQ(v.GetVal(), 1);
    ASSERT_TRUE(ParseWriteValue(bit, "FALSE", v, error));
    EXPECT_EQ(v.GetVal(), 0);
    EXPECT_FALSE(ParseWriteValue(bit, "2", v, error));
    ASSERT_TRUE(ParseWriteValue(flt, "-2.5e3", v, error));
    EXPECT_EQ(v.GetVal(), -2500);
    EXPECT_FALSE(ParseWriteValue(flt, "nan", v, error));
    ASSERT_TRUE(ParseWriteValue(text, "\"two wds\"", v, error));
    EXPECT_TRUE(v.IsText());
    EXPECT_EQ(v.Text(), "two wds");
    EXPECT_FALSE(ParseWriteValue(text, "nine char", v, error));  // the tag holds 8 bytes
    EXPECT_NE(error.find("longer than the tag's 8 bytes"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvo
