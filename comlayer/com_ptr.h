// ComPtr<T>: an owning, reference-counted COM interface pointer.
//
// Contract: the pointer it holds carries exactly one reference of its own,
// released when the holder goes or is reassigned. `Put()` hands out the
// address of the raw pointer for an out-parameter and releases what was
// held first, so a call that fails without writing leaves the holder empty.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <utility>

namespace com {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  ComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& o) { ComPtr(o).Swap(*this); return *this; }
  ComPtr& operator=(ComPtr&& o) noexcept { ComPtr(std::move(o)).Swap(*this); return *this; }
  ComPtr& operator=(T* p) { ComPtr(p).Swap(*this); return *this; }
  ComPtr& operator=(std::nullptr_t) { Reset(); return *this; }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(const T* p) const { return p_ == p; }

  // Out-parameter address; releases the current pointer first.
  T** Put() { Reset(); return &p_; }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  void Reset() { if (T* p = std::exchange(p_, nullptr)) p->Release(); }
  void Attach(T* p) { Reset(); p_ = p; }
  T* Detach() { return std::exchange(p_, nullptr); }
  void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

  // Copies the pointer out with its own reference; *out is untouched when empty.
  HRESULT CopyTo(T** out) const {
    if (!out) return E_POINTER;
    *out = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }

  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(__uuidof(U), out->PutVoid());
  }
  HRESULT As(REFIID iid, void** out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, out);
  }

 private:
  T* p_ = nullptr;
};

// Queries `from` for the interface `iid` into `out`.
template <class U>
HRESULT QueryTo(IUnknown* from, REFIID iid, ComPtr<U>* out) {
  if (!from) return E_POINTER;
  return from->QueryInterface(iid, out->PutVoid());
}

// True when both pointers lead to the same COM object (compared by IUnknown).
inline bool SameObject(IUnknown* a, IUnknown* b) {
  if (!a || !b) return a == b;
  ComPtr<IUnknown> ua, ub;
  if (FAILED(a->QueryInterface(IID_IUnknown, ua.PutVoid()))) return false;
  if (FAILED(b->QueryInterface(IID_IUnknown, ub.PutVoid()))) return false;
  return ua.Get() == ub.Get();
}

}  // namespace com
