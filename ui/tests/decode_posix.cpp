// Code-page bytes to UTF-8 with the C library's iconv.
#include "ui/tests/decode.h"

#include <iconv.h>

#include <vector>

bool DecodeToUtf8(const std::string& bytes, int codePage, std::string* utf8) {
  const char* from = codePage == 936 ? "CP936"
                     : codePage == 950 ? "CP950"
                     : codePage == 932 ? "CP932"
                     : codePage == 20127 ? "ASCII"
                                         : nullptr;
  if (!from) return false;
  iconv_t converter = iconv_open("UTF-8", from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::vector<char> in(bytes.begin(), bytes.end());
  std::vector<char> out(bytes.size() * 4 + 4);
  char* inPointer = in.data();
  size_t inLeft = in.size();
  char* outPointer = out.data();
  size_t outLeft = out.size();
  const size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1) || inLeft != 0) return false;
  utf8->assign(out.data(), static_cast<size_t>(outPointer - out.data()));
  return true;
}
