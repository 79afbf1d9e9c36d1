// A registry key with its values and subkeys held in memory: read from the
// registry before a page changes it, or put together to be written. A page
// that writes a whole job this way can put the job back as it was when one
// of its writes fails.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct KeyTree {
  struct Value {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
  };

  std::vector<Value> values;
  std::vector<std::pair<std::wstring, KeyTree>> subkeys;
  // Written exactly, the key holds this and nothing else afterwards; else
  // the values and subkeys it holds besides these stay.
  bool exact = true;

  void SetDword(const std::wstring& name, DWORD value);
  // REG_SZ with its terminating NUL.
  void SetString(const std::wstring& name, const std::wstring& value);
  void SetValue(Value value);
  const Value* Find(const std::wstring& name) const;
  // The subkey of that name (case as the registry compares it), added
  // empty when missing.
  KeyTree& Subkey(const std::wstring& name);
  KeyTree* FindSubkey(const std::wstring& name);
  const KeyTree* FindSubkey(const std::wstring& name) const;
};

// Reads the key `parent`\`path` with everything below it into `tree`:
// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when there is no such key, or the
// error that kept it from being read whole.
LONG ReadKeyTree(HKEY parent, const std::wstring& path, KeyTree* tree);

// Writes `tree` into `parent`\`path`, creating keys as needed. Every write
// is tried; the result is the first failure, or ERROR_SUCCESS.
LONG WriteKeyTree(HKEY parent, const std::wstring& path, const KeyTree& tree);

// Registry key and value names compare without regard to letter case.
bool SameRegistryName(const std::wstring& a, const std::wstring& b);

// Test seam: called before each registry change that WriteKeyTree makes;
// anything but ERROR_SUCCESS makes that change fail with it. Null: none.
using KeyTreeWriteFault = LONG (*)();
KeyTreeWriteFault SetKeyTreeWriteFault(KeyTreeWriteFault fault);
