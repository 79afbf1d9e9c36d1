// The per-item rules of a job: which items may take part (category filter,
// the "NO_SYNC" marker, meeting and task requests, privacy) and how an item
// gets the job's category.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "rdo.h"

class CMAPIFolderObject;
class CSyncEngine;

// The DASL name of an item's keywords (one text per category).
inline constexpr wchar_t kDaslKeywords[] = L"urn:schemas:mailheader:keywords";
// The response status of a meeting (PSETID_Appointment 0x8218, PT_LONG).
inline constexpr wchar_t kDaslResponseStatus[] =
    L"http://schemas.microsoft.com/mapi/id/{00062002-0000-0000-C000-000000000046}/82180003";
inline constexpr long kResponseNotResponded = 5;

// True when `message` may take part in the job of `job` (its filter
// settings and category filter apply). `folder` is the object whose worker
// asks. Never throws: an unexpected wrapper failure refuses the item.
bool iIA(CMAPIFolderObject* folder, IRdoMessage* message, CMAPIFolderObject* job);
bool iIA(CMAPIFolderObject* folder, IRdoMessage* message);
// The same for `copy`, a default-folder item of the job: where the job marks
// its copies private, that mark is the job's and is not held against it.
bool iIAAsCopy(CMAPIFolderObject* folder, IRdoMessage* copy, CMAPIFolderObject* job);

// The texts of a keywords value (VT_ARRAY of VT_BSTR or of VT_VARIANT);
// other elements are skipped.
std::vector<std::wstring> KeywordTexts(const VARIANT& value);

// The pieces of a categories text split at any of `separators`, each without
// its surrounding blanks (the text has a blank after each separator); empty
// pieces go.
std::vector<std::wstring> SplitCategories(const std::wstring& text, const std::wstring& separators);

// True for a meeting request or a task request. Throws HrException when the
// wrapper fails to answer an interface query with anything but
// E_NOINTERFACE.
bool IsRequestItem(CMAPIFolderObject* folder, IRdoMessage* message);

// Whether Cat2Item applies the pair's MARK_AS_PRIVATE: the mark is for the
// copies a job writes, never for the user's own items in the master folder.
enum class PrivateMark { kByOption, kNever };

// Puts `category` on `message` (removing other jobs' categories when it is
// itself a job's category), marks it private when the pair asks for it and
// `mark` lets it, and adds the user's name in braces when configured. False
// when the category is empty, there is no message or the keywords could not
// be read. *saved (when given) receives the first failing status of the
// item's saves (S_OK when they succeeded or none was needed): an Exchange
// store refuses a save over an item that changed since it was read.
bool Cat2Item(CMAPIFolderObject* folder, IRdoUtils* utils, IRdoMessage* message, const wchar_t* category,
              PrivateMark mark = PrivateMark::kByOption, HRESULT* saved = nullptr);

// The privacy of a default-folder item before its master item is written
// over it; KeepCopyPrivacy gives it back after the write. With "mark as
// private" the job's mark goes on when a copy is made, and a later write
// keeps the item's private mark as it was: the user's own item of a two-way
// pair never gets it, and a copy the user made public stays so. The master
// item's own privacy comes with the write.
struct CopyPrivacy {
  bool known = false;
  long sensitivity = 0;
};
CopyPrivacy PrivacyBeforeWrite(IRdoMessage* item);
void KeepCopyPrivacy(CMAPIFolderObject* job, IRdoMessage* item, const CopyPrivacy& before);

// The categories of an item's categories text as Outlook writes the list:
// split at the user's list separator, each without the blanks around it.
// Every test of whether an item carries a category takes its names from
// here and compares whole names, letter case counting: "Work" is not
// "Workshop", nor "work".
std::vector<std::wstring> ItemCategoryNames(const std::wstring& text);

// True when `item` carries `category` (one of its categories, whole).
bool HasCategory(IRdoMessage* item, const wchar_t* category);

// True when `item`, an item of the folder of `defaultFolder` (the job's
// partner), is an item of the job of `job`: it carries the job's category,
// or the default folder puts that category on all its items, or the job's
// folder is its own category subfolder. An item the user filed under
// another job in the default folder belongs to that job: neither this job's
// deletions nor its writes reach it.
bool BelongsToJob(CMAPIFolderObject* job, CMAPIFolderObject* defaultFolder, IRdoMessage* item);

// True when `item` carries the category of a job other than `job`'s.
bool CarriesOtherJobCategory(CMAPIFolderObject* job, IRdoMessage* item);

// After `source` was copied onto the existing item `target` for the job of
// `job`: a copy onto an item leaves what the source lacks, so when the
// source has no categories at all (the user cleared them) the target's old
// ones go too. Otherwise they would stay, and with them the item's place in
// another job. The job's own (its category, the user's name in braces)
// stay, as Cat2Item would put them back. The caller's save writes the
// change.
void ClearCategoriesTheSourceLacks(CMAPIFolderObject* job, IRdoMessage* source, IRdoMessage* target);

// The item's categories (split at the user's list separator, surrounding
// blanks removed), plus the default folder's configured categories, each of
// which is also put on the item. Fills `list` and returns it.
std::vector<std::wstring>& GetItemCategories(CMAPIFolderObject* folder, std::vector<std::wstring>& list,
                                             IRdoUtils* utils, IRdoMessage* message);

// The job's category filter: the subkey names of
// Folders\<entryId>\CategoriesFilter; empty when there is none.
void GetCategoriesFilter(CSyncEngine* engine, std::vector<std::wstring>& list, const wchar_t* entryId);

// While one lives on a thread, GetCategoriesFilter on that thread reads each
// job's filter from the registry once and answers from memory afterwards. A
// pass holds one: it asks for every item, and the filter changes only through
// the folder page's Apply, whose reload ends the pass anyway.
class CategoriesFilterPassCache {
 public:
  CategoriesFilterPassCache();
  ~CategoriesFilterPassCache();
  CategoriesFilterPassCache(const CategoriesFilterPassCache&) = delete;
  CategoriesFilterPassCache& operator=(const CategoriesFilterPassCache&) = delete;

 private:
  friend void GetCategoriesFilter(CSyncEngine*, std::vector<std::wstring>&, const wchar_t*);
  CategoriesFilterPassCache* outer_;
  // Looked up by the caller's text as it is, without a copy of it per item.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::wstring_view text) const { return std::hash<std::wstring_view>{}(text); }
  };
  std::unordered_map<std::wstring, std::vector<std::wstring>, TextHash, std::equal_to<>> filters_;  // by job EntryID
};

// An HRESULT failure travelling as an exception.
struct HrException {
  HRESULT hr;
};
