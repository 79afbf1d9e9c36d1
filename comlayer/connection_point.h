// Event sources: a connection point per outgoing dispinterface, and the
// container that finds them (for objects that raise events, such as the
// simulated Outlook's).
//
// Fire() calls every sink advised at the moment of the call; a sink may
// unadvise itself or others from inside its handler.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "com_object.h"
#include "com_ptr.h"
#include "variant.h"

namespace com {

class ConnectionPoint : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* container, const IID& iid) : container_(container), iid_(iid) {}

  BEGIN_COM_MAP(ConnectionPoint)
    COM_INTERFACE_ENTRY(IConnectionPoint)
  END_COM_MAP()

  // Makes Advise fail with `hr` (S_OK: normal behaviour again).
  void FailAdvise(HRESULT hr) { failAdvise_ = hr; }
  // Asked at every Advise; a failed HRESULT makes that Advise fail with it
  // (for failures injected per call).
  void SetAdviseHook(std::function<HRESULT()> hook) { std::lock_guard lock(mutex_); adviseHook_ = std::move(hook); }
  size_t SinkCount();
  // Calls Invoke(dispid) on every advised sink with `args` in natural order.
  void Fire(DISPID dispid, std::initializer_list<Variant> args);
  // Forgets the container (it is going away) and every sink.
  void Disconnect();

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) override;

 private:
  struct Sink { DWORD cookie; ComPtr<IDispatch> disp; };
  std::mutex mutex_;
  IConnectionPointContainer* container_;  // not owned: the container owns this point
  IID iid_;
  std::vector<Sink> sinks_;
  DWORD nextCookie_ = 1;
  HRESULT failAdvise_ = S_OK;
  std::function<HRESULT()> adviseHook_;
};

// Holds the connection points of one source object; the object answers
// IConnectionPointContainer by forwarding here.
class ConnectionPoints {
 public:
  ConnectionPoints(IConnectionPointContainer* owner, std::initializer_list<IID> iids);
  ~ConnectionPoints();
  ConnectionPoints(const ConnectionPoints&) = delete;
  ConnectionPoints& operator=(const ConnectionPoints&) = delete;

  ConnectionPoint* Find(const IID& iid) const;
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) const;

 private:
  std::vector<std::pair<IID, ComObject<ConnectionPoint>*>> points_;
};

}  // namespace com
