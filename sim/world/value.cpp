#include "world/value.h"

#include <tuple>

namespace sim {

PropKey PropKey::Named(std::wstring_view set, long lid, uint16_t type) {
  PropKey k;
  k.set = Upper(set);
  k.lid = lid;
  k.type = type;
  return k;
}

PropKey PropKey::Named(std::wstring_view set, std::wstring_view name, uint16_t type) {
  PropKey k;
  k.set = Upper(set);
  k.name = name;
  k.type = type;
  return k;
}

PropKey PropKey::Keywords() { return Named(psets::kPublicStrings, L"Keywords", kPtMvUnicode); }

bool PropKey::operator<(const PropKey& o) const {
  return std::tie(id, set, lid, name) < std::tie(o.id, o.set, o.lid, o.name);
}

std::wstring ToHex(const Bytes& b) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring s;
  s.reserve(b.size() * 2);
  for (uint8_t c : b) {
    s.push_back(kDigits[c >> 4]);
    s.push_back(kDigits[c & 15]);
  }
  return s;
}

static int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

bool FromHex(std::wstring_view hex, Bytes* out) {
  if (hex.size() % 2) return false;
  Bytes b;
  b.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    b.push_back(uint8_t(hi * 16 + lo));
  }
  *out = std::move(b);
  return true;
}

std::wstring Upper(std::wstring_view s) {
  std::wstring r(s);
  for (wchar_t& c : r) {
    if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
  }
  return r;
}

std::wstring CategoriesText(const std::vector<std::wstring>& categories) {
  std::wstring text;
  for (const std::wstring& c : categories) text += (text.empty() ? L"" : L", ") + c;
  return text;
}

}  // namespace sim
