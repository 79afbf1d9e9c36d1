#include "exchange_fixture.h"

#include <cwchar>

namespace exchange_testing {

void ExchangeTest::SetUp() {
  BlocksTest::SetUp();
  dataDir_ = box_->Temp() + L"data\\";
  CreateDirectoryW(dataDir_.c_str(), nullptr);
  wcsncpy(engine_->DataDir, dataDir_.c_str(), MAX_PATH - 1);
  mailbox_ = AddStore(L"Mailbox", 3);
  team_ = AddFolder(mailbox_, L"Team");
  contacts_ = World().StoreDefaultFolder(mailbox_, sim::kOlContacts);
  master_ = AddFolderObject(team_, 0, L"Team", true);
  default_ = AddFolderObject(contacts_, 1, L"", true);
  master_->Partner = default_;
}

void ExchangeTest::TearDown() {
  World().ClearFailures();
  BlocksTest::TearDown();
}

void ExchangeTest::Prepare(CMAPIFolderObject* f) {
  ASSERT_EQ(S_OK, OpenRdoFolder(f, session_.Get(), utils_.Get()));
  if (f->SyncData.Empty()) {
    f->SyncStateReset = true;
    Run(f);
  }
}

std::string ExchangeTest::Stored(CMAPIFolderObject* f, const wchar_t* suffix) {
  return testing_support::ReadFileBytes(StateFile(f, suffix));
}

size_t ExchangeTest::StoredLines(CMAPIFolderObject* f, const wchar_t* suffix) {
  return blocks_testing::CountOf(Stored(f, suffix), "\n");
}

void ExchangeTest::Touch(sim::ObjId item, const wchar_t* subject) {
  sim::ItemContent c = World().GetItem(item)->content;
  c.Set(sim::PropKey::Tag(sim::tags::kSubject), sim::Value::String(subject));
  ASSERT_EQ(S_OK, World().CommitItem(item, c));
}

}  // namespace exchange_testing
