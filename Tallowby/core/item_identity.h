// Item identity: how an item and its copies in other folders are tied
// together (the SyncID), and the small classifications the synchronisation
// uses to decide how to treat a folder or an item. All routines are
// stateless and run on whichever thread calls them.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <string>

#include "bstr.h"
#include "com_ptr.h"
#include "rdo.h"

class CSyncEngine;

// Property tags and DASL names of the identity properties.
inline constexpr long kTagSearchKey = 0x300B0102;     // PR_SEARCH_KEY
inline constexpr long kTagMdbProvider = 0x34140102;   // PR_MDB_PROVIDER
inline constexpr long kTagFolderType = 0x36010003;    // PR_FOLDER_TYPE
inline constexpr long kTagCreationTime = 0x30070040;  // PR_CREATION_TIME
inline constexpr wchar_t kDaslSearchKey[] = L"http://schemas.microsoft.com/mapi/proptag/0x300B0102";
inline constexpr wchar_t kDaslGlobalObjectId[] =
    L"http://schemas.microsoft.com/mapi/id/{6ED8DA90-450B-101B-98DA-00AA003F1305}/00030102";
// The named property of a meeting's GlobalObjectId: its set and id.
inline constexpr wchar_t kMeetingSet[] = L"{6ED8DA90-450B-101B-98DA-00AA003F1305}";
inline constexpr long kGlobalObjectIdLid = 0x0003;

// Item kinds, numbered as Outlook's OlItemType.
enum ItemKind : long {
  kItemMail = 0, kItemAppointment = 1, kItemContact = 2, kItemTask = 3, kItemJournal = 4,
  kItemNote = 5, kItemOther = 6, kItemDistList = 7,
};

// Store modes of a folder.
enum StoreMode : int { kStoreModeNormal = 0, kStoreModeICloud = 1, kStoreModeHotMail = 2 };

inline constexpr wchar_t kICloudProvider[] = L"425DC1A925AC47B5A636EEF64AD9B6B4";
inline constexpr wchar_t kHotMailProvider[] = L"975C4FC305EB4BBBB1992A7570EC7CF9";

// Finds the item of `folder` whose sync id (PR_SEARCH_KEY, or the meeting
// GlobalObjectId with `useGlobalObjectId`) equals the binary `key`. `found`
// is 1 only when an item with a non-empty EntryID came back; S_OK with
// `found` 0 means no item carries the key. An item whose EntryID cannot be
// read is a failed lookup (a failure HRESULT), never "not found".
HRESULT GetEntryIDFromPR_SEARCH_KEY(CSyncEngine* engine, IRdoUtils* utils, BYTE* found, com::Bstr* entryId,
                                    IRdoFolder* folder, const VARIANT& key, bool useGlobalObjectId);

// Finds by the meeting GlobalObjectId ask the store for that name first,
// creating it where the store never mapped it: a query on a name the store
// does not know fails instead of finding nothing. False when the store
// refuses; the query then fails as it would have.
bool MapGlobalObjectIdName(IRdoUtils* utils, IUnknown* storeObject);

// The property tag of the meeting GlobalObjectId in the store of `object`
// (an item or a folder); with `create` the name is mapped where the store
// never held a meeting. 0 when the store has no such name; *hr (when
// given) receives the wrapper's answer.
long GlobalObjectIdTag(IRdoUtils* utils, IUnknown* object, bool create, HRESULT* hr = nullptr);

// The meeting GlobalObjectId of `message` as hexadecimal text; empty when
// it has none. *lookup (when given) receives the answer of the look-up of
// the name, which fails where the store never mapped it; the caller
// decides whether that is worth a log line.
std::wstring GlobalObjectIdHex(IRdoUtils* utils, IRdoMessage* message, HRESULT* lookup = nullptr);

// As GlobalObjectIdHex, where the name's look-up failing is logged
// ("GlobalObjId?"): in an Exchange store every item should have it.
std::wstring LoggedGlobalObjectIdHex(IRdoUtils* utils, IRdoMessage* message);

// Sets on `message`, which has no meeting GlobalObjectId, one made of its
// sync id and EntryID (mapping the name where its store never held a
// meeting), so that a pair that finds counterparts by meeting id finds it
// and its copies; the caller saves. *objectId (when given) receives it as
// hexadecimal text; untouched on failure.
HRESULT GiveGlobalObjectId(IRdoUtils* utils, IRdoMessage* message, const std::wstring& syncId,
                           std::wstring* objectId = nullptr);

// A pasted appointment keeps its original's meeting id, by which a Hotmail
// pair finds counterparts. Once it has taken a sync id of its own, this gives
// it a meeting id made of that id (as GiveGlobalObjectId) and saves it.
// S_FALSE, *objectId untouched, when it has no meeting id to give up.
HRESULT RenewGlobalObjectId(IRdoUtils* utils, IRdoMessage* message, const std::wstring& syncId,
                            std::wstring* objectId);

// With `makeNew`, gives `message` a fresh 16-byte PR_SEARCH_KEY; in every
// case returns its PR_SEARCH_KEY as hexadecimal text in `syncId`.
HRESULT SetNewSyncID(CSyncEngine* engine, IRdoUtils* utils, IRdoMessage* message, com::Bstr* syncId, bool makeNew);

// The 32 hexadecimal digits of a GUID's registry form ("{...}"), in the
// order that form shows them.
std::wstring SyncIdDigitsFromGuidText(const wchar_t* guidText);

// The wrapper's message for an item of Outlook's object model; empty on failure.
com::ComPtr<IRdoMessage> IDispatchToIMessageItem(CSyncEngine* engine, IDispatch* item);

// The item kind of a message class (an ordered substring test on the
// upper-cased class; upper-casing is ASCII-only, so no locale changes it).
long GetItemTypeFromMessageClass(CSyncEngine* engine, const wchar_t* messageClass);

// 0 normal, 1 iCloud, 2 "HotMail". Takes its own reference on the folder.
int GetStoreMode(CSyncEngine* engine, com::ComPtr<IRdoFolder> folder);

// True when the wrapper store of the Outlook folder's StoreID is of kind 6.
bool IsFolderOfStoreKind6(CSyncEngine* engine, IDispatch* outlookFolder);

// Two masters of one default folder hold an item under one key: the user
// copied it from one into the other. Unless the copy in the default folder
// carries both jobs' categories (one item filed for both jobs), they are
// different items, and the one whose job does not own the copy takes a key
// of its own; when the copy carries neither category (or there is none),
// the newer one, this side on equal times. `mineIsNotOlder` is asked only
// then.
enum class NewKeyFor { kNeither, kMine, kTheirs };
NewKeyFor WhoseKeyChanges(bool copyHasMyCategory, bool copyHasTheirCategory,
                          const std::function<bool()>& mineIsNotOlder);
