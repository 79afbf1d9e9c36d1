// The item-event sink of a folder object while the user has paused the
// synchronisation or the settings are being (re)loaded: no event changes the
// status or sets a mark. Resumed and loaded, the same events do.
#include <gtest/gtest.h>

#include "engine_fixture.h"
#include "folder_object.h"

using namespace engine_testing;

namespace {

constexpr DISPID kItemAdd = 0xF001;
constexpr DISPID kItemChange = 0xF002;
constexpr DISPID kItemRemove = 0xF003;

class SinkPause : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_NE(MakeEngine(L"16.0.0.6000"), nullptr);
    folder = new CMAPIFolderObject(nullptr, 0, false, false, false);
    engine_->AddFolderObject(folder);
    engine_->SetSettingsLoaded(true);
  }
  void TearDown() override {
    engine_->SetSettingsLoaded(false);
    EngineTest::TearDown();
  }
  void Fire(DISPID id) {
    VARIANT item;
    VariantInit(&item);  // no item: ItemAdd cannot read a sync id
    DISPPARAMS params{&item, nullptr, 1, 0};
    EXPECT_EQ(S_OK, folder->Events->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
  }
  void FireAll() {
    for (DISPID id : {kItemAdd, kItemChange, kItemRemove}) Fire(id);
  }
  void ExpectNothingChanged(const char* why) {
    EXPECT_EQ(kStatusIdle, engine_->GetSyncStatus()) << why;
    EXPECT_FALSE(folder->Events->ChangedMarkSet()) << why;
    EXPECT_FALSE(folder->Events->DeletedMarkSet()) << why;
    EXPECT_TRUE(folder->Events->FolderCacheSnapshot().empty()) << why;
    EXPECT_EQ(std::string::npos, DebugLogText().find("Elem Deleted")) << why;
  }

  CMAPIFolderObject* folder = nullptr;
};

TEST_F(SinkPause, EventsWhilePausedOrUnloadedChangeNothing) {
  while (!engine_->IsReady()) Sleep(1);  // the session thread sets no status after this
  engine_->SetSyncStatus(kStatusIdle);
  ASSERT_EQ(kStatusIdle, engine_->GetSyncStatus());

  engine_->SyncPaused = true;
  FireAll();
  ExpectNothingChanged("paused");

  engine_->SyncPaused = false;
  engine_->SetSettingsLoaded(false);  // as during a Reload
  FireAll();
  ExpectNothingChanged("settings not loaded");

  // Resumed and loaded, the same events mark the folder.
  engine_->SetSettingsLoaded(true);
  Fire(kItemChange);
  EXPECT_EQ(kStatusBusy, engine_->GetSyncStatus());
  EXPECT_TRUE(folder->Events->TakeChanged());
  Fire(kItemRemove);
  EXPECT_TRUE(folder->Events->TakeDeleted());
}

}  // namespace
