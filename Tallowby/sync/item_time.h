// One clock for comparing the times of items.
//
// An item's time is the stamp its store gave its last write (its
// PR_LAST_MODIFICATION_TIME as the store keeps it, UTC), taken as the
// instant it is: a local time means two instants in the hour that comes
// twice when daylight saving ends. The stamps of two stores are compared on
// the add-in's clock, each less its store's offset (store_clocks.h), which
// the add-in learns from its own writes into that store (SaveOwnWrite,
// TimeDiff), kept across restarts. A store never measured counts as
// agreeing.
//
// Before any clock, what the add-in knows of how it left a pair decides: a
// side still as the add-in last wrote it (its own-write record) is older
// than a side changed since, whatever the two stores' clocks say.
//
// Every comparison of two items' times goes through CompareItemDates or
// IsLater below.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include "rdo.h"

class CMAPIFolderObject;
class StoreClock;

inline constexpr long kTagLastModificationTime = 0x30080040;  // PR_LAST_MODIFICATION_TIME

// The add-in's clock now, as a UTC OLE Automation date.
double AddinNowUtc();

// The stamp of the item's last write (UTC); 0 when it cannot be read.
double StampOf(IRdoUtils* utils, IRdoMessage* item);

// What the add-in's own-write record says of one side of a pair.
enum class SinceOwnWrite {
  kUnknown,    // no record (not written since the add-in started), or a change carrying an older time
  kUnchanged,  // still as the add-in last left it
  kChanged,    // changed by somebody else since
};

// One side of a comparison.
struct ItemTime {
  double stamp = 0;                  // UTC, by its store's clock
  const StoreClock* clock = nullptr;  // null: the add-in's own
  SinceOwnWrite since = SinceOwnWrite::kUnknown;

  double OnAddinClock() const;
};
// A stamp of an item of `folder`'s store.
ItemTime TimeOf(CMAPIFolderObject* folder, double stamp, SinceOwnWrite since = SinceOwnWrite::kUnknown);

// Which side of a pair is newer, by the rule both directions share: a side
// changed since the add-in left the pair beats one that is not (both left
// as they were: equal); otherwise, on the add-in's clock, dates less than
// `toleranceSeconds` apart count as the same, then the later side wins, and
// dates within half a second are equal.
enum class NewerSide { kMaster, kEqual, kSlave };
NewerSide CompareItemDates(const ItemTime& master, const ItemTime& slave, double toleranceSeconds);
// The date rule alone, for two dates on one clock.
NewerSide CompareItemDates(DATE master, DATE slave, double toleranceSeconds);
// Whether `a` is strictly later than `b`, by the same rules without
// tolerance.
bool IsLater(const ItemTime& a, const ItemTime& b);

// The store's now by its own clock (the add-in's until it is measured):
// what a folder time of that store is held against.
double StoreNowUtc(CMAPIFolderObject* folder);

// Learns the clock of `folder`'s store from a save of `message` by the
// add-in that has just ended: the stamp the store gave it against the
// add-in's clock now. `before` is the stamp the item carried until then (0
// for a new item): a stamp the save left as it was (a store that kept the
// item's time) was not made now and teaches nothing. Returns the stamp, 0
// when it cannot be read. The debug line gives the offset in whole seconds
// when it is new or has changed.
double TimeDiff(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* message, double before);

// Saves `message`, which the add-in has written into the store of `folder`,
// and learns that store's clock from the save (TimeDiff). `stamp` (when
// given) receives the item's new stamp, 0 when the save failed.
HRESULT SaveOwnWrite(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* message, double before = 0,
                     double* stamp = nullptr);
