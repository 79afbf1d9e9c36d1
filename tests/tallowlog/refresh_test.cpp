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
                        "10:00:01|4711|-> after", exact, "10:00:02|4711|-> end"};
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

TEST_F(TallowlogRefresh, ControlBytesShowAsStandInsAndLaterLinesStillCome) {
  // What a subject or a body can bring into the log: NUL, Ctrl-Z, other
  // control bytes, a lone CR; a tab stays a tab.
  WriteBytes(LogPath(), std::string("10:00:01|4711|-> with NUL \0 in it\r\n", 35), false);
  AppendLog("10:00:02|4711|-> Ctrl-Z \x1a here\r\n");
  AppendLog("10:00:03|4711|-> bell \x07, DEL \x7f, \x85, lone \r CR, tab\tok, \xe4\r\n");
  ViewerWindow viewer(folder_.Path());
  const std::wstring shown = L"10:00:01|4711|-> with NUL ? in it\r\n"
                             L"10:00:02|4711|-> Ctrl-Z ? here\r\n"
                             L"10:00:03|4711|-> bell ?, DEL ?, ?, lone ? CR, tab\tok, \u00e4\r\n";
  EXPECT_EQ(viewer.ViewText(), shown);

  const Lines more = NumberedLines(4, 2);
  AppendLog(AsFileText(more));
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), shown + AsViewText(more)) << "the lines after a Ctrl-Z come too";
}

// A log of more than the view's limit, in numbered lines of 100 bytes.
class TallowlogHugeLog : public TallowlogRefresh {
 protected:
  static constexpr int kLines = 110000;  // 100 bytes each: 11 MB
  static std::string Padded(int i) {
    char buf[128];
    snprintf(buf, sizeof buf, "10:%02d:%02d|4711|-> line %07d %s", i / 60 % 60, i % 60, i,
             "....................................................................");
    return buf;
  }
  static std::string Block(int first, int count) {
    std::string text;
    for (int i = first; i < first + count; ++i) text += Padded(i) + "\r\n";
    return text;
  }
  static bool EndsWith(const std::wstring& text, const std::string& tail) {
    const std::wstring t = Widen(tail);
    return text.size() >= t.size() && text.compare(text.size() - t.size(), t.size(), t) == 0;
  }
};

TEST_F(TallowlogHugeLog, ShowsTheNewestLinesAndGoesOnFollowingTheEnd) {
  WriteBytes(LogPath(), Block(0, kLines), false);
  ViewerWindow viewer(folder_.Path());
  std::wstring text = viewer.ViewText();
  ASSERT_FALSE(text.empty());
  EXPECT_LE(text.size(), CMainDlg::ViewBudgetChars) << "the view holds its budget, not the whole limit";
  EXPECT_TRUE(EndsWith(text, Padded(kLines - 1) + "\r\n")) << "the newest line is shown";
  const std::wstring first = text.substr(0, text.find(L"\r\n"));
  EXPECT_EQ(first.size(), Padded(0).size()) << "the view begins with a whole line";

  // New lines come at the end, the oldest making room when the limit nears.
  for (int round = 0; round < 2; ++round) {
    const int from = kLines + round * 30000;
    AppendLog(Block(from, 30000));
    viewer.Tick();
    text = viewer.ViewText();
    EXPECT_LE(text.size(), CMainDlg::ViewBudgetChars) << round;
    EXPECT_TRUE(EndsWith(text, Block(from + 29997, 3))) << round;
    EXPECT_EQ(text.substr(0, text.find(L"\r\n")).size(), Padded(0).size()) << "whole lines only";
  }
}

// One line longer than the view keeps: the view goes on with the newest of
// its pieces and the lines after it.
TEST_F(TallowlogHugeLog, ALineLongerThanTheViewShowsItsNewestPiecesAndWhatFollows) {
  WriteBytes(LogPath(), Block(0, 52), false);
  ViewerWindow viewer(folder_.Path());
  std::string huge = "HUGE:";
  char number[16];
  for (int i = 0; i < 375000; ++i) {  // no piece of it is like another
    snprintf(number, sizeof number, "%07d|", i);
    huge += number;
  }
  AppendLog(huge + "\r\n10:00:03|4711|-> after the huge line\r\n");
  viewer.Tick();
  const std::wstring text = viewer.ViewText();
  const size_t lastPiece = huge.size() / 1023 * 1023;
  EXPECT_TRUE(EndsWith(text, huge.substr(lastPiece) + "\r\n10:00:03|4711|-> after the huge line\r\n"));
  EXPECT_GT(text.size(), CMainDlg::KeptViewChars / 2) << "the newest part of the line, not only what follows";
  EXPECT_LE(text.size(), CMainDlg::ViewBudgetChars);
  const std::wstring first = text.substr(0, text.find(L"\r\n"));
  ASSERT_EQ(first.size(), 1023u) << "a whole piece";
  const size_t at = Widen(huge).find(first);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(at % 1023, 0u) << "the pieces of the line, as when it is shown whole";
}

TEST_F(TallowlogRefresh, EachRefreshReadsOnlyWhatWasAppended) {
  const Lines lines = NumberedLines(1, 50000);
  WriteLog(lines);
  ViewerWindow viewer(folder_.Path());
  const Lines more = NumberedLines(50001, 100);
  AppendLog(AsFileText(more));
  viewer.Tick();
  EXPECT_EQ(viewer.ViewText(), AsViewText(Concat(lines, more)));
  // The new lines and the few bytes that tell the log from another file.
  EXPECT_LE(viewer.Dialog().Follower().BytesRead(), AsFileText(more).size() + 128);
  viewer.Tick();
  EXPECT_LE(viewer.Dialog().Follower().BytesRead(), 128u) << "nothing new, next to nothing read";
}

}  // namespace
}  // namespace tallowlog_test
