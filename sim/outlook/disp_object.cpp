#include "disp_object.h"

#include <cwctype>

#include "world/world.h"

namespace simol {
namespace {

bool SameName(const wchar_t* a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b)
    if (std::towlower(*a) != std::towlower(*b)) return false;
  return *a == *b;
}

}  // namespace

STDMETHODIMP DispObject::GetTypeInfoCount(UINT* n) {
  if (!n) return E_POINTER;
  *n = 0;
  return S_OK;
}

STDMETHODIMP DispObject::GetTypeInfo(UINT, LCID, ITypeInfo** ti) {
  if (ti) *ti = nullptr;
  return E_NOTIMPL;
}

bool DispObject::OnOwnThread() const {
  if (GetCurrentThreadId() == owner_) return true;
  sim::World::Instance().Record(L"Outlook.WrongThread", L"");
  return false;
}

STDMETHODIMP DispObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (!OnOwnThread()) return RPC_E_WRONG_THREAD;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (count == 0) return S_OK;
  for (const DispMember& m : Members()) {
    if (SameName(m.name, names[0])) {
      ids[0] = m.id;
      break;
    }
  }
  if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  if (count > 1) hr = DISP_E_UNKNOWNNAME;  // named arguments are not supported
  return hr;
}

STDMETHODIMP DispObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                EXCEPINFO*, UINT*) {
  com::Variant scratch;
  VARIANT* out = result ? result : &scratch;
  if (result) VariantInit(result);
  if (!OnOwnThread()) return RPC_E_WRONG_THREAD;
  HRESULT hr = InvokeMember(id, flags, com::DispArgs(params), out);
  if (FAILED(hr)) VariantClear(out);
  return hr;
}

HRESULT ReturnString(VARIANT* result, const std::wstring& s) {
  result->vt = VT_BSTR;
  result->bstrVal = SysAllocStringLen(s.data(), UINT(s.size()));
  return result->bstrVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReturnLong(VARIANT* result, long v) {
  result->vt = VT_I4;
  result->lVal = v;
  return S_OK;
}

HRESULT ReturnBool(VARIANT* result, bool v) {
  result->vt = VT_BOOL;
  result->boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT ReturnObject(VARIANT* result, IDispatch* p) {
  result->vt = VT_DISPATCH;
  result->pdispVal = p;
  if (p) p->AddRef();
  return S_OK;
}

bool ArgString(const com::DispArgs& args, UINT i, std::wstring* out) {
  const VARIANT* v = args.At(i);
  if (!v || v->vt == VT_ERROR || v->vt == VT_EMPTY) return false;
  *out = com::Variant(*v).AsString();
  return true;
}

bool ArgLong(const com::DispArgs& args, UINT i, long* out) {
  const VARIANT* v = args.At(i);
  if (!v || v->vt == VT_ERROR || v->vt == VT_EMPTY) return false;
  com::Variant tmp;
  if (FAILED(VariantChangeType(&tmp, const_cast<VARIANT*>(v), 0, VT_I4))) return false;
  *out = tmp.lVal;
  return true;
}

}  // namespace simol
