// Runtime messages: prefix, formatting, class word and result.
#include "driver/messages.h"

#include <gtest/gtest.h>

#include "driver/texts.h"
#include "framework/resources.h"
#include "test_support.h"

TEST(ReportMessage, WithoutMessageOutputReturnsTheNumber) {
    hostlibs::FreeAll();
    EXPECT_EQ(ReportMessage(12, MSG_CLASS_FAILURE), 12);
}

TEST(ReportMessage, PrefixFormatAndClassWord) {
    MessageCapture cap;
    EXPECT_EQ(ReportMessage(12, MSG_CLASS_FAILURE), -12);
    EXPECT_EQ(ReportMessage(4, MSG_CLASS_FAILURE, "C:\\a.cfg"), -4);
    EXPECT_EQ(ReportMessage(5, MSG_CLASS_FAILURE, "T1", "D99999"), -5);
    EXPECT_EQ(ReportMessage(10, MSG_CLASS_STATE, "PLC1"), -10);
    EXPECT_EQ(ReportMessage(-3, MSG_CLASS_STATE), -3);  // nothing reported
    ASSERT_EQ(cap.messages.size(), 4u);
    EXPECT_EQ(cap.messages[0].text,
              "[VURAVO-V OZI] TVIOCTRL " + K("드라이버를 Load 할 수 없습니다."));
    EXPECT_EQ(cap.messages[0].classWord, 0x100);
    EXPECT_EQ(cap.messages[0].value, 3);
    EXPECT_EQ(cap.messages[1].text,
              "[VURAVO-V OZI] " + K("지정된 파일[C:\\a.cfg]을 열 수 없습니다."));
    EXPECT_EQ(cap.messages[2].text,
              "[VURAVO-V OZI] " + K("태그[T1]의 I/O 어드레스[D99999]가 잘못 설정되었습니다."));
    EXPECT_EQ(cap.messages[3].classWord, 0x102);
}

TEST(ReportMessage, ArgumentsAreNotFormatDirectives) {
    MessageCapture cap;
    ReportMessage(4, MSG_CLASS_FAILURE, "/x/%s%n%d.cfg");
    ASSERT_EQ(cap.messages.size(), 1u);
    EXPECT_NE(cap.messages[0].text.find("/x/%s%n%d.cfg"), std::string::npos);
}

TEST(StringTable, TextsAreCp949WithTheirLineBreaks) {
    EXPECT_EQ(ModuleString(2709), K("데이터가 변경되었습니다.  저장하시겠습니까?"));
    EXPECT_EQ(ModuleString(2708),
              K("선택된 스테이션을 삭제하면 스테이션에 설정된 통신블록도 같이 삭제됩니다.") +
                  "\r\n" + K("삭제하시겠습니까?"));
    // Every id of the table is there, and Korean text is really CP949 (two bytes a syllable).
    for (std::uint32_t id = 2700; id <= 2713; ++id) EXPECT_FALSE(ModuleString(id).empty()) << id;
    EXPECT_EQ(K("국").size(), 2u);
    EXPECT_EQ(ModuleString(2714), "");
}
