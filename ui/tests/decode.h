// Decoding of code-page bytes to UTF-8 for the text tests: through iconv in
// the native build, through MultiByteToWideChar under Wine.
#pragma once
#include <string>

// Windows code page number: 936, 950, 932, or 20127 for US-ASCII. Returns
// false when the bytes are not valid in that code page.
bool DecodeToUtf8(const std::string& bytes, int codePage, std::string* utf8);
