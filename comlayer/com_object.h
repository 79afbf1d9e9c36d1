// COM object scaffolding in the manner of ATL's CComObject.
//
// A class lists the interfaces it answers in a COM map:
//
//   class CThing : public IThing, public IOther {
//    public:
//     BEGIN_COM_MAP(CThing)
//       COM_INTERFACE_ENTRY(IThing)
//       COM_INTERFACE_ENTRY2(IDispatch, IThing)   // IDispatch through IThing
//       COM_INTERFACE_ENTRY(IOther)
//     END_COM_MAP()
//   };
//
// and is created as ComObject<CThing>, which supplies IUnknown (a thread-safe
// reference count; IUnknown answers through the first entry) and holds a
// module lock for as long as the object lives. `FinalConstruct` runs after
// construction when the class defines it.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <new>
#include <type_traits>
#include <utility>

#include "module_lock.h"

#define BEGIN_COM_MAP(cls)                                                \
  HRESULT InternalQueryInterface(REFIID riid, void** ppv) {               \
    if (!ppv) return E_POINTER;                                           \
    *ppv = nullptr;                                                       \
    bool unknownAsked = IsEqualIID(riid, IID_IUnknown);                   \
    using ComMapClass = cls;                                              \
    (void)sizeof(ComMapClass*);

#define COM_INTERFACE_ENTRY_IID(iid, itf)                                 \
    if (unknownAsked || IsEqualIID(riid, iid)) {                          \
      *ppv = static_cast<itf*>(this);                                     \
      static_cast<IUnknown*>(static_cast<itf*>(this))->AddRef();          \
      return S_OK;                                                        \
    }

#define COM_INTERFACE_ENTRY(itf) COM_INTERFACE_ENTRY_IID(__uuidof(itf), itf)

// Answers `itf` through the base `through` (for IDispatch on a dual interface).
#define COM_INTERFACE_ENTRY2(itf, through)                                \
    if (unknownAsked || IsEqualIID(riid, __uuidof(itf))) {                \
      *ppv = static_cast<itf*>(static_cast<through*>(this));              \
      static_cast<IUnknown*>(static_cast<through*>(this))->AddRef();      \
      return S_OK;                                                        \
    }

#define END_COM_MAP()                                                     \
    return E_NOINTERFACE;                                                 \
  }

namespace com {

template <class T, class = void>
struct HasFinalConstruct : std::false_type {};
template <class T>
struct HasFinalConstruct<T, std::void_t<decltype(std::declval<T&>().FinalConstruct())>> : std::true_type {};

template <class T>
class ComObject final : public T {
 public:
  template <class... Args>
  explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) { ModuleLock::Lock(); }
  ~ComObject() { ModuleLock::Unlock(); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return this->InternalQueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
  }

  // Creates an object with a reference count of 0 (like ATL's CreateInstance).
  template <class... Args>
  static HRESULT Create(ComObject** out, Args&&... args) {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto* p = new (std::nothrow) ComObject(std::forward<Args>(args)...);
    if (!p) return E_OUTOFMEMORY;
    if constexpr (HasFinalConstruct<T>::value) {
      p->AddRef();
      HRESULT hr = p->FinalConstruct();
      p->refs_ = 0;
      if (FAILED(hr)) { delete p; return hr; }
    }
    *out = p;
    return S_OK;
  }

  // Creates an object and queries it for `iid`; the only reference is the caller's.
  template <class... Args>
  static HRESULT CreateInstance(REFIID iid, void** ppv, Args&&... args) {
    ComObject* p = nullptr;
    HRESULT hr = Create(&p, std::forward<Args>(args)...);
    if (FAILED(hr)) { if (ppv) *ppv = nullptr; return hr; }
    p->AddRef();
    hr = p->QueryInterface(iid, ppv);
    p->Release();
    return hr;
  }

 private:
  LONG refs_ = 0;
};

}  // namespace com
