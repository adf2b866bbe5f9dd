// ProcessApi under Wine: run-time binding and the identity query behind
// aliased ids; the kernel-handle owner.
#include <gtest/gtest.h>

#include <cstring>

#include "sys/handle_win32.h"
#include "sys/process_api_win32.h"

namespace {

TEST(ProcessApi, ConstructionBindsTheEntryPointsThePassCalls) {
  ProcessApi api;
  EXPECT_NE(nullptr, api.CreateToolhelp32Snapshot);
  EXPECT_NE(nullptr, api.Module32First);
  EXPECT_NE(nullptr, api.Module32Next);
  EXPECT_NE(nullptr, api.GetProcessId);
  EXPECT_NE(nullptr, api.NtQueryInformationProcess);
}

TEST(ProcessApi, ModuleSnapshotOfOwnProcessNamesItsExecutable) {
  ProcessApi api;
  DWORD self = GetCurrentProcessId();
  HANDLE snapshot = api.CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, self);
  ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
  MODULEENTRY32 module;
  module.dwSize = sizeof module;
  ASSERT_TRUE(api.Module32First(snapshot, &module));
  EXPECT_EQ(self, module.th32ProcessID);
  EXPECT_NE(nullptr, std::strstr(module.szExePath, ".exe")) << module.szExePath;
  CloseHandle(snapshot);
}

// NT (and Wine) ignore the low two bits of a process id: every alias of our
// own id must report the same real id.
TEST(QueryProcessId, AliasedIdsReachTheSameProcess) {
  ProcessApi api;
  DWORD self = GetCurrentProcessId();
  ASSERT_EQ(0u, self & 3);
  for (DWORD alias = self; alias < self + 4; ++alias) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, alias);
    ASSERT_NE(nullptr, process) << "alias " << alias;
    DWORD real = 0;
    EXPECT_EQ(1, QueryProcessId(api, process, &real)) << "alias " << alias;
    EXPECT_EQ(self, real) << "alias " << alias;
    CloseHandle(process);
  }
  HANDLE terminateOnly = OpenProcess(PROCESS_TERMINATE, FALSE, self);
  ASSERT_NE(nullptr, terminateOnly);
  DWORD untouched = 12345;
  // A handle without query access cannot tell; the output stays as it was.
  if (!QueryProcessId(api, terminateOnly, &untouched)) {
    EXPECT_EQ(12345u, untouched);
  }
  CloseHandle(terminateOnly);
}


// Open while some owner holds it; closed when the last owner lets go.
bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

TEST(OwnedHandle, ClosesOnceWhenItsOwnerGoesOrResets) {
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(first && second);
  {
    OwnedHandle owner(first);
    EXPECT_TRUE(owner.valid());
    owner.reset(second);  // the first goes now, the second with the owner
    EXPECT_FALSE(IsOpen(first));
    EXPECT_TRUE(IsOpen(second));
    EXPECT_EQ(second, owner.get());
  }
  EXPECT_FALSE(IsOpen(second));

  HANDLE kept = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  {
    OwnedHandle owner(kept);
    EXPECT_EQ(kept, owner.release());
    EXPECT_FALSE(owner.valid());
  }
  EXPECT_TRUE(IsOpen(kept));
  CloseHandle(kept);

  // Each API's "none" holds nothing and closes nothing.
  OwnedHandle none(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(none.valid());
  EXPECT_FALSE(OwnedHandle().valid());
}

}  // namespace
