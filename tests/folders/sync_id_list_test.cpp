// The delete list's index must agree with its order through every change;
// a stale index would make a deletion look already known, or a known id new.
#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <set>
#include <string>

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

// The list keeps each id's text in blocks of its own. Ids that fill several
// blocks, one longer than a block, and the list's copy of itself after most
// ids went must all keep their text, their order and their index.
TEST(SyncIdList, TextSurvivesBlocksRemovalsAndRoomMadeAhead) {
  auto id = [](int i) {
    wchar_t text[40];
    swprintf(text, 40, L"%032X", i * 2654435761u);
    return std::wstring(text);
  };
  SyncIdList list;
  std::vector<std::wstring> expected;
  list.Reserve(10);
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(list.AddOnce(id(i)));
    expected.push_back(id(i));
    if (i == 1500) {
      const std::wstring longer(20000, L'C');
      list.push_back(longer);
      expected.push_back(longer);
      list.push_back(L"AB");
      expected.push_back(L"AB");
    }
  }
  list.Reserve(5000);
  EXPECT_FALSE(list.AddOnce(id(7)));
  EXPECT_EQ(list.Items(), expected);

  // Removing three ids in four leaves most of the stored text unused.
  for (int i = 0; i < 3000; ++i)
    if (i % 4) list.Remove(id(i));
  expected.clear();
  for (int i = 0; i < 3000; i += 4) {
    expected.push_back(id(i));
    if (i == 1500) expected.insert(expected.end(), {std::wstring(20000, L'C'), L"AB"});
  }
  EXPECT_EQ(list.Items(), expected);
  for (int i = 0; i < 3000; ++i) EXPECT_EQ(list.Contains(id(i)), i % 4 == 0) << i;
  EXPECT_TRUE(list.Contains(std::wstring(20000, L'C')));
  EXPECT_TRUE(list.AddOnce(id(1)));
  EXPECT_FALSE(list.AddOnce(L"AB"));
  expected.push_back(id(1));
  EXPECT_EQ(list.Items(), expected);
}

// The index finds an id in the slot its hash names or in the next free one
// after it. Seven ids in the smallest table share such runs of slots and
// often wrap round its end: every id must stay found, and a removed one be
// found no more, whichever of them goes first and comes back (checked
// against a plain set, over many sets of ids).
TEST(SyncIdList, EveryIdStaysFoundWhileOthersComeAndGo) {
  uint32_t state = 12345;
  auto random = [&state](uint32_t below) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % below;
  };
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::wstring> ids;
    for (int k = 0; k < 7; ++k) ids.push_back(std::to_wstring(round) + L"-" + std::to_wstring(k));
    SyncIdList list;
    std::set<std::wstring> model;
    for (const std::wstring& id : ids) {
      list.AddOnce(id);
      model.insert(id);
    }
    for (int step = 0; step < 20; ++step) {
      const std::wstring& id = ids[random(7)];
      if (random(3) == 0) {
        ASSERT_EQ(list.AddOnce(id), model.insert(id).second) << round;
      } else {
        list.Remove(id);
        model.erase(id);
      }
      for (const std::wstring& other : ids) ASSERT_EQ(list.Contains(other), model.count(other) != 0) << round;
    }
    EXPECT_EQ(list.size(), model.size());
  }
}

}  // namespace
