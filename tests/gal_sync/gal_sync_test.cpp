// The address-list copy run against the simulated directory and store in
// this process, with the clock 10000 times faster (0.04 days pass in 0.35 s).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "gal_sync.h"
#include "logs.h"
#include "rdo/rdo_common.h"
#include "registry.h"
#include "sandbox.h"
#include "sync_engine.h"
#include "world/world.h"

namespace {

const bool kFastClock = SetEnvironmentVariableW(L"TALLOWBY_CLOCK_SCALE", L"10000");

HRESULT InProcessSession(IRdoSession** session) {
  return sim::CreateSession(__uuidof(IRdoSession), reinterpret_cast<void**>(session));
}
HRESULT InProcessUtils(IRdoUtils** utils) {
  return sim::CreateUtils(__uuidof(IRdoUtils), reinterpret_cast<void**>(utils));
}

sim::AddressEntry Person(const std::wstring& first, const std::wstring& last) {
  std::wstring smtp = first + L"." + last + L"@example.com";
  std::transform(smtp.begin(), smtp.end(), smtp.begin(), ::towlower);
  return {first + L" " + last, smtp, first, first, last, false, {}};
}

class GalSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kFastClock);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    box_ = std::make_unique<testing_support::Sandbox>();
    SetDebugLogPath((box_->Temp() + L"debug.log").c_str());
    SetErrorLogPath((box_->Temp() + L"error.log").c_str());
    g_bDebugLog = true;
    g_bErrorLogEnabled = true;
    g_bShutdown = false;
    World().Reset();
    sim::StoreSpec store;
    store.name = L"Personal Folders";
    store_ = World().AddStore(store);
    contacts_ = World().StoreDefaultFolder(store_, sim::kOlContacts);
    config_.Create(HKEY_CURRENT_USER, reg::kConfigPath);
  }
  void TearDown() override {
    g_bShutdown = false;
    config_.Close();
    World().Reset();
    g_bDebugLog = false;
    box_.reset();
    CoUninitialize();
  }

  sim::World& World() { return sim::World::Instance(); }

  void SetLists(std::vector<sim::AddressList> lists) { World().SetAddressLists(std::move(lists)); }
  void Choose(const std::wstring& listName) {
    reg::Key key;
    key.Create(HKEY_CURRENT_USER, (std::wstring(reg::kGalFoldersPath) + L"\\" + listName).c_str());
  }
  void Run(const std::wstring& storeName = L"") { syncGAL({true, storeName, &InProcessSession, &InProcessUtils}); }
  // A run as the next start makes it when the options page was applied.
  void RunAgain() {
    config_.DeleteValue(reg::kLastGalSync);
    Run();
  }

  sim::ObjId Subfolder(const std::wstring& name) {
    for (sim::ObjId f : World().Subfolders(contacts_))
      if (World().GetFolder(f)->name == name) return f;
    return 0;
  }
  std::vector<sim::ItemInfo> ItemsOf(sim::ObjId folder) {
    std::vector<sim::ItemInfo> items;
    for (sim::ObjId id : World().Items(folder)) items.push_back(*World().GetItem(id));
    return items;
  }
  static std::wstring Categories(const sim::ItemInfo& item) {
    const sim::Value* v = item.content.Find(sim::named::Keywords());
    std::wstring joined;
    if (v)
      for (const std::wstring& k : v->list) joined += (joined.empty() ? L"" : L";") + k;
    return joined;
  }
  static std::wstring Address(const sim::ItemInfo& item) {
    const sim::Value* v = item.content.Find(sim::named::Email1Address());
    return v ? v->str : L"";
  }
  static long long Stamp(const sim::ItemInfo& item) {
    for (const sim::UserProperty& p : item.content.userProps)
      if (p.name == kGalStampName) return p.value.num;
    return 0;
  }
  size_t Writes() {
    size_t n = 0;
    for (const wchar_t* op : {L"Message.Save", L"Message.Delete", L"AddressEntry.CopyTo", L"Message.CopyTo"})
      n += World().CallsOf(op).size();
    return n;
  }
  std::string DebugLogText() { return testing_support::ReadFileBytes(box_->Temp() + L"debug.log"); }
  std::string ErrorLogText() { return testing_support::ReadFileBytes(box_->Temp() + L"error.log"); }
  // Lets the copies grow older than the 0.04 days after which an unrefreshed
  // copy counts as gone.
  // A contact of the user's own in the default Contacts folder.
  sim::ObjId OwnContact(const wchar_t* subject, const wchar_t* address) {
    sim::ItemContent own;
    own.Set(sim::PropKey::Tag(sim::tags::kMessageClass), sim::Value::String(L"IPM.Contact"));
    own.Set(sim::PropKey::Tag(sim::tags::kSubject), sim::Value::String(subject));
    own.Set(sim::named::Email1Address(), sim::Value::String(address));
    sim::ObjId id = 0;
    return World().CreateItem(contacts_, own, &id) == S_OK ? id : 0;
  }
  static void AgeCopies() { clk::Sleep(DWORD(0.05 * 86400 * 1000)); }

  std::unique_ptr<testing_support::Sandbox> box_;
  reg::Key config_;
  sim::ObjId store_ = 0, contacts_ = 0;
};

TEST_F(GalSyncTest, FirstRunCopiesSecondGivesCategoryAndTimeEveryDueRunRefreshesEachCopy) {
  SetLists({{L"Sales", {Person(L"Ada", L"King"), Person(L"Alan", L"Turing")}, 0}});
  Choose(L"Sales");

  Run();
  sim::ObjId sub = Subfolder(L"TWY.Sales");
  ASSERT_NE(0u, sub);
  EXPECT_EQ(L"Tallowby GAL copy", World().GetFolder(sub)->description);
  auto items = ItemsOf(sub);
  ASSERT_EQ(2u, items.size());
  for (const auto& item : items) {
    EXPECT_EQ(kGalStampValue, Stamp(item));
    EXPECT_EQ(L"", Categories(item)) << "a new copy gets its category at its first refresh";
  }
  EXPECT_FALSE(config_.ReadDate(reg::kLastGalSync)) << "only creating copies stores no time";
  EXPECT_EQ(30u, config_.ReadDword(reg::kGalSyncAllxDays).value_or(0));

  Run();
  items = ItemsOf(sub);
  ASSERT_EQ(2u, items.size()) << "the copies are found again, not made twice";
  for (const auto& item : items) EXPECT_EQ(L"Sales", Categories(item));
  EXPECT_TRUE(config_.ReadDate(reg::kLastGalSync));

  // The entry shows too little (no phone numbers, no company) to tell that
  // its copy is current: a due run writes every copy from its entry.
  World().ClearCalls();
  RunAgain();
  EXPECT_EQ(2u, World().CallsOf(L"AddressEntry.CopyTo").size());
  EXPECT_EQ(2u, World().CallsOf(L"Message.Save").size());
  EXPECT_EQ(0u, World().CallsOf(L"Message.Delete").size());
  EXPECT_EQ(2u, ItemsOf(sub).size());

  sim::AddressEntry ada = Person(L"Ada", L"King");
  ada.name = L"Ada Lovelace";
  SetLists({{L"Sales", {ada, Person(L"Alan", L"Turing")}, 0}});
  AgeCopies();
  World().ClearCalls();
  RunAgain();
  items = ItemsOf(sub);
  ASSERT_EQ(2u, items.size()) << "a changed entry is its old copy refreshed";
  EXPECT_EQ(0u, World().CallsOf(L"Message.Delete").size());
  EXPECT_EQ(L"Ada Lovelace", items[0].Subject());
}

// The search for each entry's copy does not walk the folder's copies again:
// a run reads each copy a bounded number of times, however many entries
// the list has, and finds the same copies as before.
TEST_F(GalSyncTest, ARunReadsTheFolderOnceNotOncePerEntry) {
  std::vector<sim::AddressEntry> people;
  for (int i = 0; i < 40; ++i) people.push_back(Person(L"P" + std::to_wstring(i), L"Namesake"));
  SetLists({{L"Sales", people, 0}});
  Choose(L"Sales");
  World().ClearCalls();
  Run();
  const sim::ObjId sub = Subfolder(L"TWY.Sales");
  ASSERT_EQ(40u, ItemsOf(sub).size());
  auto reads = [&] {
    return World().CallsOf(L"Items.Find").size() + World().CallsOf(L"Items.FindNext").size() +
           World().CallsOf(L"Items.GetFirst").size() + World().CallsOf(L"Items.GetNext").size();
  };
  // Searching every copy per entry came to more than 40 * 40 / 2 reads.
  EXPECT_GT(200u, reads()) << "first copy";
  World().ClearCalls();
  Run();
  EXPECT_GT(200u, reads()) << "refresh";
  EXPECT_EQ(40u, World().CallsOf(L"Message.Save").size());
  const auto items = ItemsOf(sub);
  ASSERT_EQ(40u, items.size()) << "every copy found again";
  for (const auto& item : items) EXPECT_EQ(L"Sales", Categories(item));
}

TEST_F(GalSyncTest, IntervalDecidesWhetherARunIsDue) {
  SetLists({{L"Sales", {Person(L"Ada", L"King")}, 0}});
  Choose(L"Sales");
  const double now = clk::NowLocalDate();

  config_.WriteDate(reg::kLastGalSync, now - 20);
  Run();
  EXPECT_EQ(1u, ItemsOf(Subfolder(L"TWY.Sales")).size()) << "14 days for this run when no interval is stored";
  EXPECT_EQ(30u, config_.ReadDword(reg::kGalSyncAllxDays).value_or(0));

  World().ClearCalls();
  config_.WriteDate(reg::kLastGalSync, now - 20);
  Run();
  EXPECT_NE(std::string::npos, DebugLogText().find("No GalSync needed"));
  EXPECT_EQ(0u, Writes());

  config_.WriteDword(reg::kGalSyncAllxDays, 5);
  config_.WriteDate(reg::kLastGalSync, clk::NowLocalDate() - 5);
  Run();
  EXPECT_EQ(1u, World().CallsOf(L"Message.Save").size()) << "exactly the interval old: the run goes ahead";

  // A date of the wrong size is no date: a copy is due.
  BYTE half[4] = {};
  RegSetValueExW(config_.Get(), reg::kLastGalSync, 0, REG_BINARY, half, sizeof half);
  World().ClearCalls();
  Run();
  EXPECT_LT(0u, World().CallsOf(L"Items.Find").size());

  // A last copy later than now (the clock once ran ahead) proves no recent
  // copy: due, and replaced by this run's time.
  config_.WriteDate(reg::kLastGalSync, clk::NowLocalDate() + 3000);
  World().ClearCalls();
  Run();
  EXPECT_EQ(1u, World().CallsOf(L"Message.Save").size());
  EXPECT_EQ(0u, World().CallsOf(L"Message.Delete").size());
  EXPECT_LT(config_.ReadDate(reg::kLastGalSync).value_or(0), clk::NowLocalDate() + 1);
}

// The target switched on the Options tab: once the list is copied whole
// into its new folder, its copies in the other one go, refreshed ones (by
// their category) and new ones (by their entry's address); the user's own
// contact stays.
TEST_F(GalSyncTest, SwitchingTheTargetTakesTheListsCopiesOutOfTheOtherFolder) {
  ASSERT_TRUE(OwnContact(L"Ada (my own)", L"ada.king@example.com"));
  config_.WriteDword(L"syncGALin2Defaultfolder", 1);
  SetLists({{L"Sales", {Person(L"Ada", L"King")}, 0}});
  Choose(L"Sales");
  Run();
  Run();
  SetLists({{L"Sales", {Person(L"Ada", L"King"), Person(L"Alan", L"Turing")}, 0}});
  RunAgain();
  ASSERT_EQ(3u, ItemsOf(contacts_).size());

  config_.WriteDword(L"syncGALin2Defaultfolder", 0);
  RunAgain();
  EXPECT_EQ(2u, ItemsOf(Subfolder(L"TWY.Sales")).size());
  auto left = ItemsOf(contacts_);
  ASSERT_EQ(1u, left.size());
  EXPECT_EQ(L"Ada (my own)", left[0].Subject());

  // And back into the default folder: the subfolder's copies go.
  config_.WriteDword(L"syncGALin2Defaultfolder", 1);
  RunAgain();
  EXPECT_EQ(3u, ItemsOf(contacts_).size());
  EXPECT_EQ(0u, ItemsOf(Subfolder(L"TWY.Sales")).size());
}

TEST_F(GalSyncTest, RemovedEntryLosesItsCopyButAnIncompleteReadDeletesNothing) {
  SetLists({{L"Sales", {Person(L"Ada", L"King"), Person(L"Alan", L"Turing"), Person(L"Grace", L"Hopper")}, 0}});
  Choose(L"Sales");
  Run();
  Run();
  sim::ObjId sub = Subfolder(L"TWY.Sales");
  ASSERT_EQ(3u, ItemsOf(sub).size());
  SetLists({{L"Sales", {Person(L"Ada", L"King"), Person(L"Grace", L"Hopper")}, 0}});
  AgeCopies();

  struct Failure {
    const wchar_t* op;
    int nth;
  };
  // The list, an entry, Grace's address, or the search for Ada's copy by
  // address (both of its passes) fails.
  const std::vector<std::vector<Failure>> cases = {{{L"AddressList.Entries", 2}},
                                                   {{L"AddressEntries.Item", 1}},
                                                   {{L"AddressEntry.SmtpAddress", 2}},
                                                   {{L"Items.Find", 1}, {L"Items.GetFirst", 1}}};
  for (const auto& failures : cases) {
    World().ClearCalls();
    for (const Failure& f : failures) World().InjectFailure(f.op, f.nth, E_FAIL);
    RunAgain();
    World().ClearFailures();
    EXPECT_EQ(0u, World().CallsOf(L"Message.Delete").size()) << failures[0].op;
    EXPECT_EQ(3u, ItemsOf(sub).size()) << failures[0].op;
  }

  // A shutdown part-way ends the run: no deletion, no time stored. Ada's
  // changed name makes the run write, and the write brings the shutdown.
  sim::AddressEntry ada = Person(L"Ada", L"King");
  ada.name = L"Ada K.";
  SetLists({{L"Sales", {ada, Person(L"Grace", L"Hopper")}, 0}});
  int token = World().AddObserver([](const sim::ChangeNote&) { g_bShutdown = true; });
  RunAgain();
  World().RemoveObserver(token);
  g_bShutdown = false;
  EXPECT_EQ(3u, ItemsOf(sub).size());
  EXPECT_FALSE(config_.ReadDate(reg::kLastGalSync));
  EXPECT_NE(std::string::npos, DebugLogText().find("GalSync stopped by shutdown"));

  AgeCopies();
  World().ClearCalls();
  RunAgain();
  auto items = ItemsOf(sub);
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(L"Ada K.", items[0].Subject());
  EXPECT_EQ(L"Grace Hopper", items[1].Subject());
  auto deletes = World().CallsOf(L"Message.Delete");
  ASSERT_EQ(1u, deletes.size());
  EXPECT_NE(std::wstring::npos, deletes[0].detail.find(L"flags=1")) << deletes[0].detail;
  EXPECT_NE(std::string::npos, DebugLogText().find("DELETEFROMGAL: alan.turing@example.com"));
}

TEST_F(GalSyncTest, SharedDefaultFolderKeepsEveryListsCopiesAndTheUsersOwnContacts) {
  config_.WriteDword(L"syncGALin2Defaultfolder", 1);
  ASSERT_TRUE(OwnContact(L"Ada (private notes)", L"ada.king@example.com"));
  SetLists({{L"Sales", {Person(L"Ada", L"King")}, 0}, {L"Support", {Person(L"Alan", L"Turing")}, 0}});
  Choose(L"Sales");
  Choose(L"Support");

  Run();
  Run();
  AgeCopies();
  RunAgain();
  auto items = ItemsOf(contacts_);
  ASSERT_EQ(3u, items.size()) << "each list's copies survive the other's pass";
  EXPECT_EQ(L"Ada (private notes)", items[0].Subject()) << "the user's own contact is not taken over";
  EXPECT_EQ(0, Stamp(items[0]));
  EXPECT_EQ(L"", Categories(items[0]));
  EXPECT_EQ(L"Sales", Categories(items[1]));
  EXPECT_EQ(L"Support", Categories(items[2]));
  EXPECT_EQ(0u, World().CallsOf(L"Message.Delete").size());
}

TEST_F(GalSyncTest, WhichListsAreCopied) {
  sim::ObjId own = World().AddFolder(contacts_, L"Mine", sim::kOlContactItem);
  sim::AddressEntry nobody{L"", L"", L"", L"", L"", false, {}};
  sim::AddressEntry room{L"Room 1", L"room1@example.com", L"", L"", L"", false, {}};
  sim::AddressEntry team{L"Sales Team", L"sales@example.com", L"salesdl", L"", L"", true,
                         {{L"ada.king@example.com", L"ada.king@example.com", L"SMTP"}}};
  SetLists({{L"Sales EMEA", {Person(L"Ada", L"King")}, 0},
            {L"Sales", {Person(L"Alan", L"Turing"), nobody, room, team}, 0},
            {L"Contacts", {Person(L"Grace", L"Hopper")}, own},
            {L"Unchosen", {Person(L"Edsger", L"Dijkstra")}, 0}});
  for (const wchar_t* name : {L"Sales EMEA", L"Sales", L"Contacts"}) Choose(name);

  Run();
  Run();
  EXPECT_EQ(1u, ItemsOf(Subfolder(L"TWY.Sales EMEA")).size());
  EXPECT_EQ(3u, ItemsOf(Subfolder(L"TWY.Sales")).size()) << "a name inside a longer one handled first is still copied";
  EXPECT_EQ(0u, Subfolder(L"TWY.Contacts")) << "a list with a contacts folder behind it is the user's own";
  EXPECT_EQ(0u, Subfolder(L"TWY.Unchosen"));
  EXPECT_NE(std::string::npos, ErrorLogText().find("syncGAL:SearchError")) << "an entry without any key";
  auto copies = ItemsOf(Subfolder(L"TWY.Sales"));
  ASSERT_EQ(3u, copies.size());
  EXPECT_EQ(L"Room 1", copies[1].Subject()) << "an address without alias or names is enough";
  EXPECT_EQ(L"Sales", Categories(copies[1]));
  EXPECT_EQ(L"IPM.DistList", copies[2].MessageClass()) << "a list copied once, whatever its alias";
}

TEST_F(GalSyncTest, EntriesOfOneNameKeepACopyEach) {
  sim::AddressEntry john{L"John Smith", L"john.smith@example.com", L"jsmith", L"John", L"Smith", false, {}};
  sim::AddressEntry namesake{L"John Smith", L"j.smith2@example.com", L"jsmith2", L"John", L"Smith", false, {}};
  sim::AddressEntry teamA{L"Team", L"team.a@example.com", L"teama", L"", L"", true,
                          {{L"a@example.com", L"a@example.com", L"SMTP"}}};
  sim::AddressEntry teamB{L"Team", L"team.b@example.com", L"teamb", L"", L"", true,
                          {{L"b@example.com", L"b@example.com", L"SMTP"}}};
  SetLists({{L"Sales", {john, namesake, teamA, teamB}, 0}});
  Choose(L"Sales");
  for (int run = 1; run <= 3; ++run) {
    Run();
    auto items = ItemsOf(Subfolder(L"TWY.Sales"));
    ASSERT_EQ(4u, items.size()) << "run " << run;
    // Each copy keeps its own entry's data, run after run.
    EXPECT_EQ(L"john.smith@example.com", Address(items[0])) << "run " << run;
    EXPECT_EQ(L"j.smith2@example.com", Address(items[1])) << "run " << run;
    ASSERT_EQ(1u, items[2].content.members.size());
    ASSERT_EQ(1u, items[3].content.members.size());
    EXPECT_EQ(L"a@example.com", items[2].content.members[0].address) << "run " << run;
    EXPECT_EQ(L"b@example.com", items[3].content.members[0].address) << "run " << run;
  }
}

TEST_F(GalSyncTest, SharedDefaultFolderKeepsTheCopiesOfAListMissingFromARun) {
  config_.WriteDword(L"syncGALin2Defaultfolder", 1);
  const sim::AddressList sales{L"Sales", {Person(L"Ada", L"King"), Person(L"Alan", L"Turing")}, 0};
  const sim::AddressList support{L"Support", {Person(L"Grace", L"Hopper")}, 0};
  const sim::AddressList partners{L"Partners", {Person(L"Edsger", L"Dijkstra")}, 0};
  SetLists({sales, support});
  Choose(L"Sales");
  Choose(L"Support");
  Choose(L"Partners");
  Run();
  Run();
  ASSERT_EQ(3u, ItemsOf(contacts_).size());

  // Support is not in the address book this time (offline, renamed); a
  // chosen list that was absent so far comes with a copy that never had its
  // first refresh.
  SetLists({{L"Sales", {Person(L"Ada", L"King")}, 0}, partners});
  AgeCopies();
  RunAgain();
  auto items = ItemsOf(contacts_);
  ASSERT_EQ(3u, items.size()) << "only the entry that left a list read whole loses its copy";
  EXPECT_EQ(L"Ada King", items[0].Subject());
  EXPECT_EQ(L"Grace Hopper", items[1].Subject());
  EXPECT_EQ(L"Support", Categories(items[1]));
  EXPECT_EQ(L"Edsger Dijkstra", items[2].Subject());
  EXPECT_NE(std::string::npos, DebugLogText().find("DELETEFROMGAL: alan.turing@example.com"));

  // Edsger left Partners before his copy got its category. While Support is
  // missing, whose that copy is cannot be told: it stays. Once every chosen
  // list was read whole, it goes.
  const sim::AddressList newPartners{L"Partners", {Person(L"Linus", L"Torvalds")}, 0};
  SetLists({{L"Sales", {Person(L"Ada", L"King")}, 0}, newPartners});
  AgeCopies();
  RunAgain();
  EXPECT_EQ(4u, ItemsOf(contacts_).size());
  SetLists({{L"Sales", {Person(L"Ada", L"King")}, 0}, support, newPartners});
  AgeCopies();
  RunAgain();
  items = ItemsOf(contacts_);
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(L"Linus Torvalds", items[2].Subject());
  EXPECT_NE(std::string::npos, DebugLogText().find("DELETEFROMGAL: edsger.dijkstra@example.com"));
}

TEST_F(GalSyncTest, FailedRefreshesDoNotPutTheNextRunOff) {
  SetLists({{L"Sales", {Person(L"Ada", L"King")}, 0}});
  Choose(L"Sales");
  Run();
  World().InjectFailure(L"Message.Save", 1, E_ACCESSDENIED, -1);
  Run();
  EXPECT_FALSE(config_.ReadDate(reg::kLastGalSync));
  World().ClearFailures();
  Run();
  EXPECT_TRUE(config_.ReadDate(reg::kLastGalSync));
}

TEST_F(GalSyncTest, NoRunWithoutTheEnginesSessionOrWithoutTheStore) {
  SetLists({{L"Sales", {Person(L"Ada", L"King")}, 0}});
  Choose(L"Sales");
  syncGAL({false, L"", &InProcessSession});
  EXPECT_NE(std::string::npos, DebugLogText().find("No Session4Gal"));

  sim::StoreSpec other;
  other.name = L"Archive";
  sim::ObjId archive = World().AddStore(other);
  Run(L"Archive");
  EXPECT_EQ(0u, Subfolder(L"TWY.Sales"));
  sim::ObjId archiveContacts = World().StoreDefaultFolder(archive, sim::kOlContacts);
  ASSERT_EQ(1u, World().Subfolders(archiveContacts).size()) << "the store named in the settings";
  EXPECT_EQ(L"TWY.Sales", World().GetFolder(World().Subfolders(archiveContacts)[0])->name);
}

}  // namespace
