// ThreadPointer: each thread sees only what it set itself.
#include <gtest/gtest.h>

#include <thread>

#include "thread_pointer.h"

namespace {

TEST(ThreadPointer, EachThreadKeepsItsOwnValueAndSlotsAreApart) {
  com::ThreadPointer<int> first, second;
  int mine = 1, other = 2, theirs = 3;
  EXPECT_EQ(first.Get(), nullptr);
  first.Set(&mine);
  second.Set(&other);
  int* seenThere = &mine;
  int* keptThere = nullptr;
  std::thread([&] {
    seenThere = first.Get();
    first.Set(&theirs);
    keptThere = first.Get();
  }).join();
  EXPECT_EQ(seenThere, nullptr);
  EXPECT_EQ(keptThere, &theirs);
  EXPECT_EQ(first.Get(), &mine);
  EXPECT_EQ(second.Get(), &other);
  first.Set(nullptr);
  EXPECT_EQ(first.Get(), nullptr);
  EXPECT_EQ(second.Get(), &other);
}

TEST(ThreadPointer, ReadingLeavesTheLastErrorAlone) {
  com::ThreadPointer<int> slot;
  SetLastError(ERROR_FILE_NOT_FOUND);
  slot.Get();
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

}  // namespace
