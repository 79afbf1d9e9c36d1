// Small pieces that both directions of a personal-folder pair use when they
// handle one item: opening a sink's folder, the texts of the debug and user
// logs, and the own-write records that keep a pass from taking the add-in's
// writes for the user's changes.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "com_ptr.h"
#include "rdo.h"

class CItemsEvents;
class CMAPIFolderObject;

inline constexpr wchar_t kNoSubject[] = L"<no subject>";
inline constexpr wchar_t kUserLogRule[] = L"----------------------";

// Opens the folder of `sink` (its EntryID and StoreID, best access); a
// success without a folder is E_FAIL.
HRESULT OpenFolderOf(IRdoSession* session, CItemsEvents* sink, com::ComPtr<IRdoFolder>* out);
// Opens a message of the store of `sink` by its EntryID; a success without a
// message is MAPI_E_NOT_FOUND.
HRESULT OpenMessageOf(IRdoSession* session, CItemsEvents* sink, BSTR entryId, com::ComPtr<IRdoMessage>* out);

// The message's subject, or `fallback` when it has none.
std::wstring SubjectOr(IRdoMessage* message, const wchar_t* fallback);
// The folder's display name; empty when it cannot be read.
std::wstring FolderName(IRdoFolder* folder);
// A date as the pass's debug lines show it: "%d%m%y-%H%M%S".
std::wstring DateText(DATE date);

// Own writes of a two-way pair. A master item's time is kept in the master's
// sink under its sync id (the master walk tests it there). A default-folder
// item's time is kept in the default folder's sink per job, because one
// default-folder item may belong to several jobs and each of them must get
// its change once.
std::wstring DefaultItemWriteKey(const std::wstring& syncId, CMAPIFolderObject* master);
// Records `item` of the default folder as written by the add-in for the job
// of `master`.
HRESULT RecordDefaultItemWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, IRdoUtils* utils,
                               IRdoSession* session, IRdoMessage* item, const std::wstring& syncId);
// True when `item`'s last write was the one recorded for the job of `master`.
bool IsDefaultItemOwnWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, const std::wstring& syncId,
                           IRdoMessage* item);

// Records `item`, just written into the master folder of `master`, as the
// add-in's own write: in a personal-folder master for its walk, in an
// Exchange master for its incremental run, which would otherwise send the
// write back to the default folder as the user's change.
HRESULT RecordMasterWrite(CMAPIFolderObject* master, IRdoUtils* utils, IRdoSession* session, IRdoMessage* item,
                          const std::wstring& syncId);
