// Conversion between UTF-8 and the CP949 code page in which every text of the system is kept,
// and the few CP949-aware text operations the system needs.
#pragma once

#include <string>
#include <string_view>

// Characters that do not convert become '?'. Without a CP949 converter on the system every
// non-ASCII byte becomes '?': a text is never handed on in the wrong code page.
std::string Utf8ToCp949(std::string_view utf8);
std::string Cp949ToUtf8(std::string_view cp949);

// Empty when the system converts CP949; otherwise a sentence saying it cannot, for the user.
std::string Cp949Problem();
// The converter's name for the code page ("CP949" unless set); tests name a missing one. The
// text must outlive its use.
void Cp949SetCodeset(const char* name);

// Compares CP949 texts without regard to case, as strcmp orders. Only single-byte ASCII letters
// fold: a lead byte 0x81..0xFE takes the byte after it along unchanged, so 갂 (81 41) and
// 갵 (81 61) differ.
int Cp949CompareNoCase(std::string_view a, std::string_view b);
// Upper-cases the single-byte ASCII letters of a CP949 text; two-byte characters stay intact.
std::string Cp949ToUpper(std::string_view text);
