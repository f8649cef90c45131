// The host's numbered error boxes. Codes of the host itself (2002, 2005) have their texts here;
// other codes are looked up in the string tables of the registered extension modules.
#pragma once

#include <cstdint>
#include <string>

class CTarvoError {
public:
    static constexpr int kLoadFailed = 2002;
    static constexpr int kSaveFailed = 2005;
    // Shows a modal error box (through the framework's box seam). With flag 1 the text is put
    // into the message's placeholder. The result is the box's answer; callers ignore it.
    static int ErrMsg(int code, int flag, const char* text, ...);
    // The CP949 text the box for (code, flag, text) shows.
    static std::string FormatMessage(int code, int flag, const char* text);
};
