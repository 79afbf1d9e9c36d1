// Fakes of Outlook's application and "MAPI" namespace, reached late-bound
// like the real ones, with connection points that can refuse Advise; and a
// recorder of message boxes that closes them.
#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_object.h"
#include "com_ptr.h"
#include "connection_point.h"
#include "outlook.h"
#include "variant.h"

namespace testing_support {

// Answers a fixed set of member names; Invoke goes to OnInvoke.
class FakeDispatch : public IDispatch {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override { *t = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    return OnInvoke(id, params, result);
  }

 protected:
  virtual ~FakeDispatch() = default;
  virtual const wchar_t* const* Names() const = 0;  // DISPID i+1 is Names()[i]; ends with null
  virtual HRESULT OnInvoke(DISPID id, DISPPARAMS* params, VARIANT* result) = 0;
};

class FakeNameSpace : public FakeDispatch, public IConnectionPointContainer {
 public:
  explicit FakeNameSpace(IDispatch* application);

  BEGIN_COM_MAP(FakeNameSpace)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()

  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** e) override { *e = nullptr; return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** cp) override {
    return points_.FindConnectionPoint(iid, cp);
  }
  com::ConnectionPoint* Events() const { return points_.Find(DIID_NameSpaceEvents); }

 protected:
  const wchar_t* const* Names() const override;
  HRESULT OnInvoke(DISPID id, DISPPARAMS* params, VARIANT* result) override;

 private:
  IDispatch* application_;  // not owned: the application owns this namespace
  com::ConnectionPoints points_;
};

class FakeApplication : public FakeDispatch, public IConnectionPointContainer {
 public:
  FakeApplication();
  ~FakeApplication();

  BEGIN_COM_MAP(FakeApplication)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_IID(IID__Application, IDispatch)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()

  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** e) override { *e = nullptr; return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** cp) override {
    return points_.FindConnectionPoint(iid, cp);
  }

  com::ConnectionPoint* Events() const { return points_.Find(DIID_ApplicationEvents); }
  com::ConnectionPoint* NameSpaceEvents() const;

  HRESULT failGetNamespace = S_OK;
  std::wstring version = L"16.0.4266";
  std::vector<std::wstring> namespacesAsked;

 protected:
  const wchar_t* const* Names() const override;
  HRESULT OnInvoke(DISPID id, DISPPARAMS* params, VARIANT* result) override;

 private:
  com::ConnectionPoints points_;
  com::ComObject<FakeNameSpace>* nameSpace_ = nullptr;
};

// The Office add-in object handed to OnConnection.
class FakeComAddIn : public FakeDispatch {
 public:
  BEGIN_COM_MAP(FakeComAddIn)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_IID(IID_COMAddIn, IDispatch)
  END_COM_MAP()

 protected:
  const wchar_t* const* Names() const override;
  HRESULT OnInvoke(DISPID, DISPPARAMS*, VARIANT*) override { return DISP_E_MEMBERNOTFOUND; }
};

// Records every message box of this process ("#32770" windows) and closes it.
class MessageBoxRecorder {
 public:
  struct Box {
    std::wstring caption;
    std::wstring text;
  };
  MessageBoxRecorder();
  ~MessageBoxRecorder();
  std::vector<Box> Boxes();

 private:
  void Watch();
  std::mutex mutex_;
  std::vector<Box> boxes_;
  std::vector<HWND> seen_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The reference count of `p` (by an AddRef/Release pair).
ULONG RefCount(IUnknown* p);

}  // namespace testing_support
