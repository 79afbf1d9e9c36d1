#include "language.h"

#include <shlobj.h>

#include <cwchar>
#include <iterator>
#include <vector>

#include "addin_module.h"
#include "registry.h"

namespace {

constexpr LCID kNoLanguage = 0xFFFFFFFF;

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  reinterpret_cast<std::vector<LANGID>*>(param)->push_back(language);
  return TRUE;
}

// The language block of the string block that the rule picks, or 0xFFFF.
LANGID PickBlockLanguage(HINSTANCE module, LPCWSTR block, LANGID wanted) {
  std::vector<LANGID> present;
  EnumResourceLanguagesW(module, RT_STRING, block, &CollectLanguage, reinterpret_cast<LONG_PTR>(&present));
  const LANGID candidates[] = {wanted, MAKELANGID(PRIMARYLANGID(wanted), SUBLANG_NEUTRAL),
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)};
  for (LANGID candidate : candidates)
    for (LANGID p : present)
      if (p == candidate) return candidate;
  return 0xFFFF;
}

}  // namespace

LCID GetUiLanguage() {
  LCID result = kNoLanguage;
  reg::Key config;
  if (config.Open(HKEY_CURRENT_USER, reg::kConfigPath, KEY_QUERY_VALUE) == ERROR_SUCCESS) {
    if (auto v = config.ReadDword(L"LCID", reg::DwordType::kAnyType)) result = *v;
  }
  return result == kNoLanguage ? GetThreadLocale() : result;
}

std::wstring LoadUiString(HINSTANCE module, UINT id, LCID lcid) {
  LPCWSTR block = MAKEINTRESOURCEW(id / 16 + 1);
  LANGID language = PickBlockLanguage(module, block, LANGIDFROMLCID(lcid));
  if (language == 0xFFFF) return {};
  HRSRC res = FindResourceExW(module, RT_STRING, block, language);
  HGLOBAL mem = res ? LoadResource(module, res) : nullptr;
  const wchar_t* p = mem ? static_cast<const wchar_t*>(LockResource(mem)) : nullptr;
  if (!p) return {};
  const wchar_t* end = p + SizeofResource(module, res) / sizeof(wchar_t);
  for (UINT i = 0; i < id % 16; ++i) {
    if (p >= end) return {};
    p += 1 + *p;
  }
  if (p >= end || p + 1 + *p > end) return {};
  return std::wstring(p + 1, *p);
}

std::wstring LoadUiString(UINT id, LCID lcid) { return LoadUiString(g_hInstance, id, lcid); }

void GetVersionString(wchar_t* buffer, size_t chars) {
  if (!buffer || chars == 0) return;
  buffer[0] = L'\0';
  wchar_t path[MAX_PATH] = {};
  if (!GetModuleFileNameW(g_hInstance, path, MAX_PATH)) return;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return;
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path, 0, size, info.data())) return;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
      fixedSize < sizeof *fixed)
    return;
  swprintf(buffer, chars, L"%d.%d.%d", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS));
}

bool GetSpecialFolderPath(wchar_t (&path)[MAX_PATH], bool common) {
  path[0] = L'\0';
  PIDLIST_ABSOLUTE list = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, common ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA, &list)))
    return false;
  BOOL ok = SHGetPathFromIDListW(list, path);
  IMalloc* shellAlloc = nullptr;
  if (SUCCEEDED(SHGetMalloc(&shellAlloc)) && shellAlloc) {
    shellAlloc->Free(list);
    shellAlloc->Release();
  }
  if (!ok) path[0] = L'\0';
  return ok != FALSE;
}

std::wstring GetDllFolder() {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(g_hInstance, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::wstring folder(path, n);
  size_t slash = folder.find_last_of(L"\\/");
  folder.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return folder;
}
