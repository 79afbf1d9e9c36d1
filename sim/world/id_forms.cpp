#include "world/id_forms.h"

#include "world/value.h"

namespace sim {
namespace {

// The flag bytes at the head of an id (four bytes, as hexadecimal text).
constexpr std::wstring_view kWrapperFlags = L"00000000";
constexpr std::wstring_view kOutlookFlags = L"80000000";

// `id` with its flag bytes replaced when they are `from`.
std::wstring Reflagged(std::wstring id, std::wstring_view from, std::wstring_view to) {
  if (id.compare(0, from.size(), from) == 0) id.replace(0, from.size(), to);
  return id;
}

}  // namespace

std::wstring OutlookIdForm(std::wstring_view id) {
  std::wstring out = Reflagged(Upper(id), kWrapperFlags, kOutlookFlags);
  for (wchar_t& c : out)
    if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
  return out;
}

std::wstring WrapperIdForm(std::wstring_view id) { return Reflagged(Upper(id), kOutlookFlags, kWrapperFlags); }

}  // namespace sim
