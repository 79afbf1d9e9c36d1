// The viewer's refresh, driven by timer ticks sent to the real dialog.
#include <gtest/gtest.h>

#include "viewer_test_support.h"

namespace tallowlog_test {
namespace {

using Lines = std::vector<std::string>;

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class TallowlogRefresh : public ::testing::Test {
 protected:
  std::wstring LogPath() const { return folder_.File(L"Tallowby_debug.log"); }
  void WriteLog(const Lines& lines) { WriteBytes(LogPath(), AsFileText(lines), false); }
  void AppendLog(const std::string& bytes) { WriteBytes(LogPath(), bytes, true); }
  // The add-in's restart: the old log moves away and a new one begins.
  void StartNewLog(const Lines& lines) {
    ASSERT_TRUE(MoveFileExW(LogPath().c_str(), folder_.File(L"Tallowby_debug-1.log").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
    WriteLog(lines);
  }

  ScratchFolder folder_;
};

TEST_F(TallowlogRefresh, FollowsAGrowingLog) {
  WriteLog({});
  ViewerWindow viewer(folder_.Path());
  ASSERT_TRUE(viewer.Hwnd());
  EXPECT_EQ(viewer.ViewText(), L"") << "an empty log shows nothing";

  const Lines first = Concat({" ------------------------------- 01.02.2024 09:59:58 ------------------------------- ", ""},
                             NumberedLines(1, 20));
  WriteLog(first);
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(first)) << "all lines, the first included";

  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(first)) << "no new lines, nothing added";

  const Lines three = NumberedLines(21, 3);
  AppendLog(AsFileText(three));
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(Concat(first, three)));

  // A log that goes away for a while leaves the view as it is.
  ASSERT_TRUE(DeleteFileW(LogPath().c_str()));
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(Concat(first, three)));
}

TEST_F(TallowlogRefresh, ShowsTheLogAtOnceWhenOpened) {
  const Lines lines = NumberedLines(1, 5);
  WriteLog(lines);
  ViewerWindow viewer(folder_.Path());
  EXPECT_EQ(viewer.ViewText(), AsViewText(lines));
  // Latin-1 bytes as the add-in writes them.
  AppendLog("10:00:06|4711|-> Kontakt \xfc" "ber \xe4ndern\r\n");
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(lines) + L"10:00:06|4711|-> Kontakt \u00fcber \u00e4ndern\r\n");
}

TEST_F(TallowlogRefresh, ScrolledUpViewWaitsUntilItIsAtTheBottom) {
  const Lines lines = NumberedLines(1, 200);
  WriteLog(lines);
  ViewerWindow viewer(folder_.Path());
  ASSERT_EQ(viewer.ViewText(), AsViewText(lines));

  viewer.Scroll(SB_TOP);
  const Lines more = NumberedLines(201, 5);
  AppendLog(AsFileText(more));
  viewer.Tick();
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(lines)) << "the user who scrolled up keeps the view";

  const Lines evenMore = NumberedLines(206, 2);
  AppendLog(AsFileText(evenMore));
  viewer.Scroll(SB_BOTTOM);
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(Concat(Concat(lines, more), evenMore))) << "everything missing, in order";
}

TEST_F(TallowlogRefresh, NewLogFileReplacesTheView) {
  WriteLog(NumberedLines(1, 10));
  ViewerWindow viewer(folder_.Path());

  const Lines shorter = NumberedLines(500, 3);
  StartNewLog(shorter);
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(shorter)) << "a shorter new file from its first line";

  const Lines asLong = NumberedLines(600, 3);
  StartNewLog(asLong);
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(asLong)) << "a new file with as many lines as the view shows";

  const Lines longer = NumberedLines(700, 8);
  StartNewLog(longer);
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(longer)) << "a new file that already has more lines";

  // The error log is deleted and begun again with the same first line and
  // more lines than the view shows.
  const Lines again = Concat({longer[0]}, NumberedLines(800, 9));
  ASSERT_TRUE(DeleteFileW(LogPath().c_str()));
  WriteLog(again);
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(again));
}

TEST_F(TallowlogRefresh, NewFileWhileScrolledUpClearsAndWaits) {
  WriteLog(NumberedLines(1, 200));
  ViewerWindow viewer(folder_.Path());
  viewer.Scroll(SB_TOP);
  const Lines next = NumberedLines(900, 250);
  StartNewLog(next);
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), L"") << "the old log goes; an empty view is at its bottom";
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(next));
}

TEST_F(TallowlogRefresh, LongLineShowsAsConsecutivePieces) {
  const std::string longLine = "10:00:00|4711|-> " + std::string(2500 - 17, 'x');
  const std::string exact(1023, 'y');
  WriteLog({longLine, "10:00:01|4711|-> after", exact, "10:00:02|4711|-> end"});
  ViewerWindow viewer(folder_.Path());
  const Lines pieces = {longLine.substr(0, 1023), longLine.substr(1023, 1023), longLine.substr(2046),
                        "10:00:01|4711|-> after", exact, "", "10:00:02|4711|-> end"};
  EXPECT_EQ(viewer.ViewText(), AsViewText(pieces));

  AppendLog(AsFileText(NumberedLines(3, 1)));
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(Concat(pieces, NumberedLines(3, 1)))) << "nothing lost or repeated";
}

TEST_F(TallowlogRefresh, TypingIntoTheViewDoesNotShiftLaterLines) {
  const Lines lines = NumberedLines(1, 4);
  WriteLog(lines);
  ViewerWindow viewer(folder_.Path());

  viewer.Type(L'\r');  // Enter at the caret, the end of the text
  std::wstring expected = AsViewText(lines) + L"\r\n";
  ASSERT_EQ(viewer.ViewText(), expected);

  const Lines more = NumberedLines(5, 2);
  AppendLog(AsFileText(more));
  viewer.Tick();
  expected += AsViewText(more);
  EXPECT_EQ(viewer.ViewText(), expected) << "no log line skipped";

  // Enter twice in the middle of the text, then a note at the end.
  SendMessageW(viewer.View(), EM_SETSEL, 3, 3);
  viewer.Type(L'\r');
  viewer.Type(L'\r');
  expected.insert(3, L"\r\n\r\n");
  const Lines last = NumberedLines(7, 1);
  AppendLog(AsFileText(last));
  viewer.Tick();
  expected += AsViewText(last);
  EXPECT_EQ(viewer.ViewText(), expected);
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), expected) << "no log line repeated";
}

TEST_F(TallowlogRefresh, HalfWrittenLineShowsCompleteAtTheNextRefresh) {
  const Lines lines = NumberedLines(1, 2);
  WriteLog(lines);
  AppendLog("10:00:03|4711|-> FillDeleteList ");  // a label, its value still to come
  ViewerWindow viewer(folder_.Path());
  EXPECT_EQ(viewer.ViewText(), AsViewText(lines));

  AppendLog("= 12 msec\r\n");
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(lines) + L"10:00:03|4711|-> FillDeleteList = 12 msec\r\n");

  // A long line half written past its first piece.
  const std::string longLine(1500, 'z');
  AppendLog(longLine.substr(0, 1200));
  viewer.Tick();
  const std::wstring withFirstPiece =
      AsViewText(lines) + L"10:00:03|4711|-> FillDeleteList = 12 msec\r\n" + Widen(longLine.substr(0, 1023)) + L"\r\n";
  EXPECT_EQ(viewer.ViewText(), withFirstPiece);
  AppendLog(longLine.substr(1200) + "\r\n");
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), withFirstPiece + Widen(longLine.substr(1023)) + L"\r\n");
}

}  // namespace
}  // namespace tallowlog_test
