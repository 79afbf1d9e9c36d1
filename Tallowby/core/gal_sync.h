// The copy of global address lists into contacts folders of the user's
// store, so that a phone that synchronises only contacts folders sees them.
//
// At most one run per start of the add-in, on a thread of its own with a
// wrapper session of its own, and only when the configured number of days
// has passed since the last complete copy. Each chosen list goes into the
// store's default Contacts folder or into a "TWY.<list>" subfolder of it.
// Copies carry the user property "TallowbyGAL" (integer 9), by which the run
// finds its own copies again.
#pragma once
#include <windows.h>

#include <map>
#include <string>

#include "rdo.h"

inline constexpr wchar_t kGalStampName[] = L"TallowbyGAL";
inline constexpr long kGalStampValue = 9;
// Outlook's user-property type and display format of the stamp (integer).
inline constexpr long kGalStampType = 20;
inline constexpr wchar_t kGalSubfolderPrefix[] = L"TWY.";
inline constexpr wchar_t kGalSubfolderDescription[] = L"Tallowby GAL copy";

// What a run takes from the engine. The thread copies it when it starts and
// touches the engine no more.
struct GalRunSettings {
  // The engine has a wrapper session (without one nothing is copied).
  bool engineHasSession = false;
  // Display name of the store to copy into; empty: the session's default.
  std::wstring defaultStoreName;
  // Creates the run's own wrapper session, not yet logged on. Null: by the
  // wrapper's ProgID (tests hand in the in-process one).
  HRESULT (*createSession)(IRdoSession** session) = nullptr;
  // Creates the run's utility object; null: by the wrapper's ProgID.
  HRESULT (*createUtils)(IRdoUtils** utils) = nullptr;
};

// Thread procedure started by StartSync when Config "syncGAL" is 1; the
// argument is the engine. Waits 30 s (ending at once on shutdown), makes one
// run and ends. The engine joins it before it goes.
unsigned __stdcall GalSyncThread(void* engine);

// One run. Ends early, changing nothing, when no copy is due, there is no
// session or no address book, and at once when shutdown begins.
void syncGAL(const GalRunSettings& settings);

// True when HKCU ...\GALFolders has a subkey named exactly `listName`.
bool IsGALFolderSelected(const std::wstring& listName);

// The subfolder `name` directly below the store's default Contacts folder,
// created (with the copy description) when missing. Null on failure.
HRESULT GetGALSubfolder(const std::wstring& name, IRdoStore* store, IRdoFolder** folder);
// The same subfolder when it exists; S_FALSE and no folder when it does not.
HRESULT FindGALSubfolder(const std::wstring& name, IRdoStore* store, IRdoFolder** folder);

// Which items of a target folder may count as the copy of an entry. Stamped
// copies always do; items without the stamp only where the folder is the
// add-in's own subfolder, or when they were made during this run (a copy
// just made, before it is stamped), so that the user's own contacts in the
// default Contacts folder are never taken over.
//
// A copy found by a name rather than by the address is the entry's only
// when it cannot be another entry's: a contact copy must carry the entry's
// address, and no copy that an entry of another address took in this run is
// taken again. So two people, or two distribution lists, of one name each
// keep a copy of their own.
struct GalCopyScope {
  bool takeUnstamped = false;
  double unstampedCreatedSince = 0;  // local date; 0: any age
  std::wstring address;              // the entry's SMTP address
  // The copies matched in this run: EntryID -> the address of their entry.
  const std::map<std::wstring, std::wstring>* matched = nullptr;
};

// The keys a copy is searched by; an empty key counts as absent.
struct GalAddressKey { std::wstring address; };
struct GalListNameKey { std::wstring name; };
struct GalNamesKey { std::wstring firstName, lastName; };

// Finds the copy of an entry in `folder` and gives its EntryID (empty when
// there is none). An absent key gives E_FAIL at once.
HRESULT getItemFromGALFolder(IRdoFolder* folder, const GalAddressKey& key, const GalCopyScope& scope,
                             std::wstring* entryId);
HRESULT getItemFromGALFolder(IRdoFolder* folder, const GalListNameKey& key, const GalCopyScope& scope,
                             std::wstring* entryId);
// Stamped copies only; matches when both names are equal (and the copy
// may be the entry's, see GalCopyScope).
HRESULT getItemFromGALFolder(IRdoFolder* folder, const GalNamesKey& key, const GalCopyScope& scope,
                             std::wstring* entryId);

// Puts the stamp on a copy (pending until the copy is saved).
void MarkAsGALCopy(IRdoMessage* message);
