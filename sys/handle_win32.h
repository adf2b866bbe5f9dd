// One owner for one handle of each kind (Win32): closed when the owner goes,
// or earlier by reset(); release() hands it to a new owner explicitly. A
// small traits type says how a kind is closed and what holds nothing. These
// owners are the only places in the product that close a handle.
#pragma once
#include <windows.h>

template <typename Traits>
class Owned {
 public:
  typedef typename Traits::Type Type;
  Owned() : value_(Traits::None()) {}
  explicit Owned(Type value) : value_(value) {}
  ~Owned() { reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  Type get() const { return value_; }
  bool valid() const { return Traits::Holds(value_); }
  // Closes what is held (if anything) and holds `value` instead.
  void reset(Type value = Traits::None()) {
    if (Traits::Holds(value_)) Traits::Close(value_);
    value_ = value;
  }
  // Closes now: 1 when the system said the close succeeded.
  int close() {
    int ok = Traits::Holds(value_) ? Traits::Close(value_) : 0;
    value_ = Traits::None();
    return ok;
  }
  Type release() {
    Type value = value_;
    value_ = Traits::None();
    return value;
  }
  // For calls that fill a handle through a pointer; whatever was held is closed first.
  Type* receive() {
    reset();
    return &value_;
  }

 private:
  Type value_;
};

// Kernel objects: files, processes, threads, snapshots, events. Null and
// INVALID_HANDLE_VALUE (each API's "none") both hold nothing.
struct KernelHandleTraits {
  typedef HANDLE Type;
  static HANDLE None() { return nullptr; }
  static bool Holds(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static int Close(HANDLE h) { return CloseHandle(h) ? 1 : 0; }
};

// FindFirstFile's search handles.
struct FindHandleTraits {
  typedef HANDLE Type;
  static HANDLE None() { return INVALID_HANDLE_VALUE; }
  static bool Holds(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static int Close(HANDLE h) { return FindClose(h) ? 1 : 0; }
};

// Registry keys opened or created by the program (never the predefined roots).
struct RegistryKeyTraits {
  typedef HKEY Type;
  static HKEY None() { return nullptr; }
  static bool Holds(HKEY k) { return k != nullptr; }
  static int Close(HKEY k) { return RegCloseKey(k) == ERROR_SUCCESS ? 1 : 0; }
};

// Modules loaded by LoadLibrary (not those merely looked up by GetModuleHandle).
struct LoadedModuleTraits {
  typedef HMODULE Type;
  static HMODULE None() { return nullptr; }
  static bool Holds(HMODULE m) { return m != nullptr; }
  static int Close(HMODULE m) { return FreeLibrary(m) ? 1 : 0; }
};

typedef Owned<KernelHandleTraits> OwnedHandle;
typedef Owned<FindHandleTraits> OwnedFind;
typedef Owned<RegistryKeyTraits> OwnedKey;
typedef Owned<LoadedModuleTraits> OwnedModule;
