// The registry commands of the scenario language (HKCU only: it is the
// scenario's own, redirected hive).
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace host {

// RAII registry key.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY k) : k_(k) {}
  RegKey(RegKey&& o) noexcept : k_(std::exchange(o.k_, nullptr)) {}
  RegKey& operator=(RegKey&& o) noexcept { Close(); k_ = std::exchange(o.k_, nullptr); return *this; }
  ~RegKey() { Close(); }
  HKEY Get() const { return k_; }
  HKEY* Put() { Close(); return &k_; }
  explicit operator bool() const { return k_ != nullptr; }
  void Close() { if (k_) RegCloseKey(std::exchange(k_, nullptr)); }

 private:
  HKEY k_ = nullptr;
};

// "HKCU\Software\X" or "HKEY_CURRENT_USER\Software\X" -> "Software\X"; false for another root.
bool UserSubkey(const std::wstring& path, std::wstring* sub);

// Each returns an empty string on success, else the reason.
std::wstring RegSetValue(const std::wstring& sub, const std::wstring& name, const std::wstring& type,
                         const std::wstring& data);
std::wstring RegSetDword(const std::wstring& sub, const std::wstring& name, DWORD value);
std::wstring RegSetString(const std::wstring& sub, const std::wstring& name, const std::wstring& value);
std::wstring RegCreate(const std::wstring& sub);
std::wstring RegDelete(const std::wstring& sub, const std::wstring& value);  // value empty: the key tree

bool RegKeyExists(const std::wstring& sub);
DWORD RegReadDword(const std::wstring& sub, const std::wstring& name, DWORD fallback);
std::wstring RegReadString(const std::wstring& sub, const std::wstring& name);
// The type and size in bytes of a value; false when the key or value is missing.
bool RegValueInfo(const std::wstring& sub, const std::wstring& name, DWORD* type, DWORD* size);
size_t RegCountSubkeys(const std::wstring& sub);
size_t RegCountValues(const std::wstring& sub);
// The key tree, keys and values sorted by name; `shownPath` names the top key.
// 8-byte REG_BINARY values (dates) print as <date>.
std::vector<std::wstring> RegDumpTree(const std::wstring& sub, const std::wstring& shownPath);

}  // namespace host
