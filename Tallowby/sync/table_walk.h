// Reads a wrapper contents table in batches: at most 400 rows at a time,
// positioning the table at the rows read so far after each batch. A batch
// that comes back empty ends the walk (the table shrank since its row count
// was read), so a walk can never go round for ever.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <vector>

#include "rdo.h"

inline constexpr long kTableBatchRows = 400;

// Which step of the walk failed.
enum class TableStep { kNone, kRows, kNoArray, kBounds, kSeek };

struct TableWalkResult {
  HRESULT hr = S_OK;
  TableStep failed = TableStep::kNone;
  long rowsRead = 0;
};

// One row's values in column order; `values` is null when the row was not
// an array of values.
using TableRowFn = std::function<void(const VARIANT* values, long count)>;

// Reads up to `rowCount` rows from the table's cursor.
TableWalkResult WalkTableRows(IRdoTable* table, long rowCount, const TableRowFn& onRow);

// A SAFEARRAY of VT_I4 property tags for IRdoTable::SetColumns.
HRESULT MakeColumns(const std::vector<long>& tags, VARIANT* out);

// True for a missing or error value.
inline bool IsEmptyOrErrorValue(const VARIANT& v) { return v.vt == VT_EMPTY || v.vt == VT_NULL || v.vt == VT_ERROR; }
