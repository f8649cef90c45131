// The code page conversion when the system lacks the converter.
#include "framework/codepage.h"

#include <gtest/gtest.h>

TEST(CodePage, AMissingConverterIsReportedAndNoUtf8PassesAsCp949) {
    EXPECT_EQ(Cp949Problem(), "");
    EXPECT_EQ(Utf8ToCp949("A가"), "A\xB0\xA1");
    Cp949SetCodeset("QX-NO-SUCH-CODESET");
    EXPECT_NE(Cp949Problem().find("no QX-NO-SUCH-CODESET converter"), std::string::npos);
    EXPECT_EQ(Utf8ToCp949("A가"), "A???");
    EXPECT_EQ(Cp949ToUtf8("A\xB0\xA1"), "A??");
    Cp949SetCodeset("CP949");
}
