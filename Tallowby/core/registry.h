// Reading and writing the add-in's registry configuration.
//
// Every read checks its return code, type and size: a value that is missing,
// of the wrong size or (where the caller asks) of the wrong type reads as
// missing, and strings are always terminated. Well-formed values read as
// they are stored.
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace reg {

// The add-in's keys, below HKEY_CURRENT_USER (Config also below HKLM).
inline constexpr wchar_t kRootPath[] = L"Software\\Corvane\\Tallowby";
inline constexpr wchar_t kConfigPath[] = L"Software\\Corvane\\Tallowby\\Config";
inline constexpr wchar_t kFoldersPath[] = L"Software\\Corvane\\Tallowby\\Folders";
inline constexpr wchar_t kDefaultFoldersPath[] = L"Software\\Corvane\\Tallowby\\DefaultFolders";
inline constexpr wchar_t kAddCategorieFoldersPath[] = L"Software\\Corvane\\Tallowby\\AddCategorieFolders";
inline constexpr wchar_t kGalFoldersPath[] = L"Software\\Corvane\\Tallowby\\GALFolders";
// One REG_BINARY date-sized value per store, named by its StoreID in upper
// case: the store's clock minus the add-in's, in days, as last measured.
inline constexpr wchar_t kStoreClocksPath[] = L"Software\\Corvane\\Tallowby\\StoreClocks";

// Whether a 32-bit read insists on REG_DWORD or takes any 4-byte value.
enum class DwordType { kMustBeDword, kAnyType };

// How a flag is tested: for exactly 1, or for any value other than 0.
enum class FlagTest { kIsOne, kNotZero };

// A flag value of the layout with its reading rule; missing reads as off.
struct Flag {
  const wchar_t* name;
  FlagTest test;
  DwordType type;
};

// A string value of the layout with its reader's fixed buffer in bytes
// (including the NUL); a longer stored string reads as empty.
struct Text {
  const wchar_t* name;
  DWORD bufferBytes;
};

// ---- Config (HKCU kConfigPath) ----
inline constexpr Flag kDebug{L"debug", FlagTest::kIsOne, DwordType::kAnyType};
inline constexpr Flag kUserLog{L"userlog", FlagTest::kIsOne, DwordType::kAnyType};
inline constexpr Flag kTrayIcon{L"trayicon", FlagTest::kIsOne, DwordType::kMustBeDword};
inline constexpr Flag kSyncGal{L"syncGAL", FlagTest::kIsOne, DwordType::kMustBeDword};
inline constexpr Flag kSyncGalIntoDefaultFolder{L"syncGALin2Defaultfolder", FlagTest::kIsOne, DwordType::kAnyType};
inline constexpr Flag kAddUserNameToCategories{L"addUserName2Categories", FlagTest::kIsOne, DwordType::kMustBeDword};
inline constexpr Text kDefaultStoreName{L"defaultStoreName", 1024};
// REG_DWORD (type must be REG_DWORD): days between address-list copies.
inline constexpr wchar_t kGalSyncAllxDays[] = L"GalSyncAllxDays";
// REG_BINARY dates.
inline constexpr wchar_t kLastGalSync[] = L"LastGalSync";
inline constexpr wchar_t kLastSyncTime[] = L"LastSyncTime";
// REG_DWORD (type must be REG_DWORD), seconds.
inline constexpr wchar_t kLockTime[] = L"locktime";
// REG_DWORD, a language identifier in the low 16 bits.
inline constexpr wchar_t kLcid[] = L"LCID";

// ---- HKLM kConfigPath: the administrator's lock of the folder page ----
inline constexpr Flag kAdminLock{L"lock", FlagTest::kIsOne, DwordType::kAnyType};

// ---- A job: kFoldersPath\<master EntryID> ----
inline constexpr Flag kJobUsed{L"used", FlagTest::kNotZero, DwordType::kAnyType};
inline constexpr Text kJobStoreId{L"SID", 1560};
inline constexpr Text kJobProfile{L"Profil", 1560};
inline constexpr Text kJobCategory{L"Categorie", 520};
inline constexpr Text kJobFolderName{L"Foldername", 520};
inline constexpr Flag kDontSyncBspItems{L"DONT_SYNC_BSP_ITEMS", FlagTest::kIsOne, DwordType::kAnyType};
inline constexpr Flag kMarkAsPrivate{L"MARK_AS_PRIVATE", FlagTest::kIsOne, DwordType::kAnyType};
inline constexpr Flag kDontSyncPrivItems{L"DONT_SYNC_PRIV_ITEMS", FlagTest::kNotZero, DwordType::kAnyType};
inline constexpr Flag kBothDirections{L"BOTH_DIRECTIONS", FlagTest::kNotZero, DwordType::kAnyType};
inline constexpr Flag kDontSyncReminders{L"DONT_SYNC_REMINDERS", FlagTest::kNotZero, DwordType::kAnyType};
inline constexpr Flag kCreateSubfolder{L"CREATESUBFOLDER", FlagTest::kNotZero, DwordType::kAnyType};
// REG_BINARY date; also the only value of a kDefaultFoldersPath subkey.
inline constexpr wchar_t kLastFolderSyncTime[] = L"LastFolderSyncTime";
// Subkeys of a job: one empty subkey per category, and an empty key.
inline constexpr wchar_t kCategoriesFilter[] = L"CategoriesFilter";
inline constexpr wchar_t kUsers[] = L"Users";

// ---- kAddCategorieFoldersPath\<folder EntryID> ----
inline constexpr wchar_t kIsStandardCategoryAddInfo[] = L"IS_STANDARD_KATEGORIE_ADD_INFO";
inline constexpr Flag kAddCategoryUsed{L"used", FlagTest::kNotZero, DwordType::kAnyType};
inline constexpr Text kAddCategoryCategory{L"Categorie", 520};
inline constexpr Text kAddCategoryStoreId{L"SID", 1560};
inline constexpr Text kAddCategoryProfile{L"Profil", 1560};
inline constexpr Text kAddCategoryFolderName{L"Foldername", 520};
// The folder name that pages write in entries made for a default folder.
inline constexpr wchar_t kDefaultFolderName[] = L"Default";

// Subkey-name buffers of the readers that enumerate, in characters.
inline constexpr DWORD kSubkeyNameChars = MAX_PATH;

// An open registry key, closed when the holder goes.
class Key {
 public:
  Key() = default;
  ~Key() { Close(); }
  Key(Key&& o) noexcept : key_(o.key_) { o.key_ = nullptr; }
  Key& operator=(Key&& o) noexcept;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  // Opens an existing key; ERROR_SUCCESS or the registry's error.
  LONG Open(HKEY parent, const wchar_t* path, REGSAM access);
  // Opens the key, creating it (and its parents) when missing.
  LONG Create(HKEY parent, const wchar_t* path, REGSAM access = KEY_ALL_ACCESS);
  void Close();
  bool IsOpen() const { return key_ != nullptr; }
  HKEY Get() const { return key_; }

  // A value of exactly 4 bytes.
  std::optional<DWORD> ReadDword(const wchar_t* name, DwordType type = DwordType::kMustBeDword) const;
  // A REG_SZ or REG_EXPAND_SZ value (not expanded) that fits `bufferBytes`
  // including its terminating NUL, as the fixed buffers of the readers do.
  std::optional<std::wstring> ReadString(const wchar_t* name, DWORD bufferBytes) const;
  // A date: REG_BINARY of exactly 8 bytes holding a finite OLE Automation date.
  std::optional<double> ReadDate(const wchar_t* name) const;

  // A flag by its rule in the layout: missing, unreadable or of a wrong
  // type or size reads as off.
  bool ReadFlag(const Flag& flag) const;
  // A string by its rule in the layout: empty when missing, of another type
  // or longer than its reader's buffer.
  std::wstring ReadText(const Text& text) const;
  // Writes a flag as exactly 0 or 1.
  LONG WriteFlag(const Flag& flag, bool on) const { return WriteDword(flag.name, on ? 1 : 0); }
  LONG WriteText(const Text& text, const std::wstring& value) const { return WriteString(text.name, value); }

  LONG WriteDword(const wchar_t* name, DWORD value) const;
  LONG WriteString(const wchar_t* name, const std::wstring& value) const;
  LONG WriteDate(const wchar_t* name, double date) const;
  LONG DeleteValue(const wchar_t* name) const;

  // The name of subkey `index`; nullopt when the enumeration reports
  // anything but success (the end, or a name longer than `maxChars`).
  std::optional<std::wstring> SubkeyName(DWORD index, DWORD maxChars = MAX_PATH) const;
  // Every subkey name, enumerated by index from 0 until the enumeration
  // ends, gathered before the caller changes anything below the key. A name
  // of `maxChars` characters or more is skipped with a debug line.
  std::vector<std::wstring> SubkeyNames(DWORD maxChars = MAX_PATH) const;
  // Deletes the subkey `path` with everything below it.
  LONG DeleteTree(const wchar_t* path) const;

 private:
  HKEY key_ = nullptr;
};

// Opens HKCU `path` for reading and reads one flag; off when the key does
// not open.
bool ReadUserFlag(const wchar_t* path, const Flag& flag);
// The administrator's lock (HKLM Config "lock" = 1).
bool IsAdminLocked();

// A flag read the way most readers test it: exactly 1 is on; missing is off.
inline bool IsOne(const std::optional<DWORD>& v) { return v && *v == 1; }
// A flag tested for any value other than 0; missing is off.
inline bool IsNotZero(const std::optional<DWORD>& v) { return v && *v != 0; }

}  // namespace reg
