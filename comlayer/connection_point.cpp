#include "connection_point.h"

#include <vector>

namespace com {

size_t ConnectionPoint::SinkCount() {
  std::lock_guard lock(mutex_);
  return sinks_.size();
}

void ConnectionPoint::Fire(DISPID dispid, std::initializer_list<Variant> args) {
  std::vector<ComPtr<IDispatch>> targets;
  {
    std::lock_guard lock(mutex_);
    for (const Sink& s : sinks_) targets.push_back(s.disp);
  }
  std::vector<VARIANT> reversed(args.size());
  size_t i = args.size();
  for (const Variant& a : args) reversed[--i] = a;
  for (const ComPtr<IDispatch>& t : targets) {
    DISPPARAMS params{reversed.data(), nullptr, UINT(reversed.size()), 0};
    t->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
}

void ConnectionPoint::Disconnect() {
  std::vector<Sink> dropped;
  std::lock_guard lock(mutex_);
  container_ = nullptr;
  dropped.swap(sinks_);
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  std::lock_guard lock(mutex_);
  *out = container_;
  if (!container_) return E_UNEXPECTED;
  container_->AddRef();
  return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  if (FAILED(failAdvise_)) return failAdvise_;
  std::function<HRESULT()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = adviseHook_;
  }
  if (hook) {
    HRESULT hr = hook();
    if (FAILED(hr)) return hr;
  }
  ComPtr<IDispatch> disp;
  if (FAILED(sink->QueryInterface(iid_, disp.PutVoid())) &&
      FAILED(sink->QueryInterface(IID_IDispatch, disp.PutVoid())))
    return CONNECT_E_CANNOTCONNECT;
  std::lock_guard lock(mutex_);
  *cookie = nextCookie_++;
  sinks_.push_back({*cookie, std::move(disp)});
  return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
  ComPtr<IDispatch> released;  // released after the lock is let go
  std::lock_guard lock(mutex_);
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->cookie == cookie) {
      released = std::move(it->disp);
      sinks_.erase(it);
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

ConnectionPoints::ConnectionPoints(IConnectionPointContainer* owner, std::initializer_list<IID> iids) {
  for (const IID& iid : iids) {
    ComObject<ConnectionPoint>* cp = nullptr;
    if (SUCCEEDED(ComObject<ConnectionPoint>::Create(&cp, owner, iid))) {
      cp->AddRef();
      points_.emplace_back(iid, cp);
    }
  }
}

ConnectionPoints::~ConnectionPoints() {
  for (auto& [iid, cp] : points_) {
    cp->Disconnect();
    cp->Release();
  }
}

ConnectionPoint* ConnectionPoints::Find(const IID& iid) const {
  for (auto& [id, cp] : points_)
    if (IsEqualIID(id, iid)) return cp;
  return nullptr;
}

HRESULT ConnectionPoints::FindConnectionPoint(REFIID iid, IConnectionPoint** out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  ConnectionPoint* cp = Find(iid);
  if (!cp) return CONNECT_E_NOCONNECTION;
  *out = cp;
  cp->AddRef();
  return S_OK;
}

}  // namespace com
