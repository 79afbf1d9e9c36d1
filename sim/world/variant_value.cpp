#include "world/variant_value.h"

#include <cstring>

namespace sim {
namespace {

HRESULT MakeByteArray(const Bytes& b, VARIANT* out) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(b.size()));
  if (!sa) return E_OUTOFMEMORY;
  if (!b.empty()) {
    void* data = nullptr;
    SafeArrayAccessData(sa, &data);
    std::memcpy(data, b.data(), b.size());
    SafeArrayUnaccessData(sa);
  }
  out->vt = VT_ARRAY | VT_UI1;
  out->parray = sa;
  return S_OK;
}

HRESULT MakeStringArray(const std::vector<std::wstring>& list, VARIANT* out) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(list.size()));
  if (!sa) return E_OUTOFMEMORY;
  for (LONG i = 0; i < static_cast<LONG>(list.size()); ++i) {
    BSTR b = SysAllocStringLen(list[i].data(), static_cast<UINT>(list[i].size()));
    SafeArrayPutElement(sa, &i, b);  // copies the string
    SysFreeString(b);
  }
  out->vt = VT_ARRAY | VT_BSTR;
  out->parray = sa;
  return S_OK;
}

bool ArrayStrings(SAFEARRAY* sa, VARTYPE vt, std::vector<std::wstring>* out) {
  if (!sa || SafeArrayGetDim(sa) != 1) return false;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(sa, 1, &lo);
  SafeArrayGetUBound(sa, 1, &hi);
  for (LONG i = lo; i <= hi; ++i) {
    if (vt == VT_BSTR) {
      BSTR b = nullptr;
      if (FAILED(SafeArrayGetElement(sa, &i, &b))) return false;
      out->emplace_back(b ? b : L"", b ? SysStringLen(b) : 0);
      SysFreeString(b);
    } else {
      VARIANT v;
      VariantInit(&v);
      if (FAILED(SafeArrayGetElement(sa, &i, &v))) return false;
      if (v.vt != VT_BSTR) { VariantClear(&v); return false; }
      out->emplace_back(v.bstrVal ? v.bstrVal : L"", v.bstrVal ? SysStringLen(v.bstrVal) : 0);
      VariantClear(&v);
    }
  }
  return true;
}

}  // namespace

HRESULT ValueToVariant(const Value& v, VARIANT* out) {
  if (!out) return E_POINTER;
  VariantClear(out);
  switch (v.type) {
    case ValueType::Empty: return S_OK;
    case ValueType::Long: out->vt = VT_I4; out->lVal = static_cast<LONG>(v.num); return S_OK;
    case ValueType::Bool: out->vt = VT_BOOL; out->boolVal = v.num ? VARIANT_TRUE : VARIANT_FALSE; return S_OK;
    case ValueType::Double: out->vt = VT_R8; out->dblVal = v.dbl; return S_OK;
    case ValueType::Date: out->vt = VT_DATE; out->date = v.dbl; return S_OK;
    case ValueType::String:
      out->vt = VT_BSTR;
      out->bstrVal = SysAllocStringLen(v.str.data(), static_cast<UINT>(v.str.size()));
      return S_OK;
    case ValueType::Binary: return MakeByteArray(v.bin, out);
    case ValueType::StringList: return MakeStringArray(v.list, out);
    case ValueType::Error: out->vt = VT_ERROR; out->scode = static_cast<SCODE>(v.num); return S_OK;
  }
  return E_UNEXPECTED;
}

bool VariantBytes(const VARIANT& in, Bytes* out) {
  const VARIANT* v = &in;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  SAFEARRAY* sa = nullptr;
  if (v->vt == (VT_ARRAY | VT_UI1)) sa = v->parray;
  else if (v->vt == (VT_BYREF | VT_ARRAY | VT_UI1) && v->pparray) sa = *v->pparray;
  if (!sa || SafeArrayGetDim(sa) != 1) return false;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(sa, 1, &lo);
  SafeArrayGetUBound(sa, 1, &hi);
  out->assign(static_cast<size_t>(hi - lo + 1), 0);
  if (out->empty()) return true;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(sa, &data))) return false;
  std::memcpy(out->data(), data, out->size());
  SafeArrayUnaccessData(sa);
  return true;
}

HRESULT VariantToValue(const VARIANT& in, uint16_t typeHint, Value* out) {
  const VARIANT* v = &in;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  Bytes bytes;
  if (VariantBytes(*v, &bytes)) { *out = Value::Binary(std::move(bytes)); return S_OK; }
  if (v->vt == (VT_ARRAY | VT_BSTR) || v->vt == (VT_ARRAY | VT_VARIANT)) {
    std::vector<std::wstring> list;
    if (!ArrayStrings(v->parray, VARTYPE(v->vt & ~VT_ARRAY), &list)) return E_INVALIDARG;
    *out = Value::List(std::move(list));
    return S_OK;
  }
  switch (v->vt) {
    case VT_EMPTY: case VT_NULL: *out = Value(); return S_OK;
    case VT_BSTR: *out = Value::String(v->bstrVal ? std::wstring_view(v->bstrVal, SysStringLen(v->bstrVal)) : L""); return S_OK;
    case VT_BOOL: *out = typeHint == kPtLong ? Value::Long(v->boolVal ? 1 : 0) : Value::Bool(v->boolVal != VARIANT_FALSE); return S_OK;
    case VT_DATE: *out = typeHint == kPtDouble ? Value::Double(v->date) : Value::Date(v->date); return S_OK;
    case VT_R4: case VT_R8: {
      double d = v->vt == VT_R4 ? v->fltVal : v->dblVal;
      *out = typeHint == kPtSysTime ? Value::Date(d) : Value::Double(d);
      return S_OK;
    }
    case VT_ERROR: *out = Value::Error(v->scode); return S_OK;
    default: break;
  }
  VARIANT tmp;
  VariantInit(&tmp);
  if (FAILED(VariantChangeType(&tmp, const_cast<VARIANT*>(v), 0, VT_I4))) return E_INVALIDARG;
  *out = typeHint == kPtBoolean ? Value::Bool(tmp.lVal != 0) : Value::Long(tmp.lVal);
  return S_OK;
}

}  // namespace sim
