// Late-bound calls through IDispatch, by member name or by DISPID.
//
// Arguments are given in their natural order and passed to Invoke in the
// reverse order IDispatch expects. `result` may be null; when given it is
// cleared first and holds the result only on success.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <initializer_list>
#include <span>

#include "variant.h"

namespace com {

// DISPID of `name` on `disp`.
HRESULT GetDispId(IDispatch* disp, const wchar_t* name, DISPID* id);

HRESULT InvokeById(IDispatch* disp, DISPID id, WORD flags, std::initializer_list<Variant> args, VARIANT* result);
HRESULT InvokeByName(IDispatch* disp, const wchar_t* name, WORD flags, std::initializer_list<Variant> args,
                     VARIANT* result);

// Convenience forms.
inline HRESULT GetProperty(IDispatch* disp, const wchar_t* name, VARIANT* result) {
  return InvokeByName(disp, name, DISPATCH_PROPERTYGET, {}, result);
}
inline HRESULT GetPropertyById(IDispatch* disp, DISPID id, VARIANT* result) {
  return InvokeById(disp, id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, result);
}
HRESULT PutProperty(IDispatch* disp, const wchar_t* name, const Variant& value);
inline HRESULT CallMethod(IDispatch* disp, const wchar_t* name, std::initializer_list<Variant> args,
                          VARIANT* result = nullptr) {
  return InvokeByName(disp, name, DISPATCH_METHOD, args, result);
}

// Reads the IDispatch result of a call into `out` (E_NOINTERFACE when the
// result holds no object).
HRESULT ResultToDispatch(VARIANT& result, IDispatch** out);

// Arguments of an incoming Invoke, read in their natural order.
class DispArgs {
 public:
  explicit DispArgs(const DISPPARAMS* p) : p_(p) {}
  UINT Count() const { return p_ ? p_->cArgs : 0; }
  // The i-th argument (0 = first), with VT_BYREF|VT_VARIANT unwrapped; null when absent.
  const VARIANT* At(UINT i) const;
  // The i-th argument as an object pointer (VT_DISPATCH or VT_UNKNOWN, by
  // value or by reference); null when it is none.
  IDispatch* DispatchAt(UINT i) const;

 private:
  const DISPPARAMS* p_;
};

// One member of a hand-written dispatch interface.
struct DispMember {
  const wchar_t* name;
  DISPID id;
};
// GetIDsOfNames over a fixed member table: the member name (the first name)
// is looked up without regard to case; argument names are not supported and
// come back as DISPID_UNKNOWN with DISP_E_UNKNOWNNAME.
HRESULT IdsOfNames(std::span<const DispMember> members, LPOLESTR* names, UINT count, DISPID* ids);

}  // namespace com
