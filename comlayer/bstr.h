// Bstr: an owning BSTR holder. An empty holder is a null BSTR, which COM
// treats as the empty string.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace com {

class Bstr {
 public:
  Bstr() = default;
  Bstr(const wchar_t* s) : b_(s ? SysAllocString(s) : nullptr) {}
  Bstr(std::wstring_view s) : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  Bstr(const Bstr& o) : b_(o.b_ ? SysAllocStringLen(o.b_, SysStringLen(o.b_)) : nullptr) {}
  Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  ~Bstr() { Reset(); }
  Bstr& operator=(Bstr o) noexcept { std::swap(b_, o.b_); return *this; }

  // The parts one after the other, in one allocation.
  static Bstr Joined(std::initializer_list<std::wstring_view> parts) {
    size_t length = 0;
    for (std::wstring_view part : parts) length += part.size();
    Bstr joined;
    joined.b_ = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!joined.b_) return joined;
    wchar_t* out = joined.b_;
    for (std::wstring_view part : parts) out = std::copy(part.begin(), part.end(), out);
    return joined;
  }

  BSTR Get() const { return b_; }
  operator BSTR() const { return b_; }
  // Out-parameter address; frees the current string first.
  BSTR* Put() { Reset(); return &b_; }
  BSTR Detach() { return std::exchange(b_, nullptr); }
  void Attach(BSTR b) { Reset(); b_ = b; }
  void Reset() { if (b_) SysFreeString(std::exchange(b_, nullptr)); }

  UINT Length() const { return b_ ? SysStringLen(b_) : 0; }
  bool Empty() const { return Length() == 0; }
  const wchar_t* c_str() const { return b_ ? b_ : L""; }
  std::wstring Str() const { return std::wstring(c_str(), Length()); }
  // The text where it lies, valid while this Bstr holds it.
  std::wstring_view View() const { return {c_str(), Length()}; }

 private:
  BSTR b_ = nullptr;
};

}  // namespace com
