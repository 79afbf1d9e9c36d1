#include "registry.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "logs.h"

namespace reg {

Key& Key::operator=(Key&& o) noexcept {
  if (this != &o) {
    Close();
    key_ = o.key_;
    o.key_ = nullptr;
  }
  return *this;
}

LONG Key::Open(HKEY parent, const wchar_t* path, REGSAM access) {
  Close();
  HKEY k = nullptr;
  LONG rc = RegOpenKeyExW(parent, path, 0, access, &k);
  if (rc == ERROR_SUCCESS) key_ = k;
  return rc;
}

LONG Key::Create(HKEY parent, const wchar_t* path, REGSAM access) {
  Close();
  HKEY k = nullptr;
  LONG rc = RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &k, nullptr);
  if (rc == ERROR_SUCCESS) key_ = k;
  return rc;
}

void Key::Close() {
  if (key_) RegCloseKey(key_);
  key_ = nullptr;
}

std::optional<DWORD> Key::ReadDword(const wchar_t* name, DwordType type) const {
  if (!key_) return std::nullopt;
  DWORD value = 0, valueType = REG_NONE, size = sizeof value;
  if (RegQueryValueExW(key_, name, nullptr, &valueType, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
    return std::nullopt;
  if (size != sizeof value) return std::nullopt;
  if (type == DwordType::kMustBeDword && valueType != REG_DWORD) return std::nullopt;
  return value;
}

std::optional<std::wstring> Key::ReadString(const wchar_t* name, DWORD bufferBytes) const {
  if (!key_ || bufferBytes < sizeof(wchar_t)) return std::nullopt;
  std::vector<wchar_t> buffer(bufferBytes / sizeof(wchar_t) + 1, L'\0');
  DWORD valueType = REG_NONE, size = bufferBytes;
  if (RegQueryValueExW(key_, name, nullptr, &valueType, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  if (valueType != REG_SZ && valueType != REG_EXPAND_SZ) return std::nullopt;
  size_t chars = size / sizeof(wchar_t);
  // A stored string without its NUL that fills the buffer would not fit with one.
  bool terminated = chars > 0 && buffer[chars - 1] == L'\0';
  if (!terminated && size + sizeof(wchar_t) > bufferBytes) return std::nullopt;
  buffer[chars] = L'\0';
  return std::wstring(buffer.data());
}

std::optional<double> Key::ReadDate(const wchar_t* name) const {
  if (!key_) return std::nullopt;
  BYTE bytes[sizeof(double)] = {};
  DWORD valueType = REG_NONE, size = sizeof bytes;
  if (RegQueryValueExW(key_, name, nullptr, &valueType, bytes, &size) != ERROR_SUCCESS) return std::nullopt;
  if (valueType != REG_BINARY || size != sizeof bytes) return std::nullopt;
  double date = 0;
  std::memcpy(&date, bytes, sizeof date);
  if (!std::isfinite(date)) return std::nullopt;
  return date;
}

bool Key::ReadFlag(const Flag& flag) const {
  std::optional<DWORD> value = ReadDword(flag.name, flag.type);
  return flag.test == FlagTest::kIsOne ? IsOne(value) : IsNotZero(value);
}

std::wstring Key::ReadText(const Text& text) const {
  return ReadString(text.name, text.bufferBytes).value_or(std::wstring());
}

LONG Key::WriteDword(const wchar_t* name, DWORD value) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG Key::WriteString(const wchar_t* name, const std::wstring& value) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LONG Key::WriteDate(const wchar_t* name, double date) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  return RegSetValueExW(key_, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&date), sizeof date);
}

LONG Key::DeleteValue(const wchar_t* name) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  return RegDeleteValueW(key_, name);
}

std::optional<std::wstring> Key::SubkeyName(DWORD index, DWORD maxChars) const {
  if (!key_) return std::nullopt;
  std::vector<wchar_t> name(maxChars + 1, L'\0');
  DWORD chars = maxChars;
  if (RegEnumKeyExW(key_, index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return std::nullopt;
  return std::wstring(name.data(), chars);
}

std::vector<std::wstring> Key::SubkeyNames(DWORD maxChars) const {
  std::vector<std::wstring> names;
  if (!key_) return names;
  std::vector<wchar_t> name(maxChars + 1, L'\0');
  for (DWORD i = 0;; ++i) {
    DWORD chars = maxChars;
    LONG rc = RegEnumKeyExW(key_, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) {
      // No job or list can have such a name; it must not hide those after it.
      DebugLog(L"Subkey name too long for its buffer, skipped");
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    names.emplace_back(name.data(), chars);
  }
  return names;
}

LONG Key::DeleteTree(const wchar_t* path) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  if (!path || !*path) return ERROR_INVALID_PARAMETER;  // never the key itself
  return RegDeleteTreeW(key_, path);
}

bool ReadUserFlag(const wchar_t* path, const Flag& flag) {
  Key key;
  if (key.Open(HKEY_CURRENT_USER, path, KEY_READ) != ERROR_SUCCESS) return false;
  return key.ReadFlag(flag);
}

bool IsAdminLocked() {
  Key key;
  if (key.Open(HKEY_LOCAL_MACHINE, kConfigPath, KEY_READ) != ERROR_SUCCESS) return false;
  return key.ReadFlag(kAdminLock);
}

}  // namespace reg
