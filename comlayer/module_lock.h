// The module's lock count: live COM objects, class factories in use and
// LockServer(TRUE) calls. DllCanUnloadNow answers S_OK only at zero.
#pragma once
#include <windows.h>

namespace com {

class ModuleLock {
 public:
  static void Lock() { InterlockedIncrement(&count_); }
  static void Unlock() { InterlockedDecrement(&count_); }
  static LONG Count() { return count_; }

 private:
  static inline LONG count_ = 0;
};

}  // namespace com
