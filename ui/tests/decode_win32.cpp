// Code-page bytes to UTF-8 with the system's own code-page tables.
#include "ui/tests/decode.h"

#include <windows.h>

#include <vector>

bool DecodeToUtf8(const std::string& bytes, int codePage, std::string* utf8) {
  if (bytes.empty()) {
    utf8->clear();
    return true;
  }
  const int length = static_cast<int>(bytes.size());
  const int wideLength =
      MultiByteToWideChar(static_cast<UINT>(codePage), MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
  if (wideLength <= 0) return false;
  std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
  if (MultiByteToWideChar(static_cast<UINT>(codePage), MB_ERR_INVALID_CHARS, bytes.data(), length, wide.data(),
                          wideLength) != wideLength)
    return false;
  const int utf8Length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (utf8Length <= 0) return false;
  std::string out(static_cast<size_t>(utf8Length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &out[0], utf8Length, nullptr, nullptr);
  *utf8 = out;
  return true;
}
