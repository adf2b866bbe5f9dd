// One owner for one kernel handle (Win32): closed when the owner goes, or
// earlier by reset(); release() hands it to a new owner explicitly.
#pragma once
#include <windows.h>

class OwnedHandle {
 public:
  OwnedHandle() : handle_(nullptr) {}
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  HANDLE get() const { return handle_; }
  // Null and INVALID_HANDLE_VALUE (each API's "none") both hold nothing.
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  // Closes the handle held (if any) and holds `handle` instead.
  void reset(HANDLE handle = nullptr) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  // The handle, no longer owned here.
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_;
};
