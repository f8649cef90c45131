#include "framework/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace {

std::string Convert(std::string_view in, const char* to, const char* from) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    std::string out;
    out.resize(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    std::size_t used = 0;
    while (srcLeft > 0) {
        char* dst = out.data() + used;
        std::size_t dstLeft = out.size() - used;
        std::size_t r = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        used = out.size() - dstLeft;
        if (r != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else {  // invalid or incomplete sequence: mark it and skip one byte
            if (out.size() - used < 1) out.resize(out.size() * 2);
            out[used++] = '?';
            ++src;
            --srcLeft;
        }
    }
    out.resize(used);
    ::iconv_close(cd);
    return out;
}

}  // namespace

std::string Utf8ToCp949(std::string_view utf8) { return Convert(utf8, "CP949", "UTF-8"); }
std::string Cp949ToUtf8(std::string_view cp949) { return Convert(cp949, "UTF-8", "CP949"); }
