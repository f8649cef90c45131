#include "framework/codepage.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<const char*> gCodeset{"CP949"};

bool IsLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

unsigned char FoldUpper(unsigned char c) {
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

std::string Convert(std::string_view in, const char* to, const char* from) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::string out(in);
        for (char& c : out)
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        return out;
    }
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

bool Opens(const char* to, const char* from) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    ::iconv_close(cd);
    return true;
}

}  // namespace

std::string Utf8ToCp949(std::string_view utf8) { return Convert(utf8, gCodeset.load(), "UTF-8"); }
std::string Cp949ToUtf8(std::string_view cp949) { return Convert(cp949, "UTF-8", gCodeset.load()); }

std::string Cp949Problem() {
    const char* codeset = gCodeset.load();
    if (Opens(codeset, "UTF-8") && Opens("UTF-8", codeset)) return {};
    return std::string("the system has no ") + codeset +
           " converter (iconv), so Korean texts cannot be converted; install the C library's "
           "code page converters (gconv modules)";
}

void Cp949SetCodeset(const char* name) { gCodeset.store(name); }

int Cp949CompareNoCase(std::string_view a, std::string_view b) {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    bool trail = false;  // the byte at i is the second byte of a two-byte character
    for (std::size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
        if (!trail) {
            ca = FoldUpper(ca);
            cb = FoldUpper(cb);
        }
        if (ca != cb) return ca < cb ? -1 : 1;
        // Equal bytes up to here, so both texts are at the same place of a character.
        trail = !trail && IsLead(ca);
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string Cp949ToUpper(std::string_view text) {
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        auto c = static_cast<unsigned char>(out[i]);
        if (IsLead(c))
            ++i;  // the trail byte goes along unchanged
        else
            out[i] = static_cast<char>(FoldUpper(c));
    }
    return out;
}
