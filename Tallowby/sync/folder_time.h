// The folder time (the date back to which the personal-folder pass looks for
// changes, kept in the registry across restarts) and the folder lock (a
// commit by somebody else within the last LockTime seconds means another
// user is still writing to a shared folder).
//
// FolderTime and saveMasterfoldertime are declared with the other worker
// routines in sync_seams.h.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include "rdo.h"
#include "sync_seams.h"

class CMAPIFolderObject;

// PR_LOCAL_COMMIT_TIME_MAX: the newest commit into a folder (UTC).
inline constexpr long kTagLocalCommitTimeMax = 0x670A0040;

// True when the folder pair may go on: a one-way pair always may; a
// default-folder object asks AreMasterFoldersUnlocked; a master tests its
// own folder (opened through `session`).
bool IsFolderUnlocked(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);

// True unless the folder of another running two-way master is locked. Each
// master's folder is opened through the calling worker's own session.
bool AreMasterFoldersUnlocked(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils);

// True when `rdoFolder` is not locked by another user: its last commit,
// taken onto the add-in's clock by the clock of `folder`'s store
// (item_time.h), lies LockTime seconds or more in the past. Every failure
// counts as not locked, and so does a commit time implausibly far in the
// future. `folder` names the folder object and the engine whose LockTime
// applies.
bool LockFldr(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, IRdoFolder* rdoFolder);

// The lock rule on its own (dates in days, on one clock): the commit time is
// strictly later than now - lockSeconds and not later than now + lockSeconds.
bool IsCommitTimeLocked(DATE commit, DATE now, DWORD lockSeconds);

// The registry rule for a stored folder time: a time more than a day ahead
// of `now` (the store's, UTC) cannot come from a finished walk and counts as
// missing.
bool IsStoredFolderTimeUsable(DATE stored, DATE now);
