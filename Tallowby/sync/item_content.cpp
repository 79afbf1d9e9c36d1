#include "item_content.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

#include "bstr.h"
#include "com_ptr.h"
#include "folder_object.h"
#include "item_filter.h"
#include "reminders.h"
#include "variant.h"

namespace {

// The content fields a copy carries, by DASL name. A field the item's store
// never mapped reads as missing, as on an item that lacks it.
enum class FieldKind { kContent, kSensitivity, kReminder };
struct Field {
  const wchar_t* dasl;
  FieldKind kind;
};
constexpr Field kFields[] = {
    {L"http://schemas.microsoft.com/mapi/proptag/0x001A001F", FieldKind::kContent},  // message class
    {L"http://schemas.microsoft.com/mapi/proptag/0x0037001F", FieldKind::kContent},  // subject
    {L"http://schemas.microsoft.com/mapi/proptag/0x1000001F", FieldKind::kContent},  // body
    {L"http://schemas.microsoft.com/mapi/proptag/0x00360003", FieldKind::kSensitivity},
    {L"http://schemas.microsoft.com/mapi/proptag/0x3A06001F", FieldKind::kContent},  // given name
    {L"http://schemas.microsoft.com/mapi/proptag/0x3A11001F", FieldKind::kContent},  // surname
    {L"http://schemas.microsoft.com/mapi/id/{00062004-0000-0000-C000-000000000046}/8083001F",
     FieldKind::kContent},  // e-mail
    {L"http://schemas.microsoft.com/mapi/id/{00062004-0000-0000-C000-000000000046}/80551102",
     FieldKind::kContent},  // list members
    {L"http://schemas.microsoft.com/mapi/id/{00062002-0000-0000-C000-000000000046}/820D0040",
     FieldKind::kContent},  // start
    {L"http://schemas.microsoft.com/mapi/id/{00062002-0000-0000-C000-000000000046}/820E0040",
     FieldKind::kContent},  // end
    {L"http://schemas.microsoft.com/mapi/id/{00062002-0000-0000-C000-000000000046}/8208001F",
     FieldKind::kContent},  // location
    {L"http://schemas.microsoft.com/mapi/id/{00062003-0000-0000-C000-000000000046}/81050040",
     FieldKind::kContent},  // task due
    {L"http://schemas.microsoft.com/mapi/id/{00062003-0000-0000-C000-000000000046}/81010003",
     FieldKind::kContent},  // task status
    {L"http://schemas.microsoft.com/mapi/string/{0F62B4A7-203E-40de-99DA-6F03EE72A090}/TallowbySource",
     FieldKind::kContent},
    // The reminder: its flag, its time, what the origin side's reminder
    // was, and an iCloud item's own flag.
    {L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/8503000B", FieldKind::kReminder},
    {L"http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/85020040", FieldKind::kReminder},
    {L"http://schemas.microsoft.com/mapi/string/{0F62B4A7-203E-40de-99DA-6F03EE72A090}/TallowbyReminderWasSet",
     FieldKind::kReminder},
    {kDaslICloudReminder, FieldKind::kReminder},
};
constexpr long kPrivateBit = 2;

constexpr wchar_t kFieldEnd = L'\x1E';
constexpr wchar_t kElementEnd = L'\x1F';

void AppendValue(std::wstring* out, const VARIANT& value);

void AppendArray(std::wstring* out, const VARIANT& value) {
  SAFEARRAY* array = value.parray;
  LONG lower = 0, upper = -1;
  if (!array || FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) return;
  const VARTYPE element = value.vt & VT_TYPEMASK;
  for (LONG i = lower; i <= upper; ++i) {
    com::Variant item;
    if (element == VT_VARIANT) {
      if (FAILED(SafeArrayGetElement(array, &i, item.Put()))) continue;
    } else if (element == VT_UI1) {
      BYTE b = 0;
      if (FAILED(SafeArrayGetElement(array, &i, &b))) continue;
      wchar_t hex[3];
      swprintf(hex, 3, L"%02X", b);
      out->append(hex);
      continue;
    } else if (element == VT_BSTR) {
      com::Bstr text;
      if (SUCCEEDED(SafeArrayGetElement(array, &i, text.Put()))) out->append(text.View());
      out->push_back(kElementEnd);
      continue;
    } else {
      continue;
    }
    AppendValue(out, item);
    out->push_back(kElementEnd);
  }
}

// One value as text, the same for the same value whatever its integer or
// boolean type (the marks are written as one and may be read as the other).
void AppendValue(std::wstring* out, const VARIANT& value) {
  if (value.vt & VT_ARRAY) return AppendArray(out, value);
  wchar_t number[40];
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR:
      return;
    case VT_BSTR:
      if (value.bstrVal) out->append(value.bstrVal, SysStringLen(value.bstrVal));
      return;
    case VT_BOOL:
      out->push_back(value.boolVal ? L'1' : L'0');
      return;
    case VT_DATE:
    case VT_R8:
      swprintf(number, 40, L"%.17g", value.dblVal);
      break;
    case VT_R4:
      swprintf(number, 40, L"%.9g", double(value.fltVal));
      break;
    default: {
      com::Variant asInteger;
      if (FAILED(VariantChangeType(asInteger.Put(), const_cast<VARIANT*>(&value), 0, VT_I8))) return;
      swprintf(number, 40, L"%lld", static_cast<long long>(asInteger.llVal));
    }
  }
  out->append(number);
}

// The field's value as text; none when the item lacks it.
std::optional<std::wstring> FieldText(IRdoMessage* item, const wchar_t* dasl) {
  com::Variant value;
  if (FAILED(item->get_Fields(com::Bstr(dasl), value.Put())) || value.IsEmpty() || value.vt == VT_ERROR)
    return std::nullopt;
  std::wstring text;
  AppendValue(&text, value);
  return text;
}

std::vector<std::wstring> SortedCategories(IRdoMessage* item) {
  static const com::Bstr keywordsName(kDaslKeywords);
  com::Variant value;
  std::vector<std::wstring> names;
  if (SUCCEEDED(item->get_Fields(keywordsName, value.Put()))) names = KeywordTexts(value);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// The recipients in their order, a repeated one (same name and address)
// once, as the writes leave them (cleanRecipients).
std::vector<std::wstring> RecipientsOf(IRdoMessage* item) {
  std::vector<std::wstring> list;
  com::ComPtr<IRdoRecipients> recipients;
  long count = 0;
  if (FAILED(item->get_Recipients(recipients.Put())) || !recipients || FAILED(recipients->get_Count(&count)))
    return list;
  for (long i = 1; i <= count; ++i) {
    com::ComPtr<IRdoRecipient> recipient;
    if (FAILED(recipients->Item(i, recipient.Put())) || !recipient) continue;
    com::Bstr name, address;
    recipient->get_Name(name.Put());
    recipient->get_Address(address.Put());
    std::wstring entry = name.Str() + L"<" + address.Str();
    if (std::find(list.begin(), list.end(), entry) == list.end()) list.push_back(std::move(entry));
  }
  return list;
}

bool IsPrivate(const std::optional<std::wstring>& sensitivity) {
  return sensitivity && (std::wcstol(sensitivity->c_str(), nullptr, 10) & kPrivateBit);
}

bool FieldStays(const Field& field, const std::optional<std::wstring>& mine, const std::optional<std::wstring>& source,
                const WriteRules& rules) {
  if (field.kind == FieldKind::kReminder && !rules.reminders) return true;
  if (field.kind == FieldKind::kSensitivity) {
    if (rules.privacy == WriteRules::Privacy::kTargetKeepsOwn) return true;
    if (rules.privacy == WriteRules::Privacy::kKeepsPrivateMark && IsPrivate(mine)) return true;
  }
  // A copy onto an item leaves what the source lacks.
  return !source || mine == source;
}

}  // namespace

std::wstring TextPrint(std::wstring_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : text) {
    hash ^= uint64_t(c);
    hash *= 1099511628211ull;
  }
  wchar_t digits[17];
  swprintf(digits, 17, L"%016llX", static_cast<unsigned long long>(hash));
  return digits;
}

WriteRules WriteRulesOf(CMAPIFolderObject* job, bool ontoCopy) {
  WriteRules rules;
  if (!job || !job->Events) return rules;
  rules.reminders = !job->Events->DONT_SYNC_REMINDERS;
  if (job->Events->MARK_AS_PRIVATE)
    rules.privacy = ontoCopy ? WriteRules::Privacy::kKeepsPrivateMark : WriteRules::Privacy::kTargetKeepsOwn;
  if (ontoCopy && job->Categorie[0]) {
    rules.addedCategories.emplace_back(job->Categorie);
    if (job->Events->AddUserName2Categories) rules.addedCategories.push_back(L"{" + job->Events->CategoryUserName + L"}");
  }
  return rules;
}

ItemContent ItemContent::Of(IRdoMessage* item) {
  ItemContent content;
  if (!item) return content;
  content.read_ = true;
  for (const Field& field : kFields) content.fields_.push_back(FieldText(item, field.dasl));
  content.categories_ = SortedCategories(item);
  content.recipients_ = RecipientsOf(item);
  return content;
}

bool ItemContent::Holds(const ItemContent& source, const WriteRules& rules) const {
  if (!read_ || !source.read_) return false;
  for (size_t i = 0; i < std::size(kFields); ++i)
    if (!FieldStays(kFields[i], fields_[i], source.fields_[i], rules)) return false;
  std::vector<std::wstring> categories = source.categories_;
  categories.insert(categories.end(), rules.addedCategories.begin(), rules.addedCategories.end());
  std::sort(categories.begin(), categories.end());
  categories.erase(std::unique(categories.begin(), categories.end()), categories.end());
  return categories == categories_ && source.recipients_ == recipients_;
}

std::wstring ItemContent::Print() const {
  std::wstring text;
  for (const std::optional<std::wstring>& field : fields_) {
    if (field) text.append(1, L'=').append(*field);
    text.push_back(kFieldEnd);
  }
  for (const std::wstring& name : categories_) text.append(name).append(1, kElementEnd);
  text.push_back(kFieldEnd);
  for (const std::wstring& recipient : recipients_) text.append(recipient).append(1, kElementEnd);
  return TextPrint(text);
}

std::wstring ContentPrint(IRdoMessage* item) { return item ? ItemContent::Of(item).Print() : std::wstring(); }
