#include "texts.h"

#include <array>
#include <cstdio>

#include "framework/codepage.h"

namespace {

constexpr std::array<const char*, kMessageCount> kMessagesUtf8 = {
    "",
    "통신시작",
    "통신종료",
    "통신포트 초기화 완료",
    "지정된 파일[%s]을 열 수 없습니다.",
    "태그[%s]의 I/O 어드레스[%s]가 잘못 설정되었습니다.",
    "태그[%s]에 설정된 I/O 디바이스[%s]가 통신드라이버에 등록되지 않았습니다.",
    "스테이션[%s]과의 통신 중 수신 Time Out이 발생하였습니다.",
    "스테이션[%s]로부터 에러번호[%s]를 수신받았습니다.",
    "태그[%s]의 어드레스가 통신블록에 등록되지 않아 개별 통신합니다.",
    "스테이션[%s]과 통신할 수 없습니다.",
    "스테이션[%s]과의 통신이 정상적으로 복구되었습니다.",
    "TVIOCTRL 드라이버를 Load 할 수 없습니다.",
    "Base 어드레스를 Mapping 할 수 없습니다.",
    "K-Link (DLU) Board를 찾을 수 없습니다.",
    "태그[%s]의 쓰기 요청이 너무 많이 밀려 있어 처리할 수 없습니다.",
    "태그[%s]는 통신 중에는 등록할 수 없습니다. 통신을 멈춘 뒤 등록하십시오.",
};

struct StringEntry {
    std::uint32_t id;
    const char* utf8;
};

constexpr StringEntry kStringsUtf8[] = {
    {IDS_STATION_NAME_EMPTY, "스테이션 이름이 설정되지 않았습니다."},
    {IDS_STATION_NAME_USED, "같은 이름의 스테이션이 이미 사용되었습니다."},
    {IDS_STATION_NO_USED, "국번이 다른 스테이션과 중복되어 설정되었습니다."},
    {IDS_ADDRESS_INVALID, "어드레스가 잘못 설정되었습니다."},
    {IDS_BLOCK_OVERLAP, "지정된 어드레스 영역이 다른 블록과 중복됩니다."},
    {IDS_BLOCK_RANGE, "지정된 어드레스 영역이 설정 범위를 벗어났습니다."},
    {IDS_ASK_DELETE_BLOCK, "선택된 통신블록을 삭제하시겠습니까?"},
    {IDS_STATION_NO_INVALID, "국번이 잘못 설정되었습니다."},
    {IDS_ASK_DELETE_STATION,
     "선택된 스테이션을 삭제하면 스테이션에 설정된 통신블록도 같이 "
     "삭제됩니다.\r\n삭제하시겠습니까?"},
    {IDS_ASK_SAVE, "데이터가 변경되었습니다.  저장하시겠습니까?"},
    {IDS_TEST_MAP_FAILED, "Base 어드레스를 Mapping 할 수 없습니다."},
    {IDS_TEST_NO_BOARD, "K-Link (DLU) Board를 찾을 수 없습니다."},
    {IDS_TEST_NO_DRIVER, "TVIOCTRL 드라이버를 Load 할 수 없습니다."},
    {IDS_TEST_OK, "I/O Port와 Base Address가 정상적으로 설정되었습니다."},
};

struct Tables {
    std::array<std::string, kMessageCount> messages;
    CResourceModule resources;
    Tables() {
        // Built once, when the module is attached: the place to say, once, that no text of the
        // module can reach the host in its code page.
        if (std::string why = Cp949Problem(); !why.empty())
            std::fprintf(stderr, "Quorix: %s\n", why.c_str());
        for (int i = 0; i < kMessageCount; ++i) messages[i] = Utf8ToCp949(kMessagesUtf8[i]);
        resources.name = "Quorix";
        for (const auto& e : kStringsUtf8) resources.strings[e.id] = Utf8ToCp949(e.utf8);
    }
};

const Tables& Texts() {
    static const Tables tables;
    return tables;
}

}  // namespace

const std::string& MessageFormat(int n) {
    static const std::string empty;
    if (n < 0 || n >= kMessageCount) return empty;
    return Texts().messages[n];
}

const CResourceModule& ModuleResources() { return Texts().resources; }

const std::string& ModuleString(std::uint32_t id) {
    static const std::string empty;
    const auto& s = Texts().resources.strings;
    auto it = s.find(id);
    return it == s.end() ? empty : it->second;
}
