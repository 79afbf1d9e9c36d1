#include "registry.h"

#include <algorithm>
#include <cwctype>

namespace host {
namespace {

bool StartsWithNoCase(const std::wstring& s, const wchar_t* prefix, size_t* len) {
  size_t n = wcslen(prefix);
  if (s.size() < n || _wcsnicmp(s.c_str(), prefix, n) != 0) return false;
  *len = n;
  return true;
}

std::wstring Why(const wchar_t* what, LSTATUS st) { return std::wstring(what) + L" failed: " + std::to_wstring(st); }

std::vector<std::wstring> SubkeyNames(HKEY k) {
  std::vector<std::wstring> names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (RegEnumKeyExW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, len);
  }
  std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
  return names;
}

std::wstring Hex(const BYTE* p, size_t n) {
  static const wchar_t digits[] = L"0123456789ABCDEF";
  std::wstring s;
  for (size_t i = 0; i < n; ++i) { s += digits[p[i] >> 4]; s += digits[p[i] & 15]; }
  return s;
}

std::wstring ValueText(DWORD type, const std::vector<BYTE>& data) {
  switch (type) {
    case REG_DWORD: {
      DWORD v = 0;
      memcpy(&v, data.data(), std::min<size_t>(4, data.size()));
      return L"dword " + std::to_wstring(v);
    }
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::wstring s(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
      while (!s.empty() && s.back() == 0) s.pop_back();
      return (type == REG_SZ ? L"sz \"" : L"expand-sz \"") + s + L"\"";
    }
    case REG_BINARY:
      return data.size() == 8 ? L"binary <date>" : L"binary " + Hex(data.data(), data.size());
    default:
      return L"type" + std::to_wstring(type) + L" " + Hex(data.data(), data.size());
  }
}

void DumpKey(HKEY k, const std::wstring& shown, std::vector<std::wstring>* out) {
  out->push_back(L"key \"" + shown + L"\"");
  struct V { std::wstring name, text; };
  std::vector<V> values;
  wchar_t name[16384];
  for (DWORD i = 0;; ++i) {
    DWORD len = 16384, type = 0, size = 0;
    if (RegEnumValueW(k, i, name, &len, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size);
    len = 16384;
    if (RegEnumValueW(k, i, name, &len, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) continue;
    data.resize(size);
    values.push_back({std::wstring(name, len), ValueText(type, data)});
  }
  std::sort(values.begin(), values.end(), [](const V& a, const V& b) { return _wcsicmp(a.name.c_str(), b.name.c_str()) < 0; });
  for (const V& v : values) out->push_back(L"  value \"" + v.name + L"\" " + v.text);
  for (const std::wstring& sub : SubkeyNames(k)) {
    RegKey child;
    if (RegOpenKeyExW(k, sub.c_str(), 0, KEY_READ, child.Put()) == ERROR_SUCCESS) DumpKey(child.Get(), shown + L"\\" + sub, out);
  }
}

}  // namespace

bool UserSubkey(const std::wstring& path, std::wstring* sub) {
  size_t len = 0;
  if (!StartsWithNoCase(path, L"HKCU\\", &len) && !StartsWithNoCase(path, L"HKEY_CURRENT_USER\\", &len)) return false;
  *sub = path.substr(len);
  while (!sub->empty() && sub->back() == L'\\') sub->pop_back();
  return !sub->empty();
}

std::wstring RegSetValue(const std::wstring& sub, const std::wstring& name, const std::wstring& type,
                         const std::wstring& data) {
  if (type == L"dword") return RegSetDword(sub, name, DWORD(std::wcstoul(data.c_str(), nullptr, 0)));
  if (type == L"sz") return RegSetString(sub, name, data);
  std::vector<BYTE> bytes;
  for (size_t i = 0; i + 1 < data.size(); i += 2) bytes.push_back(BYTE(std::stoul(data.substr(i, 2), nullptr, 16)));
  RegKey k;
  LSTATUS st = RegCreateKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.Put(), nullptr);
  if (st != ERROR_SUCCESS) return Why(L"RegCreateKeyEx", st);
  st = RegSetValueExW(k.Get(), name.c_str(), 0, REG_BINARY, bytes.data(), DWORD(bytes.size()));
  return st == ERROR_SUCCESS ? L"" : Why(L"RegSetValueEx", st);
}

std::wstring RegSetDword(const std::wstring& sub, const std::wstring& name, DWORD value) {
  RegKey k;
  LSTATUS st = RegCreateKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.Put(), nullptr);
  if (st != ERROR_SUCCESS) return Why(L"RegCreateKeyEx", st);
  st = RegSetValueExW(k.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  return st == ERROR_SUCCESS ? L"" : Why(L"RegSetValueEx", st);
}

std::wstring RegSetString(const std::wstring& sub, const std::wstring& name, const std::wstring& value) {
  RegKey k;
  LSTATUS st = RegCreateKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.Put(), nullptr);
  if (st != ERROR_SUCCESS) return Why(L"RegCreateKeyEx", st);
  st = RegSetValueExW(k.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      DWORD((value.size() + 1) * sizeof(wchar_t)));
  return st == ERROR_SUCCESS ? L"" : Why(L"RegSetValueEx", st);
}

std::wstring RegCreate(const std::wstring& sub) {
  RegKey k;
  LSTATUS st = RegCreateKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.Put(), nullptr);
  return st == ERROR_SUCCESS ? L"" : Why(L"RegCreateKeyEx", st);
}

std::wstring RegDelete(const std::wstring& sub, const std::wstring& value) {
  LSTATUS st = value.empty() ? RegDeleteTreeW(HKEY_CURRENT_USER, sub.c_str())
                             : RegDeleteKeyValueW(HKEY_CURRENT_USER, sub.c_str(), value.c_str());
  if (st == ERROR_SUCCESS) {
    if (value.empty()) RegDeleteKeyW(HKEY_CURRENT_USER, sub.c_str());
    return L"";
  }
  return st == ERROR_FILE_NOT_FOUND ? L"" : Why(L"RegDelete", st);
}

bool RegKeyExists(const std::wstring& sub) {
  RegKey k;
  return RegOpenKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, k.Put()) == ERROR_SUCCESS;
}

DWORD RegReadDword(const std::wstring& sub, const std::wstring& name, DWORD fallback) {
  DWORD v = 0, size = sizeof v;
  return RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &v, &size) == ERROR_SUCCESS
             ? v : fallback;
}

std::wstring RegReadString(const std::wstring& sub, const std::wstring& name) {
  wchar_t buf[1024] = {};
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), name.c_str(), RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, buf, &size) != ERROR_SUCCESS)
    return L"";
  return buf;
}

bool RegValueInfo(const std::wstring& sub, const std::wstring& name, DWORD* type, DWORD* size) {
  RegKey k;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, k.Put()) != ERROR_SUCCESS) return false;
  *type = REG_NONE;
  *size = 0;
  return RegQueryValueExW(k.Get(), name.c_str(), nullptr, type, nullptr, size) == ERROR_SUCCESS;
}

size_t RegCountSubkeys(const std::wstring& sub) {
  RegKey k;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, k.Put()) != ERROR_SUCCESS) return 0;
  return SubkeyNames(k.Get()).size();
}

size_t RegCountValues(const std::wstring& sub) {
  RegKey k;
  DWORD n = 0;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, k.Put()) != ERROR_SUCCESS) return 0;
  RegQueryInfoKeyW(k.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr);
  return n;
}

std::vector<std::wstring> RegDumpTree(const std::wstring& sub, const std::wstring& shownPath) {
  std::vector<std::wstring> out;
  RegKey k;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, k.Put()) != ERROR_SUCCESS) {
    out.push_back(L"key \"" + shownPath + L"\" missing");
    return out;
  }
  DumpKey(k.Get(), shownPath, &out);
  return out;
}

}  // namespace host
