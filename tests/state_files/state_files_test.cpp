// The per-folder state files: their bytes on disk, what loads back, and
// that a failed write or a damaged file never turns into a wrong state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blocks_fixture.h"
#include "locks.h"
#include "state_files.h"

namespace {

using blocks_testing::BlocksTest;
using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
using Table = std::vector<std::pair<std::wstring, std::wstring>>;

constexpr wchar_t kEntryId[] = L"00000000AABBCCDDEEFF00112233445566778899";

class StateFilesTest : public BlocksTest {
 protected:
  void SetUp() override {
    BlocksTest::SetUp();
    dataDir_ = box_->LocalAppData() + L"Tallowby\\";
    CreateDirectoryW(dataDir_.c_str(), nullptr);
    wcscpy_s(engine_->DataDir, dataDir_.c_str());
  }

  CMAPIFolderObject* Folder(bool exchange, bool iCloud, const wchar_t* entryId = kEntryId) {
    auto* f = new CMAPIFolderObject(nullptr, 0, exchange, iCloud, false);
    f->Events->EntryID = com::Bstr(entryId);
    loose_.push_back(f);
    return f;
  }
  std::wstring File(const wchar_t* suffix) const { return dataDir_ + kEntryId + suffix; }
  std::string Bytes(const wchar_t* suffix) const { return ReadFileBytes(File(suffix)); }
  void Put(const wchar_t* suffix, const std::string& bytes) const { WriteFileBytes(File(suffix), bytes); }
  static std::string Utf16(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  }

  std::wstring dataDir_;
};

TEST_F(StateFilesTest, SavedStateAndCacheTablesHaveTheirExactBytesAndLoadBack) {
  CMAPIFolderObject* f = Folder(true, false);
  f->SyncData = com::Bstr(L"S\x00E9tate");
  f->CacheTable = {{L"0A0B", L"C0D0"}, {L"1111", L"2222"}};
  f->Cache2Table = {{L"ABCD", L"EF01"}};
  ASSERT_EQ(S_OK, SaveSyncData(f));
  ASSERT_EQ(S_OK, SaveCache2Table(f));

  EXPECT_EQ(Utf16(L"S\x00E9tate"), Bytes(kSyncDataSuffix)) << "UTF-16LE, no byte-order mark, no terminator";
  EXPECT_EQ("0A0B;C0D0\r\n1111;2222\r\n", Bytes(kCacheTableSuffix));
  EXPECT_EQ("ABCD;EF01\r\n", Bytes(kCache2TableSuffix));
  EXPECT_FALSE(FileExists(File(kSyncDataBackupSuffix))) << "nothing to keep before the first save";
  EXPECT_FALSE(FileExists(File(L".twysyncdata.ids.tmp")));

  // A fresh folder object loads it; the tables are appended to in order.
  CMAPIFolderObject* g = Folder(true, false);
  com::Bstr state;
  ASSERT_EQ(S_OK, LoadSynccData(g, session_.Get(), utils_.Get(), &state));
  EXPECT_EQ(L"S\x00E9tate", state.Str());
  EXPECT_EQ(f->CacheTable, g->CacheTable);
  EXPECT_EQ(f->Cache2Table, g->Cache2Table);
  EXPECT_FALSE(g->SyncStateReset);
  const std::string debug = DebugLogText();
  EXPECT_NE(std::string::npos, debug.find("Load Cache Table::EOF?"));
  EXPECT_NE(std::string::npos, debug.find("Load SyncState2 Table::EOF?"));
}

TEST_F(StateFilesTest, StateFileLengthsDecideTheText) {
  struct Case {
    std::string bytes;
    std::wstring state;
  };
  const std::vector<Case> cases = {
      {"", L""},                                      // a valid, empty state
      {std::string("a\0b\0c\0d", 7), L"abc"},         // 7 bytes: 3 code units
      {std::string("x\0\0\0y\0", 6), L"x"},           // the text ends at the first NUL
  };
  for (const Case& c : cases) {
    CMAPIFolderObject* f = Folder(true, false);
    Put(kSyncDataSuffix, c.bytes);
    Put(kCacheTableSuffix, "AA;BB\n");
    Put(kCache2TableSuffix, "CC;DD\n");
    com::Bstr state(L"sentinel");
    ASSERT_EQ(S_OK, LoadSynccData(f, session_.Get(), utils_.Get(), &state));
    EXPECT_EQ(c.state, state.Str()) << c.bytes.size() << " bytes";
    EXPECT_FALSE(f->SyncStateReset);
    EXPECT_EQ((Table{{L"AA", L"BB"}}), f->CacheTable) << "LF alone ends a line too";
    EXPECT_EQ((Table{{L"CC", L"DD"}}), f->Cache2Table);
  }
}

TEST_F(StateFilesTest, AMissingStateStartsAfreshUnlessABackupHoldsOne) {
  CMAPIFolderObject* f = Folder(true, false);
  f->CacheTable = {{L"AA", L"BB"}};
  Put(kCacheTableSuffix, "AA;BB\r\n");
  com::Bstr state(L"sentinel");
  ASSERT_EQ(S_OK, LoadSynccData(f, session_.Get(), utils_.Get(), &state));
  EXPECT_TRUE(f->SyncStateReset);
  EXPECT_EQ(L"", state.Str());
  EXPECT_NE(std::string::npos, ErrorLogText().find("RESET..."));
  EXPECT_EQ(1u, f->CacheTable.size()) << "the cache files are not read on a fresh start";

  // A save that was cut short between keeping the backup and putting the new
  // state in place: going on from the backup repeats changes rather than
  // skipping them.
  DeleteFileW(File(kSyncDataSuffix).c_str());  // whatever the fresh start's run saved
  Put(kCacheTableSuffix, "AA;BB\r\n");
  Put(kSyncDataBackupSuffix, Utf16(L"older"));
  CMAPIFolderObject* g = Folder(true, false);
  ASSERT_EQ(S_OK, LoadSynccData(g, session_.Get(), utils_.Get(), &state));
  EXPECT_EQ(L"older", state.Str());
  EXPECT_FALSE(g->SyncStateReset);
  EXPECT_EQ((Table{{L"AA", L"BB"}}), g->CacheTable);

  // The explicit backup mode reads only the backup.
  DeleteFileW(File(kSyncDataBackupSuffix).c_str());
  Put(kSyncDataSuffix, Utf16(L"current"));
  CMAPIFolderObject* h = Folder(true, false);
  ASSERT_EQ(S_OK, LoadSynccData(h, session_.Get(), utils_.Get(), &state, true));
  EXPECT_TRUE(h->SyncStateReset);
  EXPECT_NE(std::string::npos, ErrorLogText().find("NO BACKUP FOUND, RESET FOLDER"));

  EXPECT_EQ(E_FAIL, LoadSynccData(nullptr, session_.Get(), utils_.Get(), &state));
}

TEST_F(StateFilesTest, EverySaveKeepsTheStateBeforeItAsBackup) {
  CMAPIFolderObject* f = Folder(true, false);
  ASSERT_EQ(S_OK, SaveSyncData(f, L"first"));
  ASSERT_EQ(S_OK, SaveSyncData(f, L"second"));
  EXPECT_EQ(Utf16(L"second"), Bytes(kSyncDataSuffix));
  EXPECT_EQ(Utf16(L"first"), Bytes(kSyncDataBackupSuffix));
  ASSERT_EQ(S_OK, SaveSyncData(f, L"third"));
  EXPECT_EQ(Utf16(L"second"), Bytes(kSyncDataBackupSuffix));
}

TEST_F(StateFilesTest, EmptyTablesAreEmptyFilesAndLoadEmpty) {
  CMAPIFolderObject* f = Folder(true, false);
  ASSERT_EQ(S_OK, SaveSyncData(f, L"s"));
  ASSERT_EQ(S_OK, SaveCache2Table(f));
  EXPECT_TRUE(FileExists(File(kCacheTableSuffix)));
  EXPECT_EQ("", Bytes(kCacheTableSuffix));
  EXPECT_EQ("", Bytes(kCache2TableSuffix));
  CMAPIFolderObject* g = Folder(true, false);
  com::Bstr state;
  ASSERT_EQ(S_OK, LoadSynccData(g, session_.Get(), utils_.Get(), &state));
  EXPECT_TRUE(g->CacheTable.empty());
  EXPECT_TRUE(g->Cache2Table.empty());
}

// A file system object in the way of the temporary file makes the write
// fail as a full disk would: the files hold what they held.
TEST_F(StateFilesTest, AFailedWriteLeavesThePreviousFilesAndIsReported) {
  CMAPIFolderObject* f = Folder(true, false);
  f->CacheTable = {{L"AA", L"BB"}};
  f->Cache2Table = {{L"CC", L"DD"}};
  ASSERT_EQ(S_OK, SaveSyncData(f, L"good"));
  ASSERT_EQ(S_OK, SaveCache2Table(f));

  ASSERT_TRUE(CreateDirectoryW((File(kSyncDataSuffix) + L".tmp").c_str(), nullptr));
  f->CacheTable = {{L"EE", L"FF"}};
  EXPECT_EQ(E_FAIL, SaveSyncData(f, L"lost"));
  EXPECT_EQ(Utf16(L"good"), Bytes(kSyncDataSuffix));
  EXPECT_EQ("AA;BB\r\n", Bytes(kCacheTableSuffix)) << "the cache table is not saved after a failed state";
  EXPECT_NE(std::string::npos, ErrorLogText().find("memory error..."));

  ASSERT_TRUE(CreateDirectoryW((File(kCache2TableSuffix) + L".tmp").c_str(), nullptr));
  f->Cache2Table.clear();
  EXPECT_EQ(E_FAIL, SaveCache2Table(f));
  EXPECT_EQ("CC;DD\r\n", Bytes(kCache2TableSuffix));
  EXPECT_NE(std::string::npos, ErrorLogText().find("Saving Exchange Cache2 Table"));

  // The state still loads as the last good one.
  CMAPIFolderObject* g = Folder(true, false);
  com::Bstr state;
  ASSERT_EQ(S_OK, LoadSynccData(g, session_.Get(), utils_.Get(), &state));
  EXPECT_EQ(L"good", state.Str());
  EXPECT_FALSE(g->SyncStateReset);
}

// A run saves Cache2Table every ten entries. A save adds the lines of the
// entries recorded since the last one (it needs no ".tmp": a directory in
// its way does not stop it), and the file is always the table's lines as a
// whole save writes them, so the one reader reads it. A replaced entry, a
// save that failed or a file gone meanwhile makes the next save write the
// whole file again; a failed one leaves the previous file.
TEST_F(StateFilesTest, Cache2SavesAddTheNewLinesAndWriteTheWholeFileWhereTheyMust) {
  CMAPIFolderObject* f = Folder(true, false);
  KeyTable& table = f->Cache2Table;
  table.PushBack(L"A1", L"C1");
  ASSERT_EQ(S_OK, SaveCache2Table(f));
  const std::wstring blocker = File(kCache2TableSuffix) + L".tmp";
  ASSERT_TRUE(CreateDirectoryW(blocker.c_str(), nullptr));
  table.PushBack(L"A2", L"C2");
  table.PushBack(L"A3", L"C3");
  EXPECT_EQ(S_OK, SaveCache2Table(f));
  EXPECT_EQ(S_OK, SaveCache2Table(f)) << "nothing new";
  EXPECT_EQ("A1;C1\r\nA2;C2\r\nA3;C3\r\n", Bytes(kCache2TableSuffix));

  table.SetValue(table.FindKey(L"A2"), L"C9");
  EXPECT_EQ(E_FAIL, SaveCache2Table(f)) << "a replaced entry needs the whole file";
  table.PushBack(L"A4", L"C4");
  EXPECT_EQ(E_FAIL, SaveCache2Table(f));
  EXPECT_EQ("A1;C1\r\nA2;C2\r\nA3;C3\r\n", Bytes(kCache2TableSuffix));
  ASSERT_TRUE(RemoveDirectoryW(blocker.c_str()));
  EXPECT_EQ(S_OK, SaveCache2Table(f));
  EXPECT_EQ("A1;C1\r\nA2;C9\r\nA3;C3\r\nA4;C4\r\n", Bytes(kCache2TableSuffix));

  // Between runs the file went (the folder's configuration was removed).
  EndTableFileAppends(&f->Cache2File);
  ASSERT_TRUE(DeleteFileW(File(kCache2TableSuffix).c_str()));
  table.PushBack(L"A5", L"C5");
  EXPECT_EQ(S_OK, SaveCache2Table(f));
  CMAPIFolderObject* g = Folder(true, false);
  ASSERT_EQ(S_OK, SaveSyncData(g, L"s"));
  com::Bstr state;
  ASSERT_EQ(S_OK, LoadSynccData(g, session_.Get(), utils_.Get(), &state));
  EXPECT_EQ(table, g->Cache2Table);

  table.clear();  // the end of a run
  EXPECT_EQ(S_OK, SaveCache2Table(f));
  EXPECT_EQ("", Bytes(kCache2TableSuffix));
}

TEST_F(StateFilesTest, ResetEmptiesTheStateAndBothCachesButKeepsTheBackup) {
  CMAPIFolderObject* f = Folder(true, false);
  f->SyncData = com::Bstr(L"state");
  f->CacheTable = {{L"AA", L"BB"}};
  f->Cache2Table = {{L"CC", L"DD"}};
  ASSERT_EQ(S_OK, SaveSyncData(f));
  ASSERT_EQ(S_OK, SaveCache2Table(f));

  ResetSyncData(f);
  EXPECT_EQ(L"", f->SyncData.Str());
  EXPECT_TRUE(f->CacheTable.empty());
  EXPECT_TRUE(f->Cache2Table.empty());
  EXPECT_TRUE(FileExists(File(kSyncDataSuffix)));
  EXPECT_EQ("", Bytes(kSyncDataSuffix));
  EXPECT_EQ("", Bytes(kCacheTableSuffix));
  EXPECT_EQ(Utf16(L"state"), Bytes(kSyncDataBackupSuffix));
  // An older interrupted run's handled changes must not make the run from
  // nothing skip them, should it be cut short before it saves its own.
  EXPECT_EQ("", Bytes(kCache2TableSuffix));
  EXPECT_NE(std::string::npos, DebugLogText().find("reset syncdata"));
}

TEST_F(StateFilesTest, CacheLinesNotOfTheirFormatAreSkippedWhole) {
  const std::string longest = std::string(510, 'A') + ";" + std::string(512, 'B');  // 1023 characters
  const std::string tooLong = std::string(512, 'C') + ";" + std::string(512, 'D');   // 1025: not split in two
  Put(kSyncDataSuffix, "");
  Put(kCacheTableSuffix, "\r\n"            // empty
                         "ABCD\r\n"        // no value
                         "AB;CD;EF\r\n"    // a second separator
                         "XYZW;0102\r\n"   // not hexadecimal
                         "ABC;0102\r\n"    // half a byte
                         "1234;\r\n"       // an empty value is still an entry
                         + longest + "\r\n" + tooLong + "\r\n" +
                         "ab12;cd34\n"
                         "5678;9ABC");     // no line end at the end of the file
  CMAPIFolderObject* f = Folder(true, false);
  com::Bstr state;
  ASSERT_EQ(S_OK, LoadSynccData(f, session_.Get(), utils_.Get(), &state));
  const Table expected = {{L"1234", L""},
                          {std::wstring(510, L'A'), std::wstring(512, L'B')},
                          {L"ab12", L"cd34"},
                          {L"5678", L"9ABC"}};
  EXPECT_EQ(expected, f->CacheTable);
  EXPECT_NE(std::string::npos, DebugLogText().find("State file lines skipped"));
}

TEST_F(StateFilesTest, KeyMapsRoundTripAndAddOnlyWhatTheFolderNoLongerShows) {
  CMAPIFolderObject* f = Folder(true, false);
  f->FolderCache[0] = {{L"AA01", L"50A1"}, {L"BB02", L"50B2"}};
  f->FolderCache[1] = {{L"0400C0", L"50B2"}};
  ASSERT_EQ(S_OK, SaveKeyMaps(f));
  EXPECT_EQ("1;AA01;50A1\r\n1;BB02;50B2\r\n2;0400C0;50B2\r\n", Bytes(kKeyMapSuffix));

  // The next object filled its maps from the folder, which still holds the
  // second item (by now under another sync id): the saved maps add the
  // first, and lines not of their format are skipped whole.
  Put(kKeyMapSuffix, Bytes(kKeyMapSuffix) + "1;CC03\r\n3;DD;EE\r\n1;XYZ;50C3\n1;DD04;50D4;\r\n");
  CMAPIFolderObject* g = Folder(true, false);
  g->FolderCache[0] = {{L"BB99", L"50B2"}};
  ASSERT_EQ(S_OK, LoadKeyMaps(g));
  EXPECT_EQ(Table({{L"BB99", L"50B2"}, {L"AA01", L"50A1"}}), g->FolderCache[0]);
  EXPECT_EQ(Table({{L"0400C0", L"50B2"}}), g->FolderCache[1]);
  EXPECT_EQ(S_OK, LoadKeyMaps(Folder(true, false, L"00000000FFFF"))) << "no file: nothing to add";
}

TEST_F(StateFilesTest, ICloudDeleteListRoundTripsAndSkipsBadLines) {
  CMAPIFolderObject* f = Folder(false, true);
  f->Events->pstFolderCache.push_back(L"STALE1");
  Put(kICloudDeleteListSuffix, "0A0B\r\n"
                               "C0D0\n"
                               "0A0B\r\n"                        // listed once
                               "\r\n"
                               "ZZ\r\n"
                               "AB' OR 1=1\r\n"                  // never a key: it would reach a query
                               + std::string(512, 'E') + "\r\n"  // over-long
                               + std::string(510, 'F') + "\r\n");
  ASSERT_EQ(S_OK, LoadiCloudDeleteList(f));
  const std::vector<std::wstring> expected = {L"0A0B", L"C0D0", std::wstring(510, L'F')};
  EXPECT_EQ(expected, f->Events->FolderCacheSnapshot());
  EXPECT_NE(std::string::npos, DebugLogText().find("Load iCloud DeleteList::EOF?"));

  f->Events->AddToFolderCacheList(L"1234");
  ASSERT_EQ(S_OK, SaveiCloudDeleteList(f));
  EXPECT_EQ("0A0B\r\nC0D0\r\n" + std::string(510, 'F') + "\r\n1234\r\n", Bytes(kICloudDeleteListSuffix));

  // Without a file the list is emptied and nothing is reported.
  DeleteFileW(File(kICloudDeleteListSuffix).c_str());
  ASSERT_EQ(S_OK, LoadiCloudDeleteList(f));
  EXPECT_TRUE(f->Events->FolderCacheSnapshot().empty());
  ASSERT_EQ(S_OK, SaveiCloudDeleteList(f));
  EXPECT_EQ("", Bytes(kICloudDeleteListSuffix));
}

// A default folder that a Hotmail master shares with other masters has two
// folder objects, each with its own delete list, key maps and run state. One
// file for both made each object load the other's state after a restart, and
// two workers saving at once at a quit or a Reload refused each other.
TEST_F(StateFilesTest, TwoObjectsOfOneDefaultFolderKeepTheirOwnFiles) {
  auto defaultObject = [&](bool hotmail) {
    auto* f = new CMAPIFolderObject(nullptr, 1, true, false, hotmail);
    f->Events->EntryID = com::Bstr(kEntryId);
    loose_.push_back(f);
    return f;
  };
  CMAPIFolderObject* plain = defaultObject(false);
  CMAPIFolderObject* hotmail = defaultObject(true);
  plain->Events->AddToFolderCacheList(L"0A01");
  hotmail->Events->AddToFolderCacheList(L"0B02");
  plain->FolderCache[0] = {{L"AA01", L"50A1"}};
  hotmail->FolderCache[0] = {{L"BB02", L"50B2"}};
  plain->SyncData = com::Bstr(L"plain state");
  hotmail->SyncData = com::Bstr(L"hotmail state");
  for (CMAPIFolderObject* f : {plain, hotmail}) {
    ASSERT_EQ(S_OK, SaveiCloudDeleteList(f));
    ASSERT_EQ(S_OK, SaveKeyMaps(f));
    ASSERT_EQ(S_OK, SaveSyncData(f));
  }
  EXPECT_EQ("0A01\r\n", Bytes(kICloudDeleteListSuffix)) << "the other masters' object keeps the folder's name";

  for (bool hotmailMode : {false, true}) {
    CMAPIFolderObject* saved = hotmailMode ? hotmail : plain;
    CMAPIFolderObject* next = defaultObject(hotmailMode);
    ASSERT_EQ(S_OK, LoadiCloudDeleteList(next));
    ASSERT_EQ(S_OK, LoadKeyMaps(next));
    com::Bstr state;
    ASSERT_EQ(S_OK, LoadSynccData(next, session_.Get(), utils_.Get(), &state));
    EXPECT_EQ(saved->Events->FolderCacheSnapshot(), next->Events->FolderCacheSnapshot()) << hotmailMode;
    EXPECT_EQ(saved->FolderCache[0], next->FolderCache[0]) << hotmailMode;
    EXPECT_EQ(saved->SyncData.Str(), state.Str()) << hotmailMode;
  }
  EXPECT_EQ(std::string::npos, ErrorLogText().find("ERROR")) << ErrorLogText();
}

TEST_F(StateFilesTest, ICloudVersionTableReadsTheLeadingNumber) {
  Put(kICloudTableSuffix, "AABB;12\r\n"
                          "CCDD;abc\r\n"
                          "EEFF;-3\n"
                          "0011; 7x\r\n"
                          "2233;99999999999\r\n"
                          "4455\r\n"      // no version
                          "GG;1\r\n");    // not an EntryID
  CMAPIFolderObject* plain = Folder(false, false);
  plain->iCloudTable = {{L"KEEP", 1}};
  ASSERT_EQ(S_OK, LoadiCloudTable(plain));
  EXPECT_EQ(1u, plain->iCloudTable.size()) << "outside iCloud mode nothing is loaded";

  CMAPIFolderObject* f = Folder(false, true);
  f->iCloudTable = {{L"OLD", 5}};
  ASSERT_EQ(S_OK, LoadiCloudTable(f));
  const std::vector<std::pair<std::wstring, int>> expected = {
      {L"AABB", 12}, {L"CCDD", 0}, {L"EEFF", -3}, {L"0011", 7}, {L"2233", 2147483647}};
  EXPECT_EQ(expected, f->iCloudTable);

  ASSERT_EQ(S_OK, SaveiCloudTable(f));
  EXPECT_EQ("AABB;12\r\nCCDD;0\r\nEEFF;-3\r\n0011;7\r\n2233;2147483647\r\n", Bytes(kICloudTableSuffix));
}

// A state file that is not UTF-16 (a lone surrogate) is damaged: the state
// before it is loaded rather than a text the synchronizer cannot take.
TEST_F(StateFilesTest, AStateFileOfInvalidUtf16LoadsTheBackup) {
  for (const std::wstring& damaged : {std::wstring(L"ab\xD800" L"cd"), std::wstring(L"ab\xDC00"),
                                      std::wstring(L"ab\xD800")}) {
    Put(kSyncDataSuffix, Utf16(damaged));
    Put(kSyncDataBackupSuffix, Utf16(L"older"));
    com::Bstr state;
    ASSERT_EQ(S_OK, LoadSynccData(Folder(true, false), session_.Get(), utils_.Get(), &state));
    EXPECT_EQ(L"older", state.Str());
  }
  Put(kSyncDataSuffix, Utf16(L"a\xD83D\xDE00" L"b"));  // a pair is text
  com::Bstr state;
  ASSERT_EQ(S_OK, LoadSynccData(Folder(true, false), session_.Get(), utils_.Get(), &state));
  EXPECT_EQ(L"a\xD83D\xDE00" L"b", state.Str());
}

TEST_F(StateFilesTest, PathsUpToTheLimitAreWritten) {
  for (size_t length : {MAX_PATH - 4, MAX_PATH - 1}) {
    SCOPED_TRACE(length);
    const std::wstring id(length - dataDir_.size() - wcslen(kCache2TableSuffix), L'A');
    CMAPIFolderObject* f = Folder(true, false, id.c_str());
    ASSERT_EQ(length, StateFilePath(f, kCache2TableSuffix).size());
    f->Cache2Table = {{L"AB", L"CD"}};
    EXPECT_EQ(S_OK, SaveCache2Table(f));
    EXPECT_EQ("AB;CD\r\n", ReadFileBytes(StateFilePath(f, kCache2TableSuffix)));
  }
}

TEST_F(StateFilesTest, APathTooLongForTheDataFolderIsRefusedAndReported) {
  const std::wstring longId(MAX_PATH - dataDir_.size() - 10, L'A');
  CMAPIFolderObject* f = Folder(true, true, longId.c_str());
  EXPECT_EQ(L"", StateFilePath(f, kSyncDataBackupSuffix));
  EXPECT_EQ(E_FAIL, SaveSyncData(f, L"x"));
  EXPECT_EQ(E_FAIL, SaveiCloudDeleteList(f));
  EXPECT_NE(std::string::npos, ErrorLogText().find("State file path too long"));
  f->Events->pstFolderCache.push_back(L"AA");
  EXPECT_EQ(S_OK, LoadiCloudDeleteList(f));
  EXPECT_TRUE(f->Events->FolderCacheSnapshot().empty());
}

}  // namespace
