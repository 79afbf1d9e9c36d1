// The world itself: queries, keys, commits, incremental sync, failures.
#include <gtest/gtest.h>

#include <algorithm>

#include "world/query.h"
#include "world/times.h"
#include "world/world.h"

namespace sim {
namespace {

constexpr wchar_t kSk[] = L"http://schemas.microsoft.com/mapi/proptag/0x300B0102";
constexpr wchar_t kGoid[] = L"http://schemas.microsoft.com/mapi/id/{6ED8DA90-450B-101B-98DA-00AA003F1305}/00030102";
constexpr wchar_t kKeywords[] = L"\"urn:schemas:mailheader:keywords\"";

class WorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    w.Reset();
    StoreSpec desc;
    desc.name = L"Mailbox";
    desc.kind = 3;
    store = w.AddStore(desc);
    contacts = w.StoreDefaultFolder(store, kOlContacts);
  }
  ObjId Add(ObjId folder, std::wstring subject, std::vector<std::wstring> cats = {}) {
    ItemContent c;
    c.Set(PropKey::Tag(tags::kSubject), Value::String(subject));
    if (!cats.empty()) c.Set(PropKey::Keywords(), Value::List(cats));
    ObjId id = 0;
    EXPECT_EQ(S_OK, w.CreateItem(folder, c, &id));
    return id;
  }
  std::vector<ObjId> Run(std::wstring_view text) {
    std::vector<ObjId> hits;
    EXPECT_EQ(S_OK, w.Query(contacts, text, {}, &hits)) << std::wstring(text);
    return hits;
  }
  World w;
  ObjId store = 0, contacts = 0;
};

TEST(QueryParse, AcceptsTheTextsTheAddInSendsAndRejectsBrokenOnes) {
  std::wstring hex = L"3F2504E04F8911D39A0C0305E82C3301";
  const std::wstring good[] = {
      L"select \"DAV:id\",\"" + std::wstring(kSk) + L"\" from Folder where \"" + kSk + L"\" = '" + hex + L"'",
      L"select \"DAV:getlastmodified\",\"" + std::wstring(kGoid) + L"\" from Folder where \"" + kGoid + L"\" = '" + hex + L"'",
      L"select \"http://schemas.microsoft.com/mapi/proptag/0x001A001F\",\"DAV:id\",\"" + std::wstring(kSk) +
          L"\" from Folder where \"" + kSk + L"\" = '" + hex + L"'",
      L"\"" + std::wstring(kSk) + L"\" = '" + hex + L"'",
      std::wstring(kKeywords) + L"  is not null",
      L"((" + std::wstring(kKeywords) + L"  is not null) OR (" + kKeywords + L" like '%Work%')) OR (" + kKeywords +
          L" like '%Home%')",
      L"(\"http://schemas.microsoft.com/mapi/string/{0F62B4A7-203E-40de-99DA-6F03EE72A090}/TallowbyGAL\" IS NOT NULL)"
      L" AND (\"http://schemas.microsoft.com/mapi/proptag/0x001A001F\" = 'IPM.DistList')",
      L"\"urn:schemas:httpmail:subject\" = 'it''s'",
  };
  for (const auto& text : good) {
    query::Parsed q;
    EXPECT_TRUE(query::Parse(text, &q)) << text;
  }
  query::Parsed q;
  ASSERT_TRUE(query::Parse(good[0], &q));
  EXPECT_EQ(2u, q.columns.size());
  ASSERT_TRUE(query::Parse(good[7], &q));
  std::wstring name, literal;
  ASSERT_TRUE(query::IsSimpleEquality(q, &name, &literal));
  EXPECT_EQ(L"it's", literal);

  for (const wchar_t* bad : {L"", L"\"a\" = 'unterminated", L"(\"a\" is not null", L"\"a\" is", L"select from Folder",
                             L"\"a\" = 'x' garbage", L"a = 'x'"}) {
    EXPECT_FALSE(query::Parse(bad, &q)) << bad;
  }
}

TEST(QueryLike, WildcardsAreCaseInsensitive) {
  EXPECT_TRUE(query::Like(L"Work stuff", L"%work%"));
  EXPECT_TRUE(query::Like(L"Home", L"H_me"));
  EXPECT_FALSE(query::Like(L"Homework", L"work%"));
  EXPECT_TRUE(query::Like(L"", L"%"));
  EXPECT_TRUE(query::Like(L"10% off", L"%10[%]%"));
  EXPECT_FALSE(query::Like(L"100 off", L"%10[%]%")) << "a bracketed wildcard is a letter";
  EXPECT_TRUE(query::Like(L"a_[b", L"a[_][[]b"));
}

TEST_F(WorldTest, QueriesMatchBinaryKeysKeywordsAndMissingProperties) {
  ObjId a = Add(contacts, L"a", {L"Work"});
  ObjId b = Add(contacts, L"b", {L"Private", L"homeoffice"});
  ObjId c = Add(contacts, L"it's");
  std::wstring skB = w.GetItem(b)->SearchKeyHex();

  EXPECT_EQ(std::vector<ObjId>{b}, Run(L"\"" + std::wstring(kSk) + L"\" = '" + skB + L"'"));
  // Hex in either case decodes to the same bytes; the select list does not filter.
  std::wstring lower = skB;
  for (auto& ch : lower) ch = wchar_t(towlower(ch));
  EXPECT_EQ(std::vector<ObjId>{b}, Run(L"select \"DAV:id\",\"" + std::wstring(kSk) + L"\" from Folder where \"" + kSk +
                                       L"\" = '" + lower + L"'"));
  EXPECT_TRUE(Run(L"\"" + std::wstring(kSk) + L"\" = '00'").empty());
  EXPECT_EQ((std::vector<ObjId>{a, b}), Run(std::wstring(kKeywords) + L"  is not null"));
  EXPECT_EQ((std::vector<ObjId>{a, b}),
            Run(L"(" + std::wstring(kKeywords) + L"  is not null) OR (" + kKeywords + L" like '%HOME%')"));
  EXPECT_EQ(std::vector<ObjId>{b}, Run(std::wstring(kKeywords) + L" like '%home%'"));
  EXPECT_EQ(std::vector<ObjId>{c}, Run(L"\"urn:schemas:httpmail:subject\" = 'it''s'"));
  // A mailbox knows the meeting id's name: no match, no failure.
  EXPECT_TRUE(Run(L"\"" + std::wstring(kGoid) + L"\" is not null").empty());
  std::vector<ObjId> hits;
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, w.Query(contacts, L"\"x\" = ", {}, &hits));
  // A name the store never mapped fails the query, also with no item to
  // test, until it is mapped; then it reads as missing.
  const std::wstring gal = L"\"http://schemas.microsoft.com/mapi/string/{0F62B4A7-203E-40de-99DA-6F03EE72A090}/TallowbyGAL\"";
  ObjId empty = w.StoreDefaultFolder(store, kOlNotes);
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, w.Query(empty, gal + L" is null", {}, &hits));
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, w.Query(contacts, gal + L" is null", {}, &hits));
  EXPECT_NE(0, w.NamedPropId(store, PropKey::Named(psets::kTallowby, L"TallowbyGAL", kPtLong), true));
  EXPECT_EQ((std::vector<ObjId>{a, b, c}), Run(gal + L" is null"));
}

TEST_F(WorldTest, StoresBehaveAsTheirKind) {
  StoreSpec desc;
  desc.name = L"iCloud";
  desc.providerHex = providers::kICloud;
  const ObjId icloud = w.StoreDefaultFolder(w.AddStore(desc), kOlContacts);
  desc.name = L"Hotmail";
  desc.providerHex = providers::kHotmail;
  const ObjId hotmail = w.StoreDefaultFolder(w.AddStore(desc), kOlCalendar);
  const ObjId a = Add(contacts, L"a");
  const std::wstring key = w.GetItem(a)->SearchKeyHex();
  // The wrapper's copy into an iCloud store gets a search key of its own;
  // the user's paste keeps it.
  ObjId copy = 0, pasted = 0;
  ASSERT_EQ(S_OK, w.CreateCopy(icloud, w.GetItem(a)->content, &copy));
  ASSERT_EQ(S_OK, w.CopyItemToFolder(a, icloud, &pasted));
  EXPECT_NE(key, w.GetItem(copy)->SearchKeyHex());
  EXPECT_EQ(key, w.GetItem(pasted)->SearchKeyHex());
  // A Hotmail store gives each appointment a meeting id, a copy too; a
  // copy of one that has its id keeps it.
  ItemContent meeting;
  meeting.Set(PropKey::Tag(tags::kMessageClass), Value::String(L"IPM.Appointment"));
  ObjId plain = 0, made = 0, copied = 0, again = 0;
  ASSERT_EQ(S_OK, w.CreateItem(w.StoreDefaultFolder(store, kOlCalendar), meeting, &plain));
  EXPECT_EQ(nullptr, w.GetItem(plain)->content.Find(named::GlobalObjectId()));
  ASSERT_EQ(S_OK, w.CreateItem(hotmail, meeting, &made));
  ASSERT_EQ(S_OK, w.CreateCopy(hotmail, w.GetItem(plain)->content, &copied));
  ASSERT_EQ(S_OK, w.CreateCopy(hotmail, w.GetItem(made)->content, &again));
  const Value* id = w.GetItem(made)->content.Find(named::GlobalObjectId());
  ASSERT_NE(nullptr, id);
  ASSERT_NE(nullptr, w.GetItem(copied)->content.Find(named::GlobalObjectId()));
  EXPECT_EQ(ToHex(id->bin), ToHex(w.GetItem(again)->content.Find(named::GlobalObjectId())->bin));
}

TEST_F(WorldTest, CommitsGiveNewChangeKeysCopiesKeepTheSearchKey) {
  ObjId a = Add(contacts, L"a");
  ItemInfo first = *w.GetItem(a);
  EXPECT_EQ(32u, first.SearchKeyHex().size());
  EXPECT_FALSE(first.SourceKeyHex().empty());
  double last = first.LastModified();
  std::wstring ck = first.ChangeKeyHex();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(S_OK, w.CommitItem(a, w.GetItem(a)->content));
    ItemInfo now = *w.GetItem(a);
    EXPECT_GE(now.LastModified(), last);
    EXPECT_NE(ck, now.ChangeKeyHex());
    EXPECT_EQ(first.SourceKeyHex(), now.SourceKeyHex());
    EXPECT_EQ(first.SearchKeyHex(), now.SearchKeyHex());
    last = now.LastModified();
    ck = now.ChangeKeyHex();
  }
  ObjId other = w.StoreDefaultFolder(store, kOlTasks);
  ObjId copy = 0;
  ASSERT_EQ(S_OK, w.CopyItemToFolder(a, other, &copy));
  ItemInfo c = *w.GetItem(copy);
  EXPECT_EQ(first.SearchKeyHex(), c.SearchKeyHex());
  EXPECT_NE(first.SourceKeyHex(), c.SourceKeyHex());
  EXPECT_NE(first.entryId, c.entryId);
  EXPECT_EQ(L"a", c.Subject());
  Bytes sk;
  FromHex(first.SearchKeyHex(), &sk);
  EXPECT_EQ(copy, w.FindBySearchKey(other, sk));
  EXPECT_EQ(a, w.FindBySearchKey(contacts, sk));
  // A read-only item refuses commits.
  w.SetReadOnly(a, true);
  EXPECT_EQ(E_ACCESSDENIED, w.CommitItem(a, c.content));
}

// Dates in the world are UTC, as MAPI keeps them; these tests run in a zone
// with daylight saving (Europe/Berlin).
TEST(Times, ConvertByTheRulesOfTheDateNotOfToday) {
  SYSTEMTIME winter{2026, 1, 0, 15, 12, 0, 0, 0}, summer{2026, 7, 0, 15, 12, 0, 0, 0};
  double w = 0, s = 0;
  SystemTimeToVariantTime(&winter, &w);
  SystemTimeToVariantTime(&summer, &s);
  constexpr double kHour = 1.0 / 24;
  EXPECT_NEAR(w + kHour, times::ToLocal(w), 1e-7);
  EXPECT_NEAR(s + 2 * kHour, times::ToLocal(s), 1e-7);
  EXPECT_NEAR(s, times::ToUtc(times::ToLocal(s)), 1e-7);
  EXPECT_NEAR(w, times::ToUtc(times::ToLocal(w)), 1e-7);
  EXPECT_EQ(0.0, times::ToLocal(0.0));  // "never" stays never
}

TEST_F(WorldTest, ImportsKeepTheirTimesCommitsAndCopiesTakeTheStoresClock) {
  constexpr double kDay = 1.0, kMinute = 1.0 / 1440;
  const double now = times::NowUtc();
  ItemContent old;
  old.Set(PropKey::Tag(tags::kSubject), Value::String(L"imported"));
  old.Set(PropKey::Tag(tags::kLastModificationTime), Value::Date(now - 3 * kDay));
  ObjId a = 0;
  ASSERT_EQ(S_OK, w.CreateItem(contacts, old, &a));
  EXPECT_NEAR(now - 3 * kDay, w.GetItem(a)->LastModified(), 1e-9);
  const Value* created = w.GetItem(a)->content.Find(PropKey::Tag(tags::kCreationTime));
  ASSERT_TRUE(created);
  EXPECT_NEAR(now, created->dbl, kMinute);

  // A commit stamps the store's now; a phone's edit uploaded later keeps its own.
  ASSERT_EQ(S_OK, w.CommitItem(a, w.GetItem(a)->content));
  EXPECT_NEAR(now, w.GetItem(a)->LastModified(), kMinute);
  ASSERT_EQ(S_OK, w.CommitItem(a, w.GetItem(a)->content, now - kDay));
  EXPECT_NEAR(now - kDay, w.GetItem(a)->LastModified(), 1e-9);
  ObjId copy = 0;
  ASSERT_EQ(S_OK, w.CopyItemToFolder(a, w.StoreDefaultFolder(store, kOlTasks), &copy));
  EXPECT_NEAR(now, w.GetItem(copy)->LastModified(), kMinute);

  // A store's clock runs ahead; a connector store keeps whole seconds.
  StoreSpec icloud;
  icloud.providerHex = providers::kICloud;
  icloud.clockOffsetSeconds = 3600;
  ObjId ic = w.AddStore(icloud);
  ObjId b = 0;
  ASSERT_EQ(S_OK, w.CreateItem(w.StoreDefaultFolder(ic, kOlContacts), ItemContent(), &b));
  const double stamped = w.GetItem(b)->LastModified();
  EXPECT_NEAR(now + 60 * kMinute, stamped, kMinute);
  EXPECT_DOUBLE_EQ(times::WholeSeconds(stamped), stamped);
  EXPECT_EQ(StoreFlavor::ICloud, w.GetStore(ic)->flavor);
  // A clock put back after the store stamped: its next commits carry the
  // earlier time.
  w.SetStoreClockOffset(store, -2 * 86400.0);
  ObjId late = 0;
  ASSERT_EQ(S_OK, w.CreateItem(contacts, ItemContent(), &late));
  EXPECT_NEAR(now - 2880 * kMinute, w.GetItem(late)->LastModified(), kMinute);
}

TEST_F(WorldTest, EchoingStoresWriteTheAddInsItemsAgainLaterWithTheirContent) {
  ObjId quiet = Add(contacts, L"quiet");
  w.AddInWrote(quiet);
  EXPECT_EQ(0u, w.PendingWork());  // this store does not echo

  StoreSpec soon, later;
  soon.echoAfterSeconds = 0;
  later.echoAfterSeconds = 3600;
  ObjId a = Add(w.StoreDefaultFolder(w.AddStore(soon), kOlContacts), L"a");
  ObjId b = Add(w.StoreDefaultFolder(w.AddStore(later), kOlContacts), L"b");
  const ItemInfo before = *w.GetItem(a);
  std::vector<ChangeNote> notes;
  int token = w.AddObserver([&](const ChangeNote& n) { notes.push_back(n); });
  w.AddInWrote(a);
  w.AddInWrote(a);  // one echo per item, however often it was written
  w.AddInWrote(b);
  EXPECT_EQ(2u, w.PendingWork());
  EXPECT_EQ(1u, w.RunDue());
  EXPECT_EQ(1u, w.PendingWork());  // b's echo is an hour away
  w.RemoveObserver(token);
  const ItemInfo after = *w.GetItem(a);
  EXPECT_NE(before.ChangeKeyHex(), after.ChangeKeyHex());
  EXPECT_EQ(before.Subject(), after.Subject());
  EXPECT_EQ(before.SearchKeyHex(), after.SearchKeyHex());
  ASSERT_EQ(1u, notes.size());
  EXPECT_EQ(ChangeKind::Change, notes[0].kind);

  // An echo of an item deleted meanwhile does nothing.
  ASSERT_EQ(S_OK, w.DeleteItem(quiet));
  EXPECT_EQ(MAPI_E_OBJECT_DELETED, w.EchoItem(quiet));
}

// The store's due reminders follow every way an item's reminder or place
// changes: a commit setting or clearing it, a move to another store, a
// delete, and a folder deleted for good with its items.
TEST_F(WorldTest, DueRemindersFollowCommitsMovesAndDeletes) {
  ItemContent on;
  on.Set(named::ReminderSet(), Value::Bool(true));
  ItemContent off = on;
  off.Set(named::ReminderSet(), Value::Bool(false));
  ObjId a = 0, b = 0, c = 0;
  ASSERT_EQ(S_OK, w.CreateItem(contacts, off, &a));
  ASSERT_EQ(S_OK, w.CreateItem(contacts, on, &b));
  const ObjId sub = w.AddFolder(contacts, L"sub");
  ASSERT_EQ(S_OK, w.CreateItem(sub, on, &c));
  EXPECT_EQ((std::vector<ObjId>{b, c}), w.DueReminders(store));

  ASSERT_EQ(S_OK, w.CommitItem(a, on));
  ASSERT_EQ(S_OK, w.CommitItem(b, off));
  EXPECT_EQ((std::vector<ObjId>{a, c}), w.DueReminders(store));

  StoreSpec other;
  const ObjId pst = w.AddStore(other);
  ObjId moved = 0;
  ASSERT_EQ(S_OK, w.MoveItem(a, w.StoreDefaultFolder(pst, kOlContacts), &moved));
  EXPECT_EQ((std::vector<ObjId>{c}), w.DueReminders(store));
  EXPECT_EQ((std::vector<ObjId>{moved}), w.DueReminders(pst));

  ASSERT_TRUE(w.DeleteFolder(sub, true));
  EXPECT_TRUE(w.DueReminders(store).empty());
  ASSERT_EQ(S_OK, w.DeleteItem(moved, DeleteMode::Hard));
  EXPECT_TRUE(w.DueReminders(pst).empty());
}

TEST_F(WorldTest, IdsAreUpperHexAndRepeatAfterReset) {
  ObjId a = Add(contacts, L"a");
  std::wstring id = w.GetItem(a)->entryId, storeId = w.GetStore(store)->storeId;
  for (wchar_t ch : id + storeId) EXPECT_TRUE(iswdigit(ch) || (ch >= L'A' && ch <= L'F'));
  SetUp();
  EXPECT_EQ(id, w.GetItem(Add(contacts, L"a"))->entryId);
  EXPECT_EQ(storeId, w.GetStore(store)->storeId);
}

TEST_F(WorldTest, StoresHaveTheirDefaultFoldersAndFoldersInheritTypes) {
  StoreSpec pst;
  pst.omitFolders = {kOlJournal, kOlInbox};
  ObjId p = w.AddStore(pst);
  EXPECT_EQ(0u, w.StoreDefaultFolder(p, kOlJournal));
  EXPECT_EQ(0u, w.StoreDefaultFolder(p, kOlInbox));
  EXPECT_NE(0u, w.StoreDefaultFolder(store, kOlInbox));  // the default store keeps its Inbox
  EXPECT_EQ(store, w.DefaultStore());
  EXPECT_EQ(800, w.ConnectionMode());
  ObjId sub = w.AddFolder(contacts, L"Friends");
  EXPECT_EQ(kOlContactItem, w.GetFolder(sub)->itemType);
  ObjId mail = w.AddFolder(w.GetStore(store)->root, L"Mail");
  EXPECT_EQ(kOlMailItem, w.GetFolder(mail)->itemType);
  HRESULT hr = S_OK;
  EXPECT_EQ(0u, w.AddFolder(contacts, L"friends", -1, &hr));
  EXPECT_EQ(MAPI_E_COLLISION, hr);
  // The profile without Exchange is offline (0).
  ASSERT_TRUE(w.RemoveStore(store));
  EXPECT_EQ(p, w.DefaultStore());
  EXPECT_NE(0u, w.StoreDefaultFolder(p, kOlInbox));
  EXPECT_EQ(0, w.ConnectionMode());
  w.SetConnectionModes({300, 800});
  EXPECT_EQ(300, w.ConnectionMode());
  EXPECT_EQ(800, w.ConnectionMode());
  EXPECT_EQ(800, w.ConnectionMode());
}

TEST_F(WorldTest, IncrementalSyncReportsASnapshotSinceTheState) {
  ObjId a = Add(contacts, L"a", {L"Work"});
  ObjId b = Add(contacts, L"b");
  IcsResult r;
  ASSERT_EQ(S_OK, w.GetChanges(contacts, L"", std::nullopt, &r));
  ASSERT_EQ(2u, r.changes.size());
  EXPECT_TRUE(r.changes[0].isNew);
  EXPECT_EQ(w.GetItem(a)->SourceKeyHex(), r.changes[0].sourceKey);
  EXPECT_EQ(w.GetItem(a)->ChangeKeyHex(), r.changes[0].changeKey);
  std::wstring state = r.newState;

  // Changes after the call come next time, with the latest change key, in commit order.
  ObjId c = Add(contacts, L"c");
  ASSERT_EQ(S_OK, w.CommitItem(a, w.GetItem(a)->content));
  std::wstring srcB = w.GetItem(b)->SourceKeyHex();
  ASSERT_EQ(S_OK, w.DeleteItem(b));
  ObjId gone = Add(contacts, L"born and gone");
  ASSERT_EQ(S_OK, w.DeleteItem(gone));
  IcsResult r2;
  ASSERT_EQ(S_OK, w.GetChanges(contacts, state, std::nullopt, &r2));
  ASSERT_EQ(3u, r2.changes.size());
  EXPECT_EQ(w.GetItem(c)->entryId, r2.changes[0].entryId);
  EXPECT_TRUE(r2.changes[0].isNew);
  EXPECT_EQ(w.GetItem(a)->ChangeKeyHex(), r2.changes[1].changeKey);
  EXPECT_FALSE(r2.changes[1].isNew);
  EXPECT_EQ(1, r2.changes[2].kind);
  EXPECT_EQ(srcB, r2.changes[2].sourceKey);

  // The old state still answers the same; the new one answers nothing.
  IcsResult again;
  ASSERT_EQ(S_OK, w.GetChanges(contacts, state, std::nullopt, &again));
  EXPECT_EQ(3u, again.changes.size());
  ASSERT_EQ(S_OK, w.GetChanges(contacts, r2.newState, std::nullopt, &again));
  EXPECT_TRUE(again.changes.empty());

  // A restriction filters what is reported.
  ASSERT_EQ(S_OK, w.GetChanges(contacts, L"", std::wstring(kKeywords) + L"  is not null", &again));
  ASSERT_EQ(1u, again.changes.size());
  EXPECT_EQ(w.GetItem(a)->entryId, again.changes[0].entryId);

  // Damaged, foreign and unsupported.
  std::wstring damaged = r2.newState;
  damaged.back() = damaged.back() == L'0' ? L'1' : L'0';
  EXPECT_EQ(MAPI_E_CORRUPT_DATA, w.GetChanges(contacts, damaged, std::nullopt, &again));
  EXPECT_EQ(MAPI_E_CORRUPT_DATA, w.GetChanges(contacts, L"garbage", std::nullopt, &again));
  EXPECT_EQ(MAPI_E_CORRUPT_DATA, w.GetChanges(w.StoreDefaultFolder(store, kOlTasks), r2.newState, std::nullopt, &again));
  ObjId pst = w.AddStore(StoreSpec{});
  EXPECT_EQ(MAPI_E_NO_SUPPORT, w.GetChanges(w.StoreDefaultFolder(pst, kOlContacts), L"", std::nullopt, &again));
}

// With a restriction, a state names what the client had: an item that left
// the scope is a deletion, one that came into it is new, one that changed
// out of it is nothing. A server that forgot its states refuses them.
TEST_F(WorldTest, IncrementalSyncFollowsTheScopeAndStatesExpire) {
  const std::wstring scope = std::wstring(kKeywords) + L"  is not null";
  ObjId a = Add(contacts, L"a", {L"Work"});
  ObjId b = Add(contacts, L"b");
  IcsResult r;
  ASSERT_EQ(S_OK, w.GetChanges(contacts, L"", scope, &r));
  ASSERT_EQ(1u, r.changes.size());
  const std::wstring state = r.newState;

  ItemContent plain = w.GetItem(a)->content;
  plain.Set(PropKey::Keywords(), Value());
  ASSERT_EQ(S_OK, w.CommitItem(a, plain));
  ItemContent tagged = w.GetItem(b)->content;
  tagged.Set(PropKey::Keywords(), Value::List({L"Work"}));
  ASSERT_EQ(S_OK, w.CommitItem(b, tagged));
  ASSERT_EQ(S_OK, w.GetChanges(contacts, state, scope, &r));
  ASSERT_EQ(2u, r.changes.size());
  EXPECT_EQ(1, r.changes[0].kind);
  EXPECT_EQ(w.GetItem(a)->SourceKeyHex(), r.changes[0].sourceKey);
  EXPECT_EQ(2, r.changes[1].kind);
  EXPECT_TRUE(r.changes[1].isNew);
  EXPECT_EQ(w.GetItem(b)->entryId, r.changes[1].entryId);
  const std::wstring later = r.newState;
  ASSERT_EQ(S_OK, w.CommitItem(a, plain));
  ASSERT_EQ(S_OK, w.GetChanges(contacts, later, scope, &r));
  EXPECT_TRUE(r.changes.empty());

  ASSERT_TRUE(w.ExpireSyncStates(contacts));
  EXPECT_EQ(MAPI_E_CORRUPT_DATA, w.GetChanges(contacts, later, scope, &r));
  ASSERT_EQ(S_OK, w.GetChanges(contacts, L"", scope, &r));
  ASSERT_EQ(1u, r.changes.size());
  EXPECT_EQ(S_OK, w.GetChanges(contacts, r.newState, scope, &r));
}

// A mailbox in cached mode: a new item has no source key, and is not
// reported, until it was uploaded.
TEST_F(WorldTest, ACachedMailboxUploadsNewItemsLater) {
  IcsResult r;
  ASSERT_EQ(S_OK, w.GetChanges(contacts, L"", std::nullopt, &r));
  const std::wstring state = r.newState;
  StoreSpec cached;
  cached.kind = 3;
  cached.uploadAfterSeconds = 0;
  const ObjId folder = w.StoreDefaultFolder(w.AddStore(cached), kOlContacts);
  EXPECT_EQ(700, w.ConnectionMode());
  ObjId a = Add(folder, L"a");
  EXPECT_EQ(L"", w.GetItem(a)->SourceKeyHex());
  ASSERT_EQ(S_OK, w.GetChanges(folder, L"", std::nullopt, &r));
  EXPECT_TRUE(r.changes.empty());
  const std::wstring before = r.newState;
  const std::wstring changeKey = w.GetItem(a)->ChangeKeyHex();
  EXPECT_EQ(1u, w.RunDue());
  EXPECT_NE(L"", w.GetItem(a)->SourceKeyHex());
  EXPECT_EQ(changeKey, w.GetItem(a)->ChangeKeyHex());
  Bytes key;
  FromHex(w.GetItem(a)->SourceKeyHex(), &key);
  EXPECT_EQ(a, w.FindBySourceKey(w.GetItem(a)->store, key));
  ASSERT_EQ(S_OK, w.GetChanges(folder, before, std::nullopt, &r));
  ASSERT_EQ(1u, r.changes.size());
  EXPECT_TRUE(r.changes[0].isNew);
  EXPECT_EQ(changeKey, r.changes[0].changeKey);
  // The online store's items have theirs at once.
  EXPECT_NE(L"", w.GetItem(Add(contacts, L"b"))->SourceKeyHex());
  ASSERT_EQ(S_OK, w.GetChanges(contacts, state, std::nullopt, &r));
  EXPECT_EQ(1u, r.changes.size());
}

TEST_F(WorldTest, FailuresHitTheNthCallAndObserversSeeEveryChange) {
  w.InjectFailure(L"Message.Save", 2, E_ACCESSDENIED, 2);
  HRESULT hr = S_OK;
  EXPECT_FALSE(w.ShouldFail(L"Message.Save", &hr));
  EXPECT_TRUE(w.ShouldFail(L"Message.Save", &hr));
  EXPECT_EQ(E_ACCESSDENIED, hr);
  EXPECT_TRUE(w.ShouldFail(L"Message.Save", &hr));
  EXPECT_FALSE(w.ShouldFail(L"Message.Save", &hr));
  w.InjectFailure(L"Items.Find", 1, E_FAIL, -1);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(w.ShouldFail(L"Items.Find", &hr));
  w.ClearFailures();
  EXPECT_FALSE(w.ShouldFail(L"Items.Find", &hr));

  std::vector<ChangeNote> notes;
  int token = w.AddObserver([&](const ChangeNote& n) { notes.push_back(n); });
  ObjId a = Add(contacts, L"a");
  ASSERT_EQ(S_OK, w.CommitItem(a, w.GetItem(a)->content));
  ObjId sub = w.AddFolder(contacts, L"Sub");
  ObjId copy = 0;
  ASSERT_EQ(S_OK, w.CopyItemToFolder(a, sub, &copy));
  ASSERT_EQ(S_OK, w.DeleteItem(a));
  w.RemoveObserver(token);
  Add(contacts, L"unseen");
  ASSERT_EQ(4u, notes.size());
  EXPECT_EQ(ChangeKind::Add, notes[0].kind);
  EXPECT_EQ(ChangeKind::Change, notes[1].kind);
  EXPECT_EQ(sub, notes[2].folder);
  EXPECT_EQ(copy, notes[2].item);
  EXPECT_EQ(ChangeKind::Remove, notes[3].kind);
  EXPECT_EQ(1u, notes[3].batch);
}

// What the user's moves and deletes do, and what Outlook's events see of them.
TEST_F(WorldTest, MovesKeepTheItemDeletesGoToDeletedItemsAndBatchesAreMarked) {
  ObjId bin = w.StoreDefaultFolder(store, kOlDeletedItems);
  ObjId team = w.AddFolder(contacts, L"Team");
  ObjId a = Add(team, L"a");
  ASSERT_EQ(S_OK, w.CommitItem(a, w.GetItem(a)->content, times::NowUtc() - 1.0));
  const ItemInfo before = *w.GetItem(a);
  IcsResult r;
  ASSERT_EQ(S_OK, w.GetChanges(contacts, L"", std::nullopt, &r));
  const std::wstring contactsState = r.newState;
  ASSERT_EQ(S_OK, w.GetChanges(team, L"", std::nullopt, &r));
  const std::wstring teamState = r.newState;

  std::vector<ChangeNote> notes;
  int token = w.AddObserver([&](const ChangeNote& n) { notes.push_back(n); });
  ObjId moved = 0;
  ASSERT_EQ(S_OK, w.MoveItem(a, contacts, &moved));
  const ItemInfo after = *w.GetItem(moved);
  EXPECT_FALSE(w.GetItem(a));
  EXPECT_NE(before.entryId, after.entryId);
  for (auto read : {&ItemInfo::SearchKeyHex, &ItemInfo::ChangeKeyHex, &ItemInfo::SourceKeyHex})
    EXPECT_EQ((before.*read)(), (after.*read)());
  EXPECT_DOUBLE_EQ(before.LastModified(), after.LastModified());
  ASSERT_EQ(2u, notes.size());
  EXPECT_EQ(ChangeKind::Remove, notes[0].kind);
  EXPECT_EQ(team, notes[0].folder);
  EXPECT_EQ(ChangeKind::Add, notes[1].kind);
  EXPECT_EQ(contacts, notes[1].folder);
  // The server reports a deletion where it left and a new item where it came.
  ASSERT_EQ(S_OK, w.GetChanges(team, teamState, std::nullopt, &r));
  ASSERT_EQ(1u, r.changes.size());
  EXPECT_EQ(1, r.changes[0].kind);
  ASSERT_EQ(S_OK, w.GetChanges(contacts, contactsState, std::nullopt, &r));
  ASSERT_EQ(1u, r.changes.size());
  EXPECT_TRUE(r.changes[0].isNew);
  // Into another store: a new source key there.
  ObjId pst = w.AddStore(StoreSpec{});
  ObjId elsewhere = 0;
  ASSERT_EQ(S_OK, w.MoveItem(moved, w.StoreDefaultFolder(pst, kOlContacts), &elsewhere));
  EXPECT_NE(before.SourceKeyHex(), w.GetItem(elsewhere)->SourceKeyHex());
  EXPECT_EQ(before.SearchKeyHex(), w.GetItem(elsewhere)->SearchKeyHex());

  // A user's delete moves to Deleted Items; a delete there is for good.
  ObjId b = Add(contacts, L"b");
  ASSERT_EQ(S_OK, w.DeleteItem(b, DeleteMode::ToDeletedItems));
  ASSERT_EQ(1u, w.ItemCount(bin));
  ObjId binned = w.Items(bin).front();
  EXPECT_EQ(L"b", w.GetItem(binned)->Subject());
  ASSERT_EQ(S_OK, w.DeleteItem(binned, DeleteMode::ToDeletedItems));
  EXPECT_EQ(0u, w.ItemCount(bin));
  for (DeleteMode mode : {DeleteMode::Soft, DeleteMode::Hard}) {
    ObjId c = Add(contacts, L"c");
    ASSERT_EQ(S_OK, w.DeleteItem(c, mode));
    EXPECT_FALSE(w.GetItem(c));
    EXPECT_EQ(0u, w.ItemCount(bin));
  }

  // Many at once: every note of the step knows the batch.
  notes.clear();
  std::vector<ItemContent> many(20);
  std::vector<ObjId> made;
  ASSERT_EQ(S_OK, w.CreateItems(team, many, &made));
  ASSERT_EQ(20u, made.size());
  ASSERT_EQ(20u, notes.size());
  EXPECT_EQ(20u, notes.back().batch);
  notes.clear();
  ASSERT_EQ(S_OK, w.DeleteItems(made, DeleteMode::ToDeletedItems));
  ASSERT_EQ(40u, notes.size());
  EXPECT_TRUE(std::all_of(notes.begin(), notes.end(), [](const ChangeNote& n) { return n.batch == 20; }));
  EXPECT_EQ(20u, w.ItemCount(bin));

  // A deleted folder moves to Deleted Items with its items and EntryID, and
  // goes for good when deleted there or when the bin is emptied; none of it
  // raises item events of the folder.
  ObjId keep = Add(team, L"kept");
  const std::wstring teamId = w.GetFolder(team)->entryId;
  notes.clear();
  ASSERT_TRUE(w.DeleteFolder(team));
  EXPECT_EQ(bin, w.GetFolder(team)->parent);
  EXPECT_EQ(team, w.FolderByEntryId(teamId));
  EXPECT_TRUE(w.GetItem(keep));
  EXPECT_TRUE(notes.empty());
  EXPECT_FALSE(w.DeleteFolder(contacts)) << "a default folder stays";
  ASSERT_TRUE(w.EmptyDeletedItems(store));
  EXPECT_FALSE(w.GetFolder(team));
  EXPECT_FALSE(w.GetItem(keep));
  EXPECT_EQ(0u, w.ItemCount(bin));
  ASSERT_EQ(20u, notes.size());  // the bin's own items, one batch
  EXPECT_EQ(bin, notes.front().folder);
  ObjId gone = w.AddFolder(contacts, L"Gone");
  ASSERT_TRUE(w.DeleteFolder(gone, true));
  EXPECT_FALSE(w.GetFolder(gone));

  // A store that leaves the profile raises no item events.
  notes.clear();
  Add(w.StoreDefaultFolder(pst, kOlContacts), L"d");
  notes.clear();
  ASSERT_TRUE(w.RemoveStore(pst));
  EXPECT_TRUE(notes.empty());
  w.RemoveObserver(token);
}

}  // namespace
}  // namespace sim
