#include "registrar.h"

#include <cwctype>
#include <memory>
#include <vector>

namespace com {
namespace {

struct Token {
  std::wstring text;
  bool quoted = false;
};

// Splits the script into blank-separated tokens; 'quoted text' is one token.
bool Tokenize(const std::wstring& s, std::vector<Token>* out) {
  size_t i = 0;
  while (i < s.size()) {
    if (iswspace(s[i])) { ++i; continue; }
    Token t;
    if (s[i] == L'\'') {
      t.quoted = true;
      ++i;
      for (;;) {
        if (i >= s.size()) return false;
        if (s[i] == L'\'') {
          if (i + 1 < s.size() && s[i + 1] == L'\'') { t.text += L'\''; i += 2; continue; }
          ++i;
          break;
        }
        t.text += s[i++];
      }
    } else {
      while (i < s.size() && !iswspace(s[i])) t.text += s[i++];
    }
    out->push_back(std::move(t));
  }
  return true;
}

std::wstring Replace(const std::wstring& text, const std::map<std::wstring, std::wstring>& repl) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'%') {
      size_t end = text.find(L'%', i + 1);
      if (end != std::wstring::npos) {
        auto it = repl.find(text.substr(i + 1, end - i - 1));
        if (it != repl.end()) { out += it->second; i = end; continue; }
        if (end == i + 1) { out += L'%'; i = end; continue; }  // %% is one %
      }
    }
    out += text[i];
  }
  return out;
}

bool Same(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

struct Value {
  wchar_t type = 0;  // 's', 'd', 'b', or 0 for none
  std::wstring data;
};

struct Entry {
  enum Mode { kNormal, kNoRemove, kForceRemove, kDelete } mode = kNormal;
  bool isValue = false;
  std::wstring name;
  Value value;
  std::vector<Entry> children;
};

class Parser {
 public:
  Parser(std::vector<Token> tokens, const std::map<std::wstring, std::wstring>& repl)
      : t_(std::move(tokens)), repl_(repl) {}

  bool AtEnd() const { return i_ >= t_.size(); }
  const Token& Peek() const { return t_[i_]; }
  bool IsPunct(const wchar_t* p) const { return !AtEnd() && !Peek().quoted && Peek().text == p; }

  bool ParseBlock(std::vector<Entry>* out) {  // after '{', up to and including '}'
    while (!AtEnd()) {
      if (IsPunct(L"}")) { ++i_; return true; }
      Entry e;
      if (!ParseEntry(&e)) return false;
      out->push_back(std::move(e));
    }
    return false;
  }

  bool ParseEntry(Entry* e) {
    for (;;) {
      if (AtEnd()) return false;
      const Token& t = Peek();
      if (t.quoted) break;
      if (Same(t.text, L"NoRemove")) e->mode = Entry::kNoRemove;
      else if (Same(t.text, L"ForceRemove")) e->mode = Entry::kForceRemove;
      else if (Same(t.text, L"Delete")) e->mode = Entry::kDelete;
      else if (Same(t.text, L"val")) e->isValue = true;
      else break;
      ++i_;
    }
    if (AtEnd()) return false;
    e->name = Replace(t_[i_++].text, repl_);
    if (IsPunct(L"=")) {
      ++i_;
      if (AtEnd() || Peek().quoted || Peek().text.size() != 1) return false;
      e->value.type = static_cast<wchar_t>(towlower(Peek().text[0]));
      ++i_;
      if (AtEnd() || !Peek().quoted) return false;
      e->value.data = Replace(t_[i_++].text, repl_);
    }
    if (IsPunct(L"{")) {
      ++i_;
      if (e->isValue || !ParseBlock(&e->children)) return false;
    }
    return true;
  }

  size_t Index() const { return i_; }
  void Skip() { ++i_; }

 private:
  std::vector<Token> t_;
  const std::map<std::wstring, std::wstring>& repl_;
  size_t i_ = 0;
};

HKEY RootKey(const std::wstring& name) {
  if (Same(name, L"HKCR") || Same(name, L"HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
  if (Same(name, L"HKCU") || Same(name, L"HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
  if (Same(name, L"HKLM") || Same(name, L"HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
  return nullptr;
}

LONG SetValue(HKEY key, const wchar_t* name, const Value& v) {
  switch (v.type) {
    case L's':
      return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.data.c_str()),
                            DWORD((v.data.size() + 1) * sizeof(wchar_t)));
    case L'd': {
      DWORD d = wcstoul(v.data.c_str(), nullptr, 0);
      return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), sizeof d);
    }
    case L'b': {
      std::vector<BYTE> bytes;
      for (size_t i = 0; i + 1 < v.data.size(); i += 2)
        bytes.push_back(BYTE(wcstoul(v.data.substr(i, 2).c_str(), nullptr, 16)));
      return RegSetValueExW(key, name, 0, REG_BINARY, bytes.data(), DWORD(bytes.size()));
    }
    default:
      return ERROR_INVALID_DATA;
  }
}

struct KeyCloser { void operator()(HKEY k) const { if (k) RegCloseKey(k); } };
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

LONG Register(HKEY parent, const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    if (e.isValue) {
      LONG rc = SetValue(parent, e.name.c_str(), e.value);
      if (rc != ERROR_SUCCESS) return rc;
      continue;
    }
    if (e.mode == Entry::kDelete) { RegDeleteTreeW(parent, e.name.c_str()); RegDeleteKeyW(parent, e.name.c_str()); continue; }
    if (e.mode == Entry::kForceRemove) { RegDeleteTreeW(parent, e.name.c_str()); RegDeleteKeyW(parent, e.name.c_str()); }
    HKEY raw = nullptr;
    LONG rc = RegCreateKeyExW(parent, e.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueKey key(raw);
    if (e.value.type) {
      rc = SetValue(key.get(), nullptr, e.value);
      if (rc != ERROR_SUCCESS) return rc;
    }
    rc = Register(key.get(), e.children);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

void Unregister(HKEY parent, const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    if (e.isValue) { RegDeleteValueW(parent, e.name.c_str()); continue; }
    if (e.mode == Entry::kForceRemove || e.mode == Entry::kDelete) {
      RegDeleteTreeW(parent, e.name.c_str());
      RegDeleteKeyW(parent, e.name.c_str());
      continue;
    }
    HKEY raw = nullptr;
    if (RegOpenKeyExW(parent, e.name.c_str(), 0, KEY_ALL_ACCESS, &raw) != ERROR_SUCCESS) continue;
    DWORD subkeys = 0;
    {
      UniqueKey key(raw);
      Unregister(key.get(), e.children);
      RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr);
    }
    if (e.mode != Entry::kNoRemove && subkeys == 0) RegDeleteKeyW(parent, e.name.c_str());
  }
}

}  // namespace

HRESULT RunRegistryScript(const std::wstring& script, bool install,
                          const std::map<std::wstring, std::wstring>& replacements) {
  std::vector<Token> tokens;
  if (!Tokenize(script, &tokens)) return DISP_E_EXCEPTION;
  Parser p(std::move(tokens), replacements);
  struct Root { HKEY key; std::vector<Entry> entries; };
  std::vector<Root> roots;
  while (!p.AtEnd()) {
    HKEY root = RootKey(p.Peek().text);
    if (!root || p.Peek().quoted) return DISP_E_EXCEPTION;
    p.Skip();
    if (!p.IsPunct(L"{")) return DISP_E_EXCEPTION;
    p.Skip();
    Root r{root, {}};
    if (!p.ParseBlock(&r.entries)) return DISP_E_EXCEPTION;
    roots.push_back(std::move(r));
  }
  for (const Root& r : roots) {
    if (install) {
      LONG rc = Register(r.key, r.entries);
      if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    } else {
      Unregister(r.key, r.entries);
    }
  }
  return S_OK;
}

}  // namespace com
