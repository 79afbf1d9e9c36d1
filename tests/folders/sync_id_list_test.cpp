// The delete list's index must agree with its order through every change;
// a stale index would make a deletion look already known, or a known id new.
#include <gtest/gtest.h>

#include "sync_id_list.h"

namespace {

std::vector<std::wstring> Ids(std::initializer_list<const wchar_t*> ids) { return {ids.begin(), ids.end()}; }

TEST(SyncIdList, IndexFollowsTheOrderThroughAddRemoveAndTake) {
  SyncIdList list;
  list.push_back(L"AA");
  list.push_back(L"BB");
  list.push_back(L"AA");  // a plain list may hold an id twice
  EXPECT_FALSE(list.AddOnce(L"BB"));
  EXPECT_TRUE(list.AddOnce(L"CC"));
  EXPECT_EQ(list.Items(), Ids({L"AA", L"BB", L"AA", L"CC"}));

  list.Remove(L"AA");  // every entry of it, the others keep their order
  EXPECT_EQ(list.Items(), Ids({L"BB", L"CC"}));
  EXPECT_FALSE(list.Contains(L"AA"));
  EXPECT_TRUE(list.AddOnce(L"AA")) << "a removed id is new again";
  list.Remove(L"ZZ");  // unknown: nothing happens
  EXPECT_EQ(list.Items(), Ids({L"BB", L"CC", L"AA"}));

  std::vector<std::wstring> taken = list.TakeAll();
  EXPECT_EQ(taken, Ids({L"BB", L"CC", L"AA"}));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(list.Contains(L"BB")) << "the index goes with the entries";
  EXPECT_TRUE(list.AddOnce(L"BB"));

  list.clear();
  EXPECT_FALSE(list.Contains(L"BB"));
  EXPECT_EQ(list.size(), 0u);
}

TEST(SyncIdList, IdsCompareExactly) {
  SyncIdList list;
  list.push_back(L"0A1B");
  EXPECT_FALSE(list.Contains(L"0a1b")) << "key texts are compared case-sensitively";
  EXPECT_TRUE(list.AddOnce(L"0a1b"));
  EXPECT_EQ(list.size(), 2u);
}

}  // namespace
