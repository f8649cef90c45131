// Conversion between UTF-8 and the CP949 code page in which every text of the system is kept.
#pragma once

#include <string>
#include <string_view>

// Characters that do not convert become '?'.
std::string Utf8ToCp949(std::string_view utf8);
std::string Cp949ToUtf8(std::string_view cp949);
