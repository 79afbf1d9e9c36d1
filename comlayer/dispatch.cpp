#include "dispatch.h"

#include <vector>

namespace com {

HRESULT GetDispId(IDispatch* disp, const wchar_t* name, DISPID* id) {
  if (!disp || !name || !id) return E_POINTER;
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  return disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

HRESULT InvokeById(IDispatch* disp, DISPID id, WORD flags, std::initializer_list<Variant> args, VARIANT* result) {
  if (!disp) return E_POINTER;
  std::vector<VARIANT> reversed(args.size());
  size_t i = args.size();
  for (const Variant& a : args) reversed[--i] = a;  // shallow: args outlive the call
  DISPPARAMS params{reversed.data(), nullptr, UINT(args.size()), 0};
  DISPID named = DISPID_PROPERTYPUT;
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
  }
  Variant out;
  EXCEPINFO info{};
  UINT argErr = 0;
  HRESULT hr = disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? &out : nullptr, &info, &argErr);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  if (hr == DISP_E_EXCEPTION && info.scode) hr = info.scode;
  if (result) {
    VariantClear(result);
    if (SUCCEEDED(hr)) { *result = out; VariantInit(&out); }
  }
  return hr;
}

HRESULT InvokeByName(IDispatch* disp, const wchar_t* name, WORD flags, std::initializer_list<Variant> args,
                     VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = GetDispId(disp, name, &id);
  if (FAILED(hr)) return hr;
  return InvokeById(disp, id, flags, args, result);
}

HRESULT PutProperty(IDispatch* disp, const wchar_t* name, const Variant& value) {
  return InvokeByName(disp, name, DISPATCH_PROPERTYPUT, {value}, nullptr);
}

HRESULT ResultToDispatch(VARIANT& result, IDispatch** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (result.vt == VT_DISPATCH) {
    if (!result.pdispVal) return E_NOINTERFACE;
    return result.pdispVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(out));
  }
  if (result.vt == VT_UNKNOWN && result.punkVal)
    return result.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(out));
  return E_NOINTERFACE;
}

const VARIANT* DispArgs::At(UINT i) const {
  if (!p_ || i >= p_->cArgs) return nullptr;
  const VARIANT* v = &p_->rgvarg[p_->cArgs - 1 - i];
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  return v;
}

IDispatch* DispArgs::DispatchAt(UINT i) const {
  const VARIANT* v = At(i);
  if (!v) return nullptr;
  switch (v->vt) {
    case VT_DISPATCH: return v->pdispVal;
    case VT_DISPATCH | VT_BYREF: return v->ppdispVal ? *v->ppdispVal : nullptr;
    default: return nullptr;
  }
}

HRESULT IdsOfNames(std::span<const DispMember> members, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    if (i == 0 && names[0])
      for (const DispMember& m : members)
        if (_wcsicmp(m.name, names[0]) == 0) ids[0] = m.id;
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

}  // namespace com
