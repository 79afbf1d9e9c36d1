// Small pieces that both directions of a personal-folder pair use when they
// handle one item: opening a sink's folder (once per pass), finding an item
// by its sync id, the texts of the debug and user logs, and the own-write
// records that keep a pass from taking the add-in's writes for the user's
// changes.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "bstr.h"
#include "com_ptr.h"
#include "date_time.h"
#include "item_time.h"
#include "rdo.h"

class CItemsEvents;
class CMAPIFolderObject;
class CSyncEngine;

inline constexpr wchar_t kNoSubject[] = L"<no subject>";
inline constexpr wchar_t kUserLogRule[] = L"----------------------";

// While one lives on a thread, OpenFolderOf on that thread opens each sink's
// folder once and hands out the same folder afterwards: a pass works with
// the same few folders for every item it handles. A folder that does not
// open is tried again at the next call.
class PassFolders {
 public:
  PassFolders();
  ~PassFolders();
  PassFolders(const PassFolders&) = delete;
  PassFolders& operator=(const PassFolders&) = delete;

 private:
  friend HRESULT OpenFolderOf(IRdoSession*, CItemsEvents*, com::ComPtr<IRdoFolder>*);
  PassFolders* outer_;
  std::unordered_map<CItemsEvents*, std::pair<IRdoSession*, com::ComPtr<IRdoFolder>>> folders_;
};

// Opens the folder of `sink` (its EntryID and StoreID, best access); a
// success without a folder is E_FAIL.
HRESULT OpenFolderOf(IRdoSession* session, CItemsEvents* sink, com::ComPtr<IRdoFolder>* out);
// The same with open flags of the caller's (never kept by PassFolders).
HRESULT OpenFolderOf(IRdoSession* session, CItemsEvents* sink, const VARIANT& flags, com::ComPtr<IRdoFolder>* out);
// Opens a message of the store of `sink` by its EntryID; a success without a
// message is MAPI_E_NOT_FOUND.
HRESULT OpenMessageOf(IRdoSession* session, CItemsEvents* sink, BSTR entryId, com::ComPtr<IRdoMessage>* out);

// The item of a folder that carries a sync id, read by the property the id
// came from (the meeting GlobalObjectId or PR_SEARCH_KEY).
struct FoundItem {
  HRESULT hr = S_OK;                  // a failure: unknown whether it is there
  com::ComPtr<IRdoMessage> item;      // null: there is none
  DATE modified = 0;                  // its stamp (UTC, as the table gives it: item_time.h)
  bool another = false;               // a second item carries the id as well
  explicit operator bool() const { return SUCCEEDED(hr) && item; }
};
// The Items.Find filter for the items that carry `syncId` (hexadecimal
// digits) in the property it came from.
com::Bstr SyncIdFilter(std::wstring_view syncId, bool byObjectId);

// `lookForAnother` also asks whether a second item (another EntryID) carries
// the id: the copy of a pasted item keeps the original's search key. A
// caller that looks for one key in several folders may hand in the filter,
// made once by SyncIdFilter(syncId, byObjectId).
FoundItem FindBySyncId(IRdoUtils* utils, IRdoFolder* folder, const std::wstring& syncId, bool byObjectId,
                       bool lookForAnother = false, const com::Bstr* filter = nullptr);

// The sync id of `message`: with `hotMail` its meeting GlobalObjectId when
// it has one, else (and outside that mode) its PR_SEARCH_KEY; empty when
// neither can be read. `byObjectId` tells which one it is.
std::wstring SyncIdOfItem(IRdoUtils* utils, IRdoMessage* message, bool hotMail, bool* byObjectId = nullptr);
// The same as the wrapper gave it, for a caller that only compares or keeps
// the text: no copy of it.
com::Bstr SyncIdTextOfItem(IRdoUtils* utils, IRdoMessage* message, bool hotMail, bool* byObjectId = nullptr);

// The message's subject, or `fallback` when it has none.
std::wstring SubjectOr(IRdoMessage* message, const wchar_t* fallback);
// The folder's display name; empty when it cannot be read.
std::wstring FolderName(IRdoFolder* folder);
// A date as the pass's debug lines show it: "%d%m%y-%H%M%S".
std::wstring DateText(DATE date);
// The user log's block for one write: `word` with the item's subject, then
// "IN:" with the folder's name (nothing when the name cannot be read).
void UserLogWrite(CSyncEngine* engine, const wchar_t* word, IRdoMessage* item, IRdoFolder* folder);

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
// The same for a stamp the caller has read already.
void RecordDefaultItemWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder, double stamp,
                            const std::wstring& syncId);
// What the record of the job of `master` says of its default-folder item
// with `stamp` (item_time.h).
SinceOwnWrite DefaultItemSinceOwnWrite(CMAPIFolderObject* master, CMAPIFolderObject* defaultFolder,
                                       const std::wstring& syncId, double stamp);
// What the record says of the master item of `master` with `stamp`; not
// recorded in an Exchange master, whose run knows its own writes by their
// change keys.
SinceOwnWrite MasterItemSinceOwnWrite(CMAPIFolderObject* master, const std::wstring& syncId, double stamp);
// What the master's record says of the master item's copy with `stamp`, by
// the copy's stamp it kept.
SinceOwnWrite CopySinceOwnWrite(CMAPIFolderObject* master, const std::wstring& syncId, double stamp);

// Records `item`, just written into the master folder of `master` or left as
// it was by a write of the pair, as the add-in's own write: in a
// personal-folder master for its walk, with `copyStamp`, the stamp of the
// item's copy after that write (0: not known); in an Exchange master for its
// incremental run, which would otherwise send the write back to the default
// folder as the user's change.
HRESULT RecordMasterWrite(CMAPIFolderObject* master, IRdoUtils* utils, IRdoSession* session, IRdoMessage* item,
                          const std::wstring& syncId, double copyStamp = 0);
