// Variant: an owning VARIANT holder (VariantInit on construction,
// VariantClear on destruction and reassignment).
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <string_view>

#include "bstr.h"

namespace com {

class Variant : public VARIANT {
 public:
  Variant() { VariantInit(this); }
  Variant(const Variant& o) { VariantInit(this); VariantCopy(this, const_cast<Variant*>(&o)); }
  Variant(const VARIANT& o) { VariantInit(this); VariantCopy(this, const_cast<VARIANT*>(&o)); }
  Variant(Variant&& o) noexcept { *static_cast<VARIANT*>(this) = o; VariantInit(&o); }
  explicit Variant(long v) { VariantInit(this); vt = VT_I4; lVal = v; }
  explicit Variant(int v) : Variant(static_cast<long>(v)) {}
  explicit Variant(short v) { VariantInit(this); vt = VT_I2; iVal = v; }
  explicit Variant(bool v) { VariantInit(this); vt = VT_BOOL; boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; }
  explicit Variant(double v, VARTYPE type = VT_R8) { VariantInit(this); vt = type; dblVal = v; if (type == VT_DATE) date = v; }
  explicit Variant(const wchar_t* s) { VariantInit(this); vt = VT_BSTR; bstrVal = SysAllocString(s ? s : L""); }
  explicit Variant(std::wstring_view s) {
    VariantInit(this); vt = VT_BSTR; bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  }
  explicit Variant(IDispatch* p) { VariantInit(this); vt = VT_DISPATCH; pdispVal = p; if (p) p->AddRef(); }
  explicit Variant(IUnknown* p) { VariantInit(this); vt = VT_UNKNOWN; punkVal = p; if (p) p->AddRef(); }
  ~Variant() { VariantClear(this); }

  Variant& operator=(const Variant& o) { if (this != &o) { VariantClear(this); VariantCopy(this, const_cast<Variant*>(&o)); } return *this; }
  Variant& operator=(Variant&& o) noexcept {
    if (this != &o) { VariantClear(this); *static_cast<VARIANT*>(this) = o; VariantInit(&o); }
    return *this;
  }

  // Out-parameter address; clears the current value first.
  VARIANT* Put() { VariantClear(this); return this; }
  void Clear() { VariantClear(this); }
  bool IsEmpty() const { return vt == VT_EMPTY || vt == VT_NULL; }

  // Converted copies; the fallback is returned when the value cannot be converted.
  long AsLong(long fallback = 0) const {
    if (vt == VT_I4) return lVal;
    Variant tmp;
    return SUCCEEDED(VariantChangeType(&tmp, const_cast<Variant*>(this), 0, VT_I4)) ? tmp.lVal : fallback;
  }
  double AsDouble(double fallback = 0) const {
    if (vt == VT_R8 || vt == VT_DATE) return dblVal;
    Variant tmp;
    return SUCCEEDED(VariantChangeType(&tmp, const_cast<Variant*>(this), 0, VT_R8)) ? tmp.dblVal : fallback;
  }
  std::wstring AsString() const {
    if (vt == VT_BSTR) return bstrVal ? std::wstring(bstrVal, SysStringLen(bstrVal)) : std::wstring();
    Variant tmp;
    if (FAILED(VariantChangeType(&tmp, const_cast<Variant*>(this), 0, VT_BSTR)) || !tmp.bstrVal) return {};
    return std::wstring(tmp.bstrVal, SysStringLen(tmp.bstrVal));
  }
  // True for a VT_BOOL VARIANT_TRUE and for any non-zero number.
  bool AsTruth() const {
    if (vt == VT_BOOL) return boolVal != VARIANT_FALSE;
    return AsLong(0) != 0;
  }

};

// A VT_BSTR VARIANT for an [in] argument that lends `text` (which outlives
// the call) instead of a copy of it: the callee never frees an [in]
// argument, so an argument passed for every item costs no allocation. A
// null BSTR is the empty text.
inline VARIANT LentBstr(const Bstr& text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text.Get();
  return v;
}

}  // namespace com
