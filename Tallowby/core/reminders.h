// Reminders and origin marks of synchronised appointments and tasks.
//
// An item that exists in a master folder (side 0) and in the default folder
// (side 1) would ring twice on a phone that shows both. With the pair's
// DONT_SYNC_REMINDERS the reminder stays on the side where the item was made:
// every copied appointment and task carries its origin side
// ("TallowbySource") and whether its reminder was set there
// ("TallowbyReminderWasSet"). The routines here write those marks, take the
// reminder off the other side, give it back on the origin side, mirror it
// into an iCloud item's own reminder flag, and drop repeated recipients.
//
// Every routine works on one item and holds no state. The caller keeps its
// own references: nothing here releases what it is given.
#pragma once
#include <windows.h>

#include "rdo.h"

class CSyncEngine;

// The property set of the origin marks, as the wrapper's name lookup takes it.
inline constexpr wchar_t kOriginMarkSet[] = L"{0F62B4A7-203E-40de-99DA-6F03EE72A090}";
inline constexpr wchar_t kOriginSideName[] = L"TallowbySource";
inline constexpr wchar_t kReminderWasSetName[] = L"TallowbyReminderWasSet";
// The boolean reminder flag iCloud items carry.
inline constexpr wchar_t kDaslICloudReminder[] = L"http://schemas.microsoft.com/mapi/proptag/0x67ED000B";

inline constexpr long kSideMaster = 0;
inline constexpr long kSideDefault = 1;

// Stamps both marks on an appointment or task and saves it; other kinds are
// left alone (S_OK).
HRESULT MarkAsSource(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* message, long origin);

// Takes the reminder off an item that lies on the side that is not its
// origin, and saves it. An unmarked item loses its reminder only when
// `clearUnmarked` is set and `side` is the default folder.
HRESULT RemoveReminder(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* message, long side, bool clearUnmarked);

// Gives an item on its origin side the reminder it had when it was marked,
// and saves it.
HRESULT CopyOldReminder(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* message, long side);

// The item's ReminderSet; false when it cannot be read.
bool ReminderIsSet(IRdoMessage* message);

// The reminder rule for `written`, an item on `side` that the add-in has
// just written over with the content of `source`: its "reminder was set"
// mark follows the origin item's reminder as it is now (on the origin side
// the written item's own from before the write, `writtenHadReminder`;
// elsewhere the source's), then CopyOldReminder and RemoveReminder (with
// `clearUnmarked`) run. A mark as old as the first copy would undo every
// reminder change made since on the origin side.
HRESULT ReminderAfterWrite(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* written, long side,
                           bool writtenHadReminder, IRdoMessage* source, bool clearUnmarked);

// Copies `other`'s ReminderSet into the iCloud reminder flag of `iCloudItem`.
HRESULT ReminderToiCloud(CSyncEngine* engine, IRdoMessage* iCloudItem, IRdoMessage* other);

// Copies the iCloud reminder flag of `iCloudItem` into `other`'s ReminderSet.
HRESULT ReminderFromiCloud2PST(CSyncEngine* engine, IRdoMessage* iCloudItem, IRdoMessage* other);

// Removes later recipients of an appointment that repeat an earlier one
// (same name and same address), at most ten; does not save.
HRESULT cleanRecipients(CSyncEngine* engine, IRdoMessage* message);
