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

// A comparison decided by what the add-in knows of how it left the pair:
// kMaster or kSlave for the side changed since, kEqual when neither
// changed; kUnknown otherwise.
enum class Decided { kUnknown, kMaster, kEqual, kSlave };

Decided ByOwnWrites(SinceOwnWrite master, SinceOwnWrite slave) {
  using S = SinceOwnWrite;
  if (master == S::kUnchanged && slave == S::kUnchanged) return Decided::kEqual;
  if (master == S::kChanged && slave == S::kUnchanged) return Decided::kMaster;
  if (master == S::kUnchanged && slave == S::kChanged) return Decided::kSlave;
  return Decided::kUnknown;
}

}  // namespace

double AddinNowUtc() { return double(clk::NowUtc()) / kFileTimePerDay - kOleEpochInFileTimeDays; }

double StampOf(IRdoUtils* utils, IRdoMessage* item) {
  if (!utils || !item) return 0;
  com::Variant stamp;
  if (FAILED(utils->GetPropByTag(item, kTagLastModificationTime, stamp.Put())) || stamp.vt != VT_DATE) return 0;
  return stamp.date;
}

double ItemTime::OnAddinClock() const { return clock ? stamp - clock->Offset() : stamp; }

ItemTime TimeOf(CMAPIFolderObject* folder, double stamp, SinceOwnWrite since) {
  return {stamp, folder ? &folder->Clock() : nullptr, since};
}

NewerSide CompareItemDates(DATE master, DATE slave, double toleranceSeconds) {
  if (std::fabs(master - slave) < toleranceSeconds / 86400.0) master = slave;
  if (master > slave) return NewerSide::kMaster;
  if (master - kHalfSecond < slave && slave < master + kHalfSecond) return NewerSide::kEqual;
  return NewerSide::kSlave;
}

NewerSide CompareItemDates(const ItemTime& master, const ItemTime& slave, double toleranceSeconds) {
  switch (ByOwnWrites(master.since, slave.since)) {
    case Decided::kMaster: return NewerSide::kMaster;
    case Decided::kEqual: return NewerSide::kEqual;
    case Decided::kSlave: return NewerSide::kSlave;
    case Decided::kUnknown: break;
  }
  return CompareItemDates(master.OnAddinClock(), slave.OnAddinClock(), toleranceSeconds);
}

bool IsLater(const ItemTime& a, const ItemTime& b) {
  switch (ByOwnWrites(a.since, b.since)) {
    case Decided::kMaster: return true;
    case Decided::kEqual:
    case Decided::kSlave: return false;
    case Decided::kUnknown: break;
  }
  return a.OnAddinClock() > b.OnAddinClock();
}

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
