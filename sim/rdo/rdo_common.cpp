#include "rdo_common.h"

#include "message_object.h"
#include "world/variant_value.h"

namespace sim {

World& TheWorld() { return World::Instance(); }

HRESULT Injected(std::wstring_view op) {
  HRESULT hr = S_OK;
  return TheWorld().ShouldFail(op, &hr) ? hr : S_OK;
}

HRESULT ReturnString(std::wstring_view s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReturnStringOrNull(std::wstring_view s, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return s.empty() ? S_OK : ReturnString(s, out);
}

static const VARIANT& Deref(const VARIANT& v) {
  return v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal ? *v.pvarVal : v;
}

bool ArgString(const VARIANT& in, std::wstring* out) {
  const VARIANT& v = Deref(in);
  BSTR b = nullptr;
  if (v.vt == VT_BSTR) b = v.bstrVal;
  else if (v.vt == (VT_BYREF | VT_BSTR) && v.pbstrVal) b = *v.pbstrVal;
  else return false;
  out->assign(b ? b : L"", b ? SysStringLen(b) : 0);
  return true;
}

bool ArgLong(const VARIANT& in, long* out) {
  const VARIANT& v = Deref(in);
  switch (v.vt) {
    case VT_I2: *out = v.iVal; return true;
    case VT_I4: *out = v.lVal; return true;
    case VT_UI4: *out = static_cast<long>(v.ulVal); return true;
    case VT_INT: *out = v.intVal; return true;
    case VT_BOOL: *out = v.boolVal ? 1 : 0; return true;
    case VT_BYREF | VT_I4: *out = v.plVal ? *v.plVal : 0; return v.plVal != nullptr;
    case VT_BYREF | VT_I2: *out = v.piVal ? *v.piVal : 0; return v.piVal != nullptr;
    default: return false;
  }
}

bool IsMissing(const VARIANT& in) {
  const VARIANT& v = Deref(in);
  return v.vt == VT_EMPTY || v.vt == VT_NULL || (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND);
}

std::wstring DescribeFlags(const VARIANT& v) {
  long n = 0;
  if (ArgLong(v, &n)) return L"flags=" + std::to_wstring(n);
  return L"flags=none";
}

bool ResolveObject(IUnknown* object, Resolved* out) {
  *out = Resolved();
  if (!object) return false;
  com::ComPtr<ISimObject> sim;
  if (SUCCEEDED(object->QueryInterface(IID_ISimObject, sim.PutVoid()))) {
    out->kind = sim->SimObjectKind();
    out->id = sim->SimObjectId();
    out->message = sim->SimMessage();
    out->holder = object;
    return true;
  }
  // Outlook's objects: their MAPIOBJECT.
  com::ComPtr<IDispatch> disp;
  if (FAILED(object->QueryInterface(IID_IDispatch, disp.PutVoid()))) return false;
  DISPPARAMS none = {};
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = disp->Invoke(0xF100, IID_NULL, 0x400, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  if (FAILED(hr)) return false;
  bool ok = false;
  if ((result.vt == VT_UNKNOWN || result.vt == VT_DISPATCH) && result.punkVal &&
      SUCCEEDED(result.punkVal->QueryInterface(IID_ISimObject, sim.PutVoid()))) {
    ok = ResolveObject(sim.Get(), out);
  }
  VariantClear(&result);
  return ok;
}

bool ResolveVariant(const VARIANT& in, Resolved* out) {
  const VARIANT& v = Deref(in);
  if (v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) return ResolveObject(v.punkVal, out);
  if (v.vt == (VT_BYREF | VT_DISPATCH) && v.ppdispVal) return ResolveObject(*v.ppdispVal, out);
  if (v.vt == (VT_BYREF | VT_UNKNOWN) && v.ppunkVal) return ResolveObject(*v.ppunkVal, out);
  return false;
}

ObjId StoreOf(const Resolved& r) {
  switch (r.kind) {
    case SimKind::Store: return r.id;
    case SimKind::Folder: {
      auto f = TheWorld().GetFolder(r.id);
      return f ? f->store : 0;
    }
    case SimKind::Message: return r.message ? r.message->Store() : 0;
    default: return 0;
  }
}

HRESULT GetPropOf(const Resolved& r, uint32_t tag, VARIANT* value) {
  VariantInit(value);
  switch (r.kind) {
    case SimKind::Store: return ValueToVariant(TheWorld().ReadStoreProp(r.id, tag), value);
    case SimKind::Folder: return ValueToVariant(TheWorld().ReadFolderProp(r.id, tag), value);
    case SimKind::Message: {
      PropKey key;
      if (!r.message || !TheWorld().KeyForTag(r.message->Store(), tag, &key)) return S_OK;
      return ValueToVariant(r.message->Read(key), value);
    }
    default: return S_OK;
  }
}

HRESULT SetPropOf(const Resolved& r, uint32_t tag, const VARIANT& value, bool commit) {
  if (r.kind == SimKind::Folder && TagId(tag) == TagId(tags::kComment)) {
    Value v;
    if (FAILED(VariantToValue(value, TagType(tag), &v))) return E_INVALIDARG;
    TheWorld().SetFolderDescription(r.id, v.str);
    return S_OK;
  }
  if (r.kind == SimKind::Folder) {
    Value v;
    if (HRESULT hr = VariantToValue(value, TagType(tag), &v); FAILED(hr)) return hr;
    return TheWorld().SetFolderProp(r.id, tag, std::move(v)) ? S_OK : MAPI_E_INVALID_PARAMETER;
  }
  if (r.kind != SimKind::Message || !r.message) return E_ACCESSDENIED;
  PropKey key;
  if (!TheWorld().KeyForTag(r.message->Store(), tag, &key)) return MAPI_E_INVALID_PARAMETER;
  if (!key.IsNamed() && (key.id == TagId(tags::kEntryId) || key.id == TagId(tags::kSourceKey) ||
                         key.id == TagId(tags::kChangeKey))) {
    return E_ACCESSDENIED;
  }
  Value v;
  HRESULT hr = VariantToValue(value, TagType(tag), &v);
  if (FAILED(hr)) return hr;
  if (commit && r.message->Item()) {
    auto info = TheWorld().GetItem(r.message->Item());
    if (info && info->readOnly) return E_ACCESSDENIED;
  }
  r.message->Write(key, std::move(v));
  return commit ? r.message->Commit() : S_OK;
}

}  // namespace sim
