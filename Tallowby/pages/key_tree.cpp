#include "key_tree.h"

#include <algorithm>

#include "registry.h"

namespace {

KeyTreeWriteFault g_writeFault = nullptr;

LONG Fault() { return g_writeFault ? g_writeFault() : ERROR_SUCCESS; }

struct KeyCounts {
  DWORD subkeys = 0, maxSubkeyChars = 0, values = 0, maxValueNameChars = 0, maxValueBytes = 0;
};

LONG Count(HKEY key, KeyCounts* c) {
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &c->subkeys, &c->maxSubkeyChars, nullptr, &c->values,
                          &c->maxValueNameChars, &c->maxValueBytes, nullptr, nullptr);
}

LONG ReadInto(HKEY key, KeyTree* tree) {
  KeyCounts c;
  LONG rc = Count(key, &c);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<wchar_t> name(size_t(std::max(c.maxValueNameChars, c.maxSubkeyChars)) + 1);
  for (DWORD i = 0; i < c.values; ++i) {
    KeyTree::Value v;
    v.data.resize(c.maxValueBytes);
    DWORD chars = DWORD(name.size()), bytes = DWORD(v.data.size());
    rc = RegEnumValueW(key, i, name.data(), &chars, nullptr, &v.type, v.data.data(), &bytes);
    if (rc != ERROR_SUCCESS) return rc;
    v.name.assign(name.data(), chars);
    v.data.resize(bytes);
    tree->values.push_back(std::move(v));
  }
  for (DWORD i = 0; i < c.subkeys; ++i) {
    DWORD chars = DWORD(name.size());
    rc = RegEnumKeyExW(key, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    const std::wstring subName(name.data(), chars);
    reg::Key sub;
    KeyTree subtree;
    rc = sub.Open(key, subName.c_str(), KEY_READ);
    if (rc == ERROR_SUCCESS) rc = ReadInto(sub.Get(), &subtree);
    // A key that went since it was counted is no part of the tree.
    if (rc != ERROR_SUCCESS) return rc == ERROR_FILE_NOT_FOUND ? ERROR_CANTREAD : rc;
    tree->subkeys.emplace_back(subName, std::move(subtree));
  }
  return ERROR_SUCCESS;
}

// The names of the key's values, or of its subkeys.
enum class Names { kValues, kSubkeys };
std::vector<std::wstring> NamesIn(HKEY key, Names which) {
  std::vector<std::wstring> names;
  KeyCounts c;
  if (Count(key, &c) != ERROR_SUCCESS) return names;
  std::vector<wchar_t> name(size_t(which == Names::kValues ? c.maxValueNameChars : c.maxSubkeyChars) + 1);
  for (DWORD i = 0;; ++i) {
    DWORD chars = DWORD(name.size());
    const LONG rc = which == Names::kValues
                        ? RegEnumValueW(key, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr)
                        : RegEnumKeyExW(key, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) break;
    names.emplace_back(name.data(), chars);
  }
  return names;
}

// Keeps the first failure of several writes.
class FirstFailure {
 public:
  void Note(LONG rc) {
    if (rc_ == ERROR_SUCCESS) rc_ = rc;
  }
  LONG Get() const { return rc_; }

 private:
  LONG rc_ = ERROR_SUCCESS;
};

// What an exact tree does not hold goes from the key.
void RemoveOthers(HKEY key, const KeyTree& tree, FirstFailure* result) {
  for (const std::wstring& name : NamesIn(key, Names::kValues)) {
    if (tree.Find(name)) continue;
    LONG rc = Fault();
    if (rc == ERROR_SUCCESS) rc = RegDeleteValueW(key, name.c_str());
    result->Note(rc);
  }
  for (const std::wstring& name : NamesIn(key, Names::kSubkeys)) {
    if (tree.FindSubkey(name)) continue;
    LONG rc = Fault();
    if (rc == ERROR_SUCCESS) rc = RegDeleteTreeW(key, name.c_str());
    result->Note(rc);
  }
}

}  // namespace

void KeyTree::SetDword(const std::wstring& name, DWORD value) {
  Value v{name, REG_DWORD, std::vector<BYTE>(sizeof value)};
  std::copy_n(reinterpret_cast<const BYTE*>(&value), sizeof value, v.data.begin());
  SetValue(std::move(v));
}

void KeyTree::SetString(const std::wstring& name, const std::wstring& value) {
  const auto* bytes = reinterpret_cast<const BYTE*>(value.c_str());
  SetValue({name, REG_SZ, std::vector<BYTE>(bytes, bytes + (value.size() + 1) * sizeof(wchar_t))});
}

void KeyTree::SetValue(Value value) {
  for (Value& v : values)
    if (SameRegistryName(v.name, value.name)) {
      v = std::move(value);
      return;
    }
  values.push_back(std::move(value));
}

const KeyTree::Value* KeyTree::Find(const std::wstring& name) const {
  for (const Value& v : values)
    if (SameRegistryName(v.name, name)) return &v;
  return nullptr;
}

KeyTree& KeyTree::Subkey(const std::wstring& name) {
  if (KeyTree* found = FindSubkey(name)) return *found;
  subkeys.emplace_back(name, KeyTree{});
  return subkeys.back().second;
}

KeyTree* KeyTree::FindSubkey(const std::wstring& name) {
  return const_cast<KeyTree*>(std::as_const(*this).FindSubkey(name));
}

const KeyTree* KeyTree::FindSubkey(const std::wstring& name) const {
  for (const auto& [subName, subtree] : subkeys)
    if (SameRegistryName(subName, name)) return &subtree;
  return nullptr;
}

LONG ReadKeyTree(HKEY parent, const std::wstring& path, KeyTree* tree) {
  *tree = KeyTree{};
  reg::Key key;
  const LONG rc = key.Open(parent, path.c_str(), KEY_READ);
  return rc == ERROR_SUCCESS ? ReadInto(key.Get(), tree) : rc;
}

LONG WriteKeyTree(HKEY parent, const std::wstring& path, const KeyTree& tree) {
  reg::Key key;
  LONG rc = Fault();
  if (rc == ERROR_SUCCESS) rc = key.Create(parent, path.c_str());
  if (rc != ERROR_SUCCESS) return rc;
  FirstFailure result;
  for (const KeyTree::Value& v : tree.values) {
    rc = Fault();
    if (rc == ERROR_SUCCESS)
      rc = RegSetValueExW(key.Get(), v.name.c_str(), 0, v.type, v.data.data(), DWORD(v.data.size()));
    result.Note(rc);
  }
  if (tree.exact) RemoveOthers(key.Get(), tree, &result);
  for (const auto& [name, subtree] : tree.subkeys) result.Note(WriteKeyTree(key.Get(), name, subtree));
  return result.Get();
}

bool SameRegistryName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

KeyTreeWriteFault SetKeyTreeWriteFault(KeyTreeWriteFault fault) { return std::exchange(g_writeFault, fault); }
