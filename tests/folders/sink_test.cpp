// The item-event sink on its own: its marks and the folder cache.
#include <gtest/gtest.h>

#include "folder_object.h"
#include "locks.h"
#include "sync_engine.h"

namespace {

class SinkTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeGlobalLocks(); }
  void TearDown() override { sink->Release(); }
  CItemsEvents* sink = new CItemsEvents;  // one reference, as a folder object holds it
};

TEST_F(SinkTest, TwoMarksBeforeOneTakeGiveOneTake) {
  EXPECT_FALSE(sink->TakeChanged());
  sink->MarkChanged();
  sink->MarkChanged();
  EXPECT_TRUE(sink->TakeChanged());
  EXPECT_FALSE(sink->TakeChanged());

  sink->MarkDeleted();
  EXPECT_FALSE(sink->ChangedMarkSet());
  EXPECT_TRUE(sink->TakeDeleted());
  EXPECT_FALSE(sink->TakeDeleted());
}

TEST_F(SinkTest, FolderCacheKeepsEachSyncIdOnce) {
  EXPECT_EQ(0, sink->AddToFolderCacheList(L"AA01"));
  EXPECT_EQ(0, sink->AddToFolderCacheList(L"BB02"));
  EXPECT_EQ(0, sink->AddToFolderCacheList(L"AA01"));
  EXPECT_EQ(0, sink->AddToFolderCacheList(L""));
  EXPECT_EQ((std::vector<std::wstring>{L"AA01", L"BB02"}), sink->FolderCacheSnapshot());
}

TEST_F(SinkTest, EventsWithoutOwnerOrEngineChangeNothing) {
  ASSERT_EQ(nullptr, g_pSyncEngine);
  VARIANT arg;
  VariantInit(&arg);
  DISPPARAMS none{&arg, nullptr, 0, 0};
  for (DISPID id : {0xF001, 0xF002, 0xF003})
    EXPECT_EQ(S_OK, sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
  EXPECT_FALSE(sink->ChangedMarkSet());
  EXPECT_FALSE(sink->DeletedMarkSet());
}

}  // namespace
