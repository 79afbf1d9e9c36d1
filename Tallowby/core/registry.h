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

namespace reg {

// The add-in's keys, below HKEY_CURRENT_USER (Config also below HKLM).
inline constexpr wchar_t kRootPath[] = L"Software\\Corvane\\Tallowby";
inline constexpr wchar_t kConfigPath[] = L"Software\\Corvane\\Tallowby\\Config";
inline constexpr wchar_t kFoldersPath[] = L"Software\\Corvane\\Tallowby\\Folders";
inline constexpr wchar_t kDefaultFoldersPath[] = L"Software\\Corvane\\Tallowby\\DefaultFolders";
inline constexpr wchar_t kAddCategorieFoldersPath[] = L"Software\\Corvane\\Tallowby\\AddCategorieFolders";
inline constexpr wchar_t kGalFoldersPath[] = L"Software\\Corvane\\Tallowby\\GALFolders";

// Whether a 32-bit read insists on REG_DWORD or takes any 4-byte value.
enum class DwordType { kMustBeDword, kAnyType };

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

  LONG WriteDword(const wchar_t* name, DWORD value) const;
  LONG WriteString(const wchar_t* name, const std::wstring& value) const;
  LONG WriteDate(const wchar_t* name, double date) const;
  LONG DeleteValue(const wchar_t* name) const;

  // The name of subkey `index`; nullopt when the enumeration reports
  // anything but success (the end, or a name longer than `maxChars`).
  std::optional<std::wstring> SubkeyName(DWORD index, DWORD maxChars = MAX_PATH) const;

 private:
  HKEY key_ = nullptr;
};

// A flag read the way most readers test it: exactly 1 is on; missing is off.
inline bool IsOne(const std::optional<DWORD>& v) { return v && *v == 1; }
// A flag tested for any value other than 0; missing is off.
inline bool IsNotZero(const std::optional<DWORD>& v) { return v && *v != 0; }

}  // namespace reg
