#include "tarvosub/error.h"

#include <cstdio>
#include <map>

#include "framework/codepage.h"
#include "framework/msgbox.h"
#include "framework/resources.h"

namespace {

std::string HostText(int code) {
    static const std::map<int, std::string> texts = {
        {CTarvoError::kLoadFailed, Utf8ToCp949("파일[%s]을 읽을 수 없습니다.")},
        {CTarvoError::kSaveFailed, Utf8ToCp949("파일[%s]을 저장할 수 없습니다.")},
    };
    auto it = texts.find(code);
    if (it != texts.end()) return it->second;
    std::string s;
    if (AfxLoadString(static_cast<std::uint32_t>(code), s)) return s;
    char buf[32];
    std::snprintf(buf, sizeof buf, "Error %d", code);
    return buf;
}

}  // namespace

std::string CTarvoError::FormatMessage(int code, int flag, const char* text) {
    std::string format = HostText(code);
    if (flag != 1 || !text) return format;
    std::size_t at = format.find("%s");
    if (at == std::string::npos) return format + " " + text;
    return format.substr(0, at) + text + format.substr(at + 2);
}

int CTarvoError::ErrMsg(int code, int flag, const char* text, ...) {
    CBoxRequest r;
    r.kind = CBoxRequest::error;
    r.id = static_cast<std::uint32_t>(code);
    r.text = FormatMessage(code, flag, text);
    r.type = MB_OK;
    return AfxShowBox(r);
}
