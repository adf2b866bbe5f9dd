// A signature list checked and read on Windows (see signature_file_win32.h).
// The security calls are bound at run time: Windows 95 lacks them.
#include "engine/signature_file_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "sys/handle_win32.h"
#include "sys/system_library_win32.h"

namespace {

enum : DWORD {
  // Rights that change what the file says, or who may change it.
  kWritingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_WRITE |
                   GENERIC_ALL,
};

struct SecurityCalls {
  decltype(&GetFileSecurityA) getFileSecurity;
  decltype(&GetSecurityDescriptorOwner) getOwner;
  decltype(&GetSecurityDescriptorDacl) getDacl;
  decltype(&GetAce) getAce;
  decltype(&EqualSid) equalSid;
  decltype(&AllocateAndInitializeSid) allocateSid;
  decltype(&FreeSid) freeSid;
  decltype(&GetTokenInformation) getTokenInformation;
};

int Refuse(char* why, size_t capacity, const char* path, const char* reason) {
  std::snprintf(why, capacity, "%s: %s", path, reason);
  return 0;
}

int ReadPiece(void* context, void* data, size_t capacity, size_t* got) {
  DWORD read = 0;
  if (!ReadFile(static_cast<HANDLE>(context), data, static_cast<DWORD>(capacity), &read, nullptr)) return 0;
  *got = read;
  return 1;
}

// 1 when `sid` is Administrators, SYSTEM or `user`.
int Trusted(const SecurityCalls& s, PSID sid, PSID user, PSID administrators, PSID system) {
  return s.equalSid(sid, administrators) || s.equalSid(sid, system) || (user && s.equalSid(sid, user));
}

// The owner and access list of `path`. Null when it may be trusted, else why.
const char* SecurityFault(const SecurityCalls& s, const char* path) {
  static const char* const kUnreadable = "its owner and access list cannot be read";
  DWORD needed = 0;
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  s.getFileSecurity(path, wanted, nullptr, 0, &needed);
  if (needed == 0) return kUnreadable;
  void* descriptor = std::malloc(needed);
  const char* fault = kUnreadable;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr, system = nullptr;
  unsigned char tokenUser[256];
  PSID user = nullptr;
  HANDLE tokenHandle = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &tokenHandle)) {
    OwnedHandle token(tokenHandle);
    DWORD got = 0;
    if (s.getTokenInformation(token.get(), TokenUser, tokenUser, sizeof tokenUser, &got))
      user = reinterpret_cast<TOKEN_USER*>(tokenUser)->User.Sid;
  }
  if (descriptor && s.getFileSecurity(path, wanted, descriptor, needed, &needed) &&
      s.allocateSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                    &administrators) &&
      s.allocateSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system)) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!s.getOwner(descriptor, &owner, &defaulted) || !s.getDacl(descriptor, &present, &dacl, &defaulted)) {
      fault = kUnreadable;
    } else if (!owner || !Trusted(s, owner, user, administrators, system)) {
      fault = "it is owned by someone other than this user, Administrators or SYSTEM";
    } else if (!present || !dacl) {
      fault = "it has no access list, so anyone may write it (keep lists on NTFS)";
    } else {
      fault = nullptr;
      for (WORD i = 0; i < dacl->AceCount && !fault; ++i) {
        void* ace = nullptr;
        if (!s.getAce(dacl, i, &ace)) {
          fault = kUnreadable;
          break;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        PSID who = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & kWritingRights) && !Trusted(s, who, user, administrators, system))
          fault = "others than this user and the administrators may write it";
      }
    }
  }
  if (administrators) s.freeSid(administrators);
  if (system) s.freeSid(system);
  std::free(descriptor);
  return fault;
}

}  // namespace

int LoadSignatureFile(SignatureLists* lists, const char* path, char* why, size_t capacity) {
  OwnedHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return Refuse(why, capacity, path, "it cannot be opened");
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return Refuse(why, capacity, path, "it is not a plain file (a link, a folder or a device)");
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  // Windows 9x: no owner, no access list; anyone at the machine is its administrator.
  if (GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    OwnedModule advapi(LoadSystemLibrary("advapi32.dll"));
    SecurityCalls s{};
    if (advapi.valid()) {
      HMODULE m = advapi.get();
      s = SecurityCalls{BindEntryPoint<decltype(&GetFileSecurityA)>(m, "GetFileSecurityA"),
                        BindEntryPoint<decltype(&GetSecurityDescriptorOwner)>(m, "GetSecurityDescriptorOwner"),
                        BindEntryPoint<decltype(&GetSecurityDescriptorDacl)>(m, "GetSecurityDescriptorDacl"),
                        BindEntryPoint<decltype(&GetAce)>(m, "GetAce"),
                        BindEntryPoint<decltype(&EqualSid)>(m, "EqualSid"),
                        BindEntryPoint<decltype(&AllocateAndInitializeSid)>(m, "AllocateAndInitializeSid"),
                        BindEntryPoint<decltype(&FreeSid)>(m, "FreeSid"),
                        BindEntryPoint<decltype(&GetTokenInformation)>(m, "GetTokenInformation")};
    }
    if (!s.getFileSecurity || !s.getOwner || !s.getDacl || !s.getAce || !s.equalSid || !s.allocateSid ||
        !s.freeSid || !s.getTokenInformation)
      return Refuse(why, capacity, path, "the system's security calls are missing");
    if (const char* fault = SecurityFault(s, path)) return Refuse(why, capacity, path, fault);
  }
  return AddSignatureList(lists, path, SignatureListSource{ReadPiece, file.get()}, why, capacity);
}
