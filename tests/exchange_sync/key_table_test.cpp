// The key maps' and change tables' container: its hashed lookups find what a
// walk from the start of the list finds, duplicates included, through
// appends, key and value changes and erasures; and what was appended since a
// mark is known only while nothing else changed (a file that grows with the
// table relies on it).
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
  KeyTable late;  // the same changes, searched by value only at the end
  Model model;
  auto inLate = [&](Model::const_iterator at) { return std::next(late.begin(), at - model.cbegin()); };
  KeyTable::Mark mark = t.EndMark();
  size_t marked = 0;
  bool onlyAppends = true;
  for (int step = 0; step < 4000; ++step) {
    if (step % 7 == 0) {
      mark = t.EndMark();
      marked = model.size();
      onlyAppends = true;
    }
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
        late.PushBack(key, value);
        model.emplace_back(key, value);
        break;
      case 2:
        if (found != t.end()) {
          const std::wstring was = found->first;
          t.SetKey(found, pick(40));
          late.SetKey(inLate(walked), found->first);
          model[size_t(walked - model.begin())].first = found->first;
          if (found->first != was) onlyAppends = false;
        }
        break;
      case 3:
        if (found != t.end()) {
          const std::wstring was = found->second;
          t.SetValue(found, pick(40));
          late.SetValue(inLate(walked), found->second);
          model[size_t(walked - model.begin())].second = found->second;
          if (found->second != was) onlyAppends = false;
        }
        break;
      case 4:
        if (found != t.end()) {
          t.Erase(found);
          late.Erase(inLate(walked));
          model.erase(walked);
          onlyAppends = false;
        }
        break;
    }
    Model appended;
    ASSERT_EQ(onlyAppends, t.ForEachAppendedSince(mark, [&](const Entry& e) { appended.push_back(e); })) << step;
    if (onlyAppends) {
      ASSERT_EQ(Model(model.begin() + long(marked), model.end()), appended) << step;
    }
    ASSERT_EQ(model.size(), t.size());
  }
  EXPECT_EQ(model, Model(t.begin(), t.end()));
  EXPECT_EQ(model, Model(late.begin(), late.end()));
  for (const Entry& e : model) EXPECT_EQ(*Walk(model, e.second, true), *late.FindValue(e.second));
  KeyTable copy = t;
  EXPECT_EQ(t, copy);
  for (const Entry& e : model) EXPECT_EQ(*Walk(model, e.first, false), *copy.FindKey(e.first));
  // Another table, or one emptied or moved from, is not the marked table grown.
  auto none = [](const Entry&) {};
  EXPECT_FALSE(copy.ForEachAppendedSince(t.EndMark(), none));
  mark = t.EndMark();
  KeyTable moved = std::move(t);
  EXPECT_TRUE(moved.ForEachAppendedSince(mark, none)) << "the entries moved with their table";
  EXPECT_FALSE(t.ForEachAppendedSince(mark, none));
  mark = moved.EndMark();
  moved.clear();
  EXPECT_FALSE(moved.ForEachAppendedSince(mark, none));
}

}  // namespace
