#include "item_time.h"

#include <cmath>
#include <cwchar>

#include "clock.h"
#include "folder_object.h"
#include "logs.h"
#include "store_clocks.h"
#include "variant.h"

namespace {

constexpr double kHalfSecond = 0.5 / 86400.0;
// FILETIME counts 100 ns from 1601-01-01; OLE dates count days from
// 1899-12-30, 109205 days later.
constexpr double kFileTimePerDay = 864e9;
constexpr double kOleEpochInFileTimeDays = 109205.0;

}  // namespace

double AddinNowUtc() { return double(clk::NowUtc()) / kFileTimePerDay - kOleEpochInFileTimeDays; }

double StampOf(IRdoUtils* utils, IRdoMessage* item) {
  if (!utils || !item) return 0;
  com::Variant stamp;
  if (FAILED(utils->GetPropByTag(item, kTagLastModificationTime, stamp.Put())) || stamp.vt != VT_DATE) return 0;
  return stamp.date;
}

double ItemTime::OnAddinClock() const { return clock ? stamp - clock->Offset() : stamp; }

ItemTime TimeOf(CMAPIFolderObject* folder, double stamp) { return {stamp, folder ? &folder->Clock() : nullptr}; }

NewerSide CompareItemDates(DATE master, DATE slave, double toleranceSeconds) {
  if (std::fabs(master - slave) < toleranceSeconds / 86400.0) master = slave;
  if (master > slave) return NewerSide::kMaster;
  if (master - kHalfSecond < slave && slave < master + kHalfSecond) return NewerSide::kEqual;
  return NewerSide::kSlave;
}

NewerSide CompareItemDates(const ItemTime& master, const ItemTime& slave, double toleranceSeconds) {
  return CompareItemDates(master.OnAddinClock(), slave.OnAddinClock(), toleranceSeconds);
}

bool IsLater(const ItemTime& a, const ItemTime& b) { return a.OnAddinClock() > b.OnAddinClock(); }

double StoreNowUtc(CMAPIFolderObject* folder) {
  const double now = AddinNowUtc();
  return folder ? now + folder->Clock().Offset() : now;
}

double TimeDiff(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* message, double before) {
  const double stamp = StampOf(utils, message);
  if (!folder || stamp == 0 || stamp == before) return stamp;
  // The store stamped the write during the save that has just ended: the
  // add-in's clock now is later by at most the save's own time.
  const double offset = stamp - AddinNowUtc();
  if (folder->Clock().Learn(offset) && g_bDebugLog) {
    wchar_t line[64];
    swprintf(line, 64, L"TimeDiff:Server/Client = %lds", std::lround(offset * 86400.0));
    DebugLogString(line, folder->DisplayName.c_str());
  }
  return stamp;
}

HRESULT SaveOwnWrite(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* message, double before,
                     double* stamp) {
  if (stamp) *stamp = 0;
  if (!message) return E_POINTER;
  const HRESULT hr = message->Save();
  if (FAILED(hr)) return hr;
  const double made = TimeDiff(folder, utils, message, before);
  if (stamp) *stamp = made;
  return hr;
}
