// Test support under Wine: a scratch directory removed afterwards, and small
// helpers to write and read files by ANSI or wide path.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace qxtest {

// A fresh directory under the Windows temp folder; the tree is removed on destruction.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // Full path of the directory, ending in a backslash.
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& relative) const { return path_ + relative; }

 private:
  std::string path_;
};

bool WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);
bool WriteBytesW(const std::wstring& path, const std::vector<unsigned char>& bytes);
bool ReadBytes(const std::string& path, std::vector<unsigned char>* bytes);
bool MakeDirs(const std::string& path);
void RemoveTreeW(const std::wstring& path);
std::wstring Widen(const std::string& ansi);
std::string Narrow(const std::wstring& wide);
// A character that the ANSI code page cannot represent (so its ANSI form is "?").
wchar_t UnrepresentableChar();
std::string CurrentDirectory();

}  // namespace qxtest
