// Dispatch event sinks in the manner of ATL's IDispEventSimpleImpl.
//
// An owner declares a sink map and holds one DispEventSink per source:
//
//   BEGIN_SINK_MAP(CConnect)
//     SINK_ENTRY(1, 0xF007, &CConnect::OnQuit)
//   END_SINK_MAP()
//   com::DispEventSink<CConnect> m_appSink{this, 1, DIID_ApplicationEvents};
//
// Handlers take the event's arguments in their natural order through
// DispArgs (IDispatch passes them reversed). While advised, a sink holds a
// reference on its owner (through Owner::GetUnknown()), so a source can never
// call into a freed owner; Unadvise gives it back. References that a source
// takes on the sink count on the owner too.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <span>

#include "com_ptr.h"
#include "dispatch.h"

namespace com {

template <class Owner>
struct SinkEntry {
  UINT sinkId;
  DISPID dispid;
  HRESULT (Owner::*handler)(const DispArgs&);
};

#define BEGIN_SINK_MAP(cls)                                                          \
  static std::span<const com::SinkEntry<cls>> SinkMap() {                            \
    using SinkOwner = cls;                                                           \
    static const com::SinkEntry<cls> entries[] = {
#define SINK_ENTRY(id, dispid, handler) {id, static_cast<DISPID>(dispid), handler},
#define END_SINK_MAP()                                                               \
    };                                                                               \
    (void)sizeof(SinkOwner*);                                                        \
    return entries;                                                                  \
  }

template <class Owner>
class DispEventSink final : public IDispatch {
 public:
  DispEventSink(Owner* owner, UINT sinkId, const IID& diid) : owner_(owner), sinkId_(sinkId), diid_(diid) {}
  DispEventSink(const DispEventSink&) = delete;
  DispEventSink& operator=(const DispEventSink&) = delete;
  ~DispEventSink() { Unadvise(); }

  bool IsAdvised() const { return cookie_ != 0; }

  // Connects to `source`'s connection point for the sink's event interface.
  // E_FAIL when already advised.
  HRESULT Advise(IUnknown* source) {
    if (IsAdvised()) return E_FAIL;
    if (!source) return E_POINTER;
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
    if (FAILED(hr)) return hr;
    ComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(diid_, point.Put());
    if (FAILED(hr)) return hr;
    DWORD cookie = 0;
    hr = point->Advise(static_cast<IDispatch*>(this), &cookie);
    if (FAILED(hr)) return hr;
    cookie_ = cookie;
    point_ = point;
    owner_->GetUnknown()->AddRef();
    return S_OK;
  }

  // Disconnects; harmless when not advised. The sink counts as unadvised
  // afterwards even when the source refuses.
  HRESULT Unadvise() {
    if (!IsAdvised()) return CONNECT_E_NOCONNECTION;
    DWORD cookie = cookie_;
    ComPtr<IConnectionPoint> point = std::move(point_);
    cookie_ = 0;
    HRESULT hr = point->Unadvise(cookie);
    owner_->GetUnknown()->Release();  // may be the owner's last reference
    return hr;
  }

  // IUnknown: the sink lives inside its owner, so every reference to the
  // sink is a reference to the owner. A source that still holds the sink
  // after the owner's handler has unadvised it (while its Invoke unwinds)
  // therefore never releases into a freed owner.
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, diid_)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return owner_->GetUnknown()->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner_->GetUnknown()->Release(); }

  STDMETHODIMP GetTypeInfoCount(UINT* n) override { if (n) *n = 0; return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ti) override { if (ti) *ti = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    for (const SinkEntry<Owner>& e : Owner::SinkMap()) {
      if (e.sinkId != sinkId_ || e.dispid != id) continue;
      // The handler may unadvise this sink and drop the owner's last outside
      // reference; keep the owner alive until it returns.
      ComPtr<IUnknown> keep(owner_->GetUnknown());
      return (owner_->*e.handler)(DispArgs(params));
    }
    return S_OK;  // events the owner does not handle are ignored
  }

 private:
  Owner* owner_;
  UINT sinkId_;
  IID diid_;
  DWORD cookie_ = 0;
  ComPtr<IConnectionPoint> point_;
};

}  // namespace com
