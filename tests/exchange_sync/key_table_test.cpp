// The key maps' and change tables' container: its hashed lookups find what a
// walk from the start of the list finds, duplicates included, through
// appends, key and value changes and erasures.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "key_table.h"

namespace {

using Entry = KeyTable::Entry;
using Model = std::vector<Entry>;

Model::const_iterator Walk(const Model& model, const std::wstring& text, bool byValue) {
  return std::find_if(model.begin(), model.end(),
                      [&](const Entry& e) { return (byValue ? e.second : e.first) == text; });
}

TEST(KeyTableTest, FindsTheFirstOfDuplicatesAndTheNextOnceItGoes) {
  KeyTable t{{L"A", L"1"}, {L"B", L"2"}, {L"A", L"3"}, {L"C", L"2"}};
  ASSERT_NE(t.end(), t.FindKey(L"A"));
  EXPECT_EQ(L"1", t.FindKey(L"A")->second);
  EXPECT_EQ(L"B", t.FindValue(L"2")->first);
  t.Erase(t.FindKey(L"A"));
  EXPECT_EQ(L"3", t.FindKey(L"A")->second);
  // A key changed on a later entry does not overtake an earlier one with it.
  t.SetKey(t.FindKey(L"C"), L"B");
  EXPECT_EQ(L"2", t.FindKey(L"B")->second);
  t.SetKey(t.FindKey(L"B"), L"D");  // the first B becomes D: the old C is B's first now
  EXPECT_EQ(t.end(), std::next(t.FindKey(L"B")));
  t.EraseValue(L"2");
  EXPECT_EQ((Model{{L"A", L"3"}}), t);
  EXPECT_EQ(t.end(), t.FindKey(L"B"));
  EXPECT_EQ(t.end(), t.FindValue(L"2"));
}

TEST(KeyTableTest, AgreesWithALinearSearchThroughRandomChanges) {
  std::mt19937 random(17);
  auto pick = [&](int n) { return std::to_wstring(std::uniform_int_distribution<int>(0, n - 1)(random)); };
  KeyTable t;
  Model model;
  for (int step = 0; step < 4000; ++step) {
    const std::wstring key = pick(40), value = pick(40);
    const bool byValue = step % 2 == 0;
    auto found = byValue ? t.FindValue(value) : t.FindKey(key);
    auto walked = Walk(model, byValue ? value : key, byValue);
    ASSERT_EQ(walked == model.end(), found == t.end()) << step;
    if (found != t.end()) {
      ASSERT_EQ(*walked, *found) << step;
    }
    switch (step % 5) {
      case 0:
      case 1:
        t.PushBack(key, value);
        model.emplace_back(key, value);
        break;
      case 2:
        if (found != t.end()) {
          t.SetKey(found, pick(40));
          model[size_t(walked - model.begin())].first = found->first;
        }
        break;
      case 3:
        if (found != t.end()) {
          t.SetValue(found, pick(40));
          model[size_t(walked - model.begin())].second = found->second;
        }
        break;
      case 4:
        if (found != t.end()) {
          t.Erase(found);
          model.erase(walked);
        }
        break;
    }
    ASSERT_EQ(model.size(), t.size());
  }
  EXPECT_EQ(model, Model(t.begin(), t.end()));
  KeyTable copy = t;
  EXPECT_EQ(t, copy);
  for (const Entry& e : model) EXPECT_EQ(*Walk(model, e.first, false), *copy.FindKey(e.first));
}

}  // namespace
