#include "table_walk.h"

#include <algorithm>

#include "variant.h"

namespace {

// Calls onRow for every row of one batch; false when the batch could not be
// read as an array.
bool ForEachRow(const VARIANT& batch, long* rows, TableWalkResult* result, const TableRowFn& onRow) {
  LONG lower = 0, upper = -1;
  HRESULT hr = SafeArrayGetLBound(batch.parray, 1, &lower);
  if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(batch.parray, 1, &upper);
  if (FAILED(hr)) {
    result->hr = hr;
    result->failed = TableStep::kBounds;
    return false;
  }
  *rows = upper - lower + 1;
  for (LONG i = lower; i <= upper; ++i) {
    com::Variant row;
    if (FAILED(SafeArrayGetElement(batch.parray, &i, row.Put())) || row.vt != (VT_ARRAY | VT_VARIANT) ||
        !row.parray) {
      onRow(nullptr, 0);
      continue;
    }
    VARIANT* values = nullptr;
    LONG rowLower = 0, rowUpper = -1;
    SafeArrayGetLBound(row.parray, 1, &rowLower);
    SafeArrayGetUBound(row.parray, 1, &rowUpper);
    if (FAILED(SafeArrayAccessData(row.parray, reinterpret_cast<void**>(&values)))) {
      onRow(nullptr, 0);
      continue;
    }
    onRow(values, rowUpper - rowLower + 1);
    SafeArrayUnaccessData(row.parray);
  }
  return true;
}

}  // namespace

TableWalkResult WalkTableRows(IRdoTable* table, long rowCount, const TableRowFn& onRow) {
  TableWalkResult result;
  if (!table) {
    result.hr = E_POINTER;
    result.failed = TableStep::kRows;
    return result;
  }
  while (result.rowsRead < rowCount) {
    com::Variant batch;
    HRESULT hr = table->GetRows(std::min(kTableBatchRows, rowCount - result.rowsRead), batch.Put());
    if (FAILED(hr)) {
      result.hr = hr;
      result.failed = TableStep::kRows;
      return result;
    }
    if (batch.vt == VT_EMPTY) return result;  // the end came early
    if (batch.vt != (VT_ARRAY | VT_VARIANT) || !batch.parray) {
      result.hr = E_UNEXPECTED;
      result.failed = TableStep::kNoArray;
      return result;
    }
    long rows = 0;
    if (!ForEachRow(batch, &rows, &result, onRow)) return result;
    if (rows <= 0) return result;  // an empty batch: nothing more will come
    result.rowsRead += rows;
    if (result.rowsRead >= rowCount) break;
    hr = table->SeekRow(result.rowsRead);
    if (FAILED(hr)) {
      result.hr = hr;
      result.failed = TableStep::kSeek;
      return result;
    }
  }
  return result;
}

HRESULT MakeColumns(const std::vector<long>& tags, VARIANT* out) {
  if (!out) return E_POINTER;
  VariantInit(out);
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, ULONG(tags.size()));
  if (!array) return E_OUTOFMEMORY;
  for (LONG i = 0; i < LONG(tags.size()); ++i) {
    long tag = tags[size_t(i)];
    SafeArrayPutElement(array, &i, &tag);
  }
  out->vt = VT_ARRAY | VT_I4;
  out->parray = array;
  return S_OK;
}
