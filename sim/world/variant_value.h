// Conversions between the world's values and VARIANTs.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include "world/value.h"

namespace sim {

// VT_EMPTY, VT_I4, VT_BOOL, VT_R8, VT_DATE, VT_BSTR, VT_ARRAY|VT_UI1,
// VT_ARRAY|VT_BSTR or VT_ERROR. *out is cleared first.
HRESULT ValueToVariant(const Value& v, VARIANT* out);
// The inverse; other integer types become Long. E_INVALIDARG for a type the
// world cannot hold. `typeHint` (a MAPI property type, 0 for none) decides
// between Long and Bool, and between Double and Date.
HRESULT VariantToValue(const VARIANT& in, uint16_t typeHint, Value* out);

// Bytes of a VT_ARRAY|VT_UI1 (also by reference); false for anything else.
bool VariantBytes(const VARIANT& in, Bytes* out);

}  // namespace sim
