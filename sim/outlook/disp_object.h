// IDispatch by hand-written name tables, for the simulated Outlook objects.
//
// Each object lists its members (name, DISPID) and answers Invoke by DISPID.
// Names are matched without regard to case, as Outlook's type information
// does. Outlook's own DISPIDs are used wherever callers rely on them.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <span>
#include <string>

#include "dispatch.h"
#include "variant.h"

namespace simol {

struct DispMember {
  const wchar_t* name;
  DISPID id;
};

// DISPIDs every Outlook object answers.
enum CommonDispId : DISPID {
  kDispApplication = 0xF000,
  kDispParent = 0xF001,
  kDispClass = 0xF00A,
  kDispSession = 0xF00B,
};

// Outlook's objects live in the apartment of its user-interface thread: an
// object answers only on the thread that made it, and a call from any other
// thread fails with RPC_E_WRONG_THREAD (the call record notes it as
// "Outlook.WrongThread").
class DispObject : public IDispatch {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* n) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ti) override;
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override;

 protected:
  virtual ~DispObject() = default;
  virtual std::span<const DispMember> Members() const = 0;
  // `result` is never null and is empty on entry.
  virtual HRESULT InvokeMember(DISPID id, WORD flags, const com::DispArgs& args, VARIANT* result) = 0;

 private:
  bool OnOwnThread() const;
  const DWORD owner_ = GetCurrentThreadId();
};

// Result helpers: each stores the value into an empty VARIANT and returns S_OK.
HRESULT ReturnString(VARIANT* result, const std::wstring& s);
HRESULT ReturnLong(VARIANT* result, long v);
HRESULT ReturnBool(VARIANT* result, bool v);
// An object result (VT_DISPATCH, null allowed); takes a new reference.
HRESULT ReturnObject(VARIANT* result, IDispatch* p);

// Argument helpers: text or number of argument i; false when absent or not convertible.
bool ArgString(const com::DispArgs& args, UINT i, std::wstring* out);
bool ArgLong(const com::DispArgs& args, UINT i, long* out);
inline bool IsPut(WORD flags) { return (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0; }

}  // namespace simol
