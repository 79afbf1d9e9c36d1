// A pointer that each thread keeps for itself, in a slot of the system's
// thread storage. This toolchain reaches a `thread_local` variable through a
// lookup under a lock on every access, which a path taken once per item of a
// pass can feel; the slot is read straight from the thread's own block.
#pragma once
#include <windows.h>

namespace com {

template <class T>
class ThreadPointer {
 public:
  ThreadPointer() : index_(TlsAlloc()) {}
  ~ThreadPointer() {
    if (index_ != TLS_OUT_OF_INDEXES) TlsFree(index_);
  }
  ThreadPointer(const ThreadPointer&) = delete;
  ThreadPointer& operator=(const ThreadPointer&) = delete;

  // Null on a thread that set nothing, and when no slot was to be had. The
  // thread's last error stays as it was.
  T* Get() const {
    if (index_ == TLS_OUT_OF_INDEXES) return nullptr;
    const DWORD error = GetLastError();
    T* value = static_cast<T*>(TlsGetValue(index_));
    SetLastError(error);
    return value;
  }
  void Set(T* value) {
    if (index_ != TLS_OUT_OF_INDEXES) TlsSetValue(index_, value);
  }

 private:
  DWORD index_;
};

}  // namespace com
