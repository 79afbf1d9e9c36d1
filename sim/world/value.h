// Property values, property keys and well-known tags of the simulated MAPI
// world; hexadecimal text helpers.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <mapicode.h>  // MAPI_E_* results

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// MAPI property types the world stores.
enum PropType : uint16_t {
  kPtUnspecified = 0x0000, kPtShort = 0x0002, kPtLong = 0x0003, kPtDouble = 0x0005,
  kPtError = 0x000A, kPtBoolean = 0x000B, kPtString8 = 0x001E, kPtUnicode = 0x001F,
  kPtSysTime = 0x0040, kPtBinary = 0x0102, kPtMvString8 = 0x101E, kPtMvUnicode = 0x101F,
};

inline constexpr uint32_t MakeTag(uint16_t id, uint16_t type) { return (uint32_t(id) << 16) | type; }
inline constexpr uint16_t TagId(uint32_t tag) { return uint16_t(tag >> 16); }
inline constexpr uint16_t TagType(uint32_t tag) { return uint16_t(tag & 0xFFFF); }

// Well-known tags.
namespace tags {
inline constexpr uint32_t kEntryId = 0x0FFF0102;
inline constexpr uint32_t kMessageClass = 0x001A001F;
inline constexpr uint32_t kSubject = 0x0037001F;
inline constexpr uint32_t kBody = 0x1000001F;
inline constexpr uint32_t kSensitivity = 0x00360003;
inline constexpr uint32_t kDisplayName = 0x3001001F;
inline constexpr uint32_t kComment = 0x3004001F;  // folder description
inline constexpr uint32_t kCreationTime = 0x30070040;
inline constexpr uint32_t kLastModificationTime = 0x30080040;
inline constexpr uint32_t kSearchKey = 0x300B0102;
inline constexpr uint32_t kStoreEntryId = 0x0FFB0102;
inline constexpr uint32_t kMdbProvider = 0x34140102;
inline constexpr uint32_t kFolderType = 0x36010003;
inline constexpr uint32_t kContainerClass = 0x3613001F;
inline constexpr uint32_t kGivenName = 0x3A06001F;
inline constexpr uint32_t kSurname = 0x3A11001F;
inline constexpr uint32_t kSourceKey = 0x65E00102;
inline constexpr uint32_t kChangeKey = 0x65E20102;
inline constexpr uint32_t kLocalCommitTimeMax = 0x670A0040;
inline constexpr uint32_t kICloudReminder = 0x67ED000B;
}  // namespace tags

// Property-set GUIDs in registry text form (upper case).
namespace psets {
inline constexpr wchar_t kPublicStrings[] = L"{00020329-0000-0000-C000-000000000046}";
inline constexpr wchar_t kMeeting[] = L"{6ED8DA90-450B-101B-98DA-00AA003F1305}";
inline constexpr wchar_t kAppointment[] = L"{00062002-0000-0000-C000-000000000046}";
inline constexpr wchar_t kTask[] = L"{00062003-0000-0000-C000-000000000046}";
inline constexpr wchar_t kAddress[] = L"{00062004-0000-0000-C000-000000000046}";
inline constexpr wchar_t kCommon[] = L"{00062008-0000-0000-C000-000000000046}";
inline constexpr wchar_t kTallowby[] = L"{0F62B4A7-203E-40DE-99DA-6F03EE72A090}";
}  // namespace psets

// PR_MDB_PROVIDER of the store kinds that behave as their own kind.
namespace providers {
inline constexpr wchar_t kPersonalFolders[] = L"4E495441F9BFB80100AA0037D96E0000";
inline constexpr wchar_t kICloud[] = L"425DC1A925AC47B5A636EEF64AD9B6B4";
inline constexpr wchar_t kHotmail[] = L"975C4FC305EB4BBBB1992A7570EC7CF9";
}  // namespace providers

// A property's identity: a plain tag id (< 0x8000), or a named property of a
// set by numeric id (lid) or by name. Named keys carry no per-store id, so
// values survive copies between stores.
struct PropKey {
  uint16_t id = 0;           // plain tags; 0 for named keys
  std::wstring set;          // named: property-set GUID text, upper case, braces
  long lid = -1;             // named by id; -1 when named by string
  std::wstring name;         // named by string
  uint16_t type = 0;         // the type the key was last resolved with (not part of identity)

  static PropKey Tag(uint32_t tag) { PropKey k; k.id = TagId(tag); k.type = TagType(tag); return k; }
  static PropKey Named(std::wstring_view set, long lid, uint16_t type);
  static PropKey Named(std::wstring_view set, std::wstring_view name, uint16_t type);
  static PropKey Keywords();

  bool IsNamed() const { return !set.empty(); }
  bool operator==(const PropKey& o) const { return id == o.id && set == o.set && lid == o.lid && name == o.name; }
  bool operator<(const PropKey& o) const;
};

enum class ValueType { Empty, Long, Bool, Double, Date, String, Binary, StringList, Error };

// One property value. Dates are UTC OLE Automation dates, as MAPI keeps
// every PT_SYSTIME property (world/times.h converts).
struct Value {
  ValueType type = ValueType::Empty;
  long long num = 0;                // Long, Bool (0/1), Error (HRESULT)
  double dbl = 0;                   // Double, Date
  std::wstring str;                 // String
  Bytes bin;                        // Binary
  std::vector<std::wstring> list;   // StringList

  static Value Long(long long v) { Value x; x.type = ValueType::Long; x.num = v; return x; }
  static Value Bool(bool v) { Value x; x.type = ValueType::Bool; x.num = v ? 1 : 0; return x; }
  static Value Double(double v) { Value x; x.type = ValueType::Double; x.dbl = v; return x; }
  static Value Date(double v) { Value x; x.type = ValueType::Date; x.dbl = v; return x; }
  static Value String(std::wstring_view v) { Value x; x.type = ValueType::String; x.str = v; return x; }
  static Value Binary(Bytes v) { Value x; x.type = ValueType::Binary; x.bin = std::move(v); return x; }
  static Value List(std::vector<std::wstring> v) { Value x; x.type = ValueType::StringList; x.list = std::move(v); return x; }
  static Value Error(HRESULT hr) { Value x; x.type = ValueType::Error; x.num = hr; return x; }

  bool IsEmpty() const { return type == ValueType::Empty; }
  bool operator==(const Value& o) const = default;
};

// Named properties the world and the wrapper give meaning to.
namespace named {
inline PropKey Keywords() { return PropKey::Keywords(); }
inline PropKey GlobalObjectId() { return PropKey::Named(psets::kMeeting, 0x0003, kPtBinary); }
inline PropKey ResponseStatus() { return PropKey::Named(psets::kAppointment, 0x8218, kPtLong); }
inline PropKey ReminderSet() { return PropKey::Named(psets::kCommon, 0x8503, kPtBoolean); }
inline PropKey ReminderTime() { return PropKey::Named(psets::kCommon, 0x8502, kPtSysTime); }
inline PropKey ReminderState() { return PropKey::Named(psets::kCommon, 0x8501, kPtLong); }
inline PropKey Email1Address() { return PropKey::Named(psets::kAddress, 0x8083, kPtUnicode); }
inline PropKey TaskIsOwner() { return PropKey::Named(psets::kTask, L"SimTaskIsOwner", kPtBoolean); }
inline PropKey TaskIsDelegated() { return PropKey::Named(psets::kTask, L"SimTaskIsDelegated", kPtBoolean); }
inline PropKey TallowbySource() { return PropKey::Named(psets::kTallowby, L"TallowbySource", kPtLong); }
inline PropKey TallowbyReminderWasSet() { return PropKey::Named(psets::kTallowby, L"TallowbyReminderWasSet", kPtBoolean); }
}  // namespace named

// Upper-case hexadecimal text of bytes.
std::wstring ToHex(const Bytes& b);
// Bytes of hexadecimal text (either case); false on odd length or a non-hex digit.
bool FromHex(std::wstring_view hex, Bytes* out);
// Upper-case copy (ASCII letters only).
std::wstring Upper(std::wstring_view s);
// An item's categories as Outlook and the wrapper show them: "A, B".
std::wstring CategoriesText(const std::vector<std::wstring>& categories);

}  // namespace sim
