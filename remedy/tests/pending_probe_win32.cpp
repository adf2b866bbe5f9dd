// Probe for deletion at restart, run twice by pending_removal.sh in a prefix
// of its own. "register": files held open without delete sharing are
// removed, which must register them for deletion at the next restart, by
// their full paths. "check" (after the restart): they are gone, and a file of
// the same name in the directory that was current has survived.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "remedy/removal_win32.h"
#include "tests/support/win_files_win32.h"

namespace {

const char kHome[] = "C:\\qx-pending\\";
const char kOther[] = "C:\\qx-pending\\current\\";
const std::vector<unsigned char> kContent = {'M', 'Z', 0x90, 0};

int failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  ++failures;
  printf("FAILED: %s\n", what.c_str());
}

std::wstring WideName() { return std::wstring(L"h") + qxtest::UnrepresentableChar() + L"ld.exe"; }

// The strings of PendingFileRenameOperations, in pairs: source, destination.
std::vector<std::wstring> PendingRenames() {
  std::vector<std::wstring> strings;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return strings;
  DWORD size = 0;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, 0);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    size_t count = size / sizeof(wchar_t);
    size_t start = 0;
    // A destination is an empty string, so walk by pairs rather than stopping at the first empty one.
    for (size_t i = 0; i < count; ++i) {
      if (data[i] == 0) {
        strings.emplace_back(data.data() + start, i - start);
        start = i + 1;
      }
    }
  }
  RegCloseKey(key);
  return strings;
}

bool EndsWithIgnoringCase(const std::wstring& text, const std::wstring& tail) {
  if (text.size() < tail.size()) return false;
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, text.c_str() + text.size() - tail.size(),
                        static_cast<int>(tail.size()), tail.c_str(), static_cast<int>(tail.size())) == CSTR_EQUAL;
}

// 1 when the list asks for `path` to be deleted (a source with an empty destination).
bool DeletionRegistered(const std::vector<std::wstring>& pending, const std::wstring& path) {
  for (size_t i = 0; i + 1 < pending.size(); i += 2)
    if (EndsWithIgnoringCase(pending[i], path) && pending[i + 1].empty()) return true;
  return false;
}

bool ExistsW(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int Register() {
  std::wstring home = qxtest::Widen(kHome);
  std::wstring other = qxtest::Widen(kOther);
  std::wstring plain = home + L"held.exe";
  std::wstring wide = home + WideName();
  std::wstring twin = other + WideName();
  Check(qxtest::MakeDirs(kOther), "directories");
  Check(qxtest::WriteBytesW(plain, kContent) && qxtest::WriteBytesW(wide, kContent) &&
            qxtest::WriteBytesW(twin, kContent),
        "files written");
  SetFileAttributesW(plain.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);

  // Held open by a running program that does not share deletion.
  HANDLE heldPlain = CreateFileW(plain.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE heldWide = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  Check(heldPlain != INVALID_HANDLE_VALUE && heldWide != INVALID_HANDLE_VALUE, "files held open");

  SetCurrentDirectoryA(kOther);
  int plainResult = RemoveFile((std::string(kHome) + "held.exe").c_str());
  int wideResult = RemoveFile((std::string(kHome) + "h?ld.exe").c_str());
  SetCurrentDirectoryA("C:\\");

  Check(plainResult != 0, "held file reported removed");
  Check(wideResult != 0, "held file with a wide name reported removed");
  Check(ExistsW(plain) && ExistsW(wide), "held files stay until the restart");
  const DWORD protecting = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  Check((GetFileAttributesW(plain.c_str()) & protecting) == 0, "protecting attributes left cleared");

  std::vector<std::wstring> pending = PendingRenames();
  Check(DeletionRegistered(pending, plain), "deletion of held.exe registered");
  Check(DeletionRegistered(pending, wide), "deletion of the wide name registered by its full path");
  Check(!DeletionRegistered(pending, twin), "nothing registered in the current directory");

  if (heldPlain != INVALID_HANDLE_VALUE) CloseHandle(heldPlain);
  if (heldWide != INVALID_HANDLE_VALUE) CloseHandle(heldWide);
  return failures ? 1 : 0;
}

int CheckAfterRestart() {
  std::wstring home = qxtest::Widen(kHome);
  std::wstring other = qxtest::Widen(kOther);
  Check(!ExistsW(home + L"held.exe"), "held.exe gone after the restart");
  Check(!ExistsW(home + WideName()), "wide-named file gone after the restart");
  Check(ExistsW(other + WideName()), "same-named file in the other directory survives");
  std::vector<std::wstring> pending = PendingRenames();
  Check(!DeletionRegistered(pending, home + L"held.exe"), "registration consumed by the restart");
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  int result = 2;
  if (mode == "register")
    result = Register();
  else if (mode == "check")
    result = CheckAfterRestart();
  else
    printf("usage: remedy_pending_probe register|check\n");
  printf("%s: %s\n", mode.c_str(), result == 0 ? "ok" : "failed");
  return result;
}
