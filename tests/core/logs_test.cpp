// The log files byte for byte: banner, prefix, joined lines, error lines, the
// 8-bit encoding and the rotation.
#include <gtest/gtest.h>

#include <windows.h>
#include <mapicode.h>

#include <regex>
#include <string>

#include "locks.h"
#include "logs.h"
#include "sandbox.h"
#include "sync_engine.h"

using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::Sandbox;
using testing_support::WriteFileBytes;

namespace {

// A date and time in the user's default format (numeric date, optional AM/PM).
const std::regex kDateTime(R"(\d{1,4}[/.\-]\d{1,2}[/.\-]\d{1,4} \d{1,2}:\d\d:\d\d( [AP]M)?)");

std::string Tid() { return "|" + std::to_string(static_cast<int>(GetCurrentThreadId())) + "|-> "; }

// Points the logs at the sandbox and turns debug logging on.
struct LogFiles {
  explicit LogFiles(const Sandbox& box, bool debugOn = true)
      : debug(box.Temp() + kDebugLogName), error(box.Temp() + kErrorLogName) {
    SetDebugLogPath(debug.c_str());
    SetErrorLogPath(error.c_str());
    g_bDebugLog = debugOn;
  }
  ~LogFiles() {
    g_bDebugLog = false;
    SetDebugLogPath(L"");
    SetErrorLogPath(L"");
  }
  std::wstring debug, error;
};

// The debug log without its banner line and the blank line after it.
std::string AfterBanner(const std::string& log) {
  size_t end = log.find("\r\n\r\n");
  return end == std::string::npos ? "<no banner>" : log.substr(end + 4);
}

TEST(Logs, DebugLinesAreWrittenByteForByte) {
  Sandbox box;
  LogFiles files(box);
  WriteDebugLog(L"first", false);  // a first write without line end still gets banner and prefix
  DebugLog(L"continued");
  DebugLogString(L"Version", L"1.51.5");
  DebugLog(L"Gr\u00fc\u00dfe\nzwei");
  DebugLog(L"cut \u0100here");
  DebugLog(L"after");

  std::string log = ReadFileBytes(files.debug);
  EXPECT_EQ(std::regex_replace(log.substr(0, log.find("\r\n\r\n") + 4), kDateTime, "D"),
            " ------------------------------- D ------------------------------- \r\n\r\n");
  std::string body = AfterBanner(log);
  std::regex time(R"(\d\d:\d\d:\d\d)");
  std::string stamped = std::regex_replace(body, time, "T");
  EXPECT_EQ(stamped, "T" + Tid() + "first continued\r\n" +
                         "T" + Tid() + "Version 1.51.5\r\n" +
                         "T" + Tid() + "Gr\xfc\xdf" "e\r\nzwei\r\n" +
                         "T" + Tid() + "cut \r\n" +
                         "T" + Tid() + "after\r\n");
  EXPECT_EQ(body.find(" ------------------------------- "), std::string::npos) << "one banner per process";
}

TEST(Logs, DebugOffWritesNothingButTheUserLogStillWrites) {
  Sandbox box;
  LogFiles files(box, false);
  InitializeGlobalLocks();
  DebugLog(L"not written");
  LogError(E_FAIL, L"quiet");
  EXPECT_TRUE(g_bDebugBannerPending);
  EXPECT_EQ(ReadFileBytes(files.error), "ERROR: quiet: MAPI_E_CALL_FAILED\r\n");
  {
    CSyncEngine engine(nullptr, files.debug.c_str());
    engine.UserLog(L"NEW: off");  // the user log is off: nothing
    EXPECT_FALSE(FileExists(files.debug));
    engine.UserLogOn = 1;
    engine.UserLog(L"NEW: Meeting \u00e4");
    engine.UserLogString(L"copied", SysAllocString(L"Anna"));
    engine.UserLogString(L"label only", SysAllocString(L""));  // the line stays open
    engine.UserLog(L"next");
    engine.UserLogString(nullptr, SysAllocString(L"freed, not written"));
  }
  std::string log = ReadFileBytes(files.debug);
  EXPECT_EQ(std::regex_replace(log, kDateTime, "D"),
            "D | NEW: Meeting \xe4\r\nD | copied Anna\r\nD | label only D | next\r\n");
  EXPECT_TRUE(g_bDebugBannerPending) << "user lines do not write the debug banner";
  DeleteGlobalLocks();
}

// A file that opens but takes no byte: every write fails (the disk is full).
// The tests run under Wine, which shows the host's files as drive Z:.
constexpr wchar_t kFullDisk[] = L"Z:\\dev\\full";

// A write that fails switches the error log and the user log off for the
// rest of the run; the debug log has no such switch.
TEST(Logs, AFailedWriteSwitchesTheErrorAndUserLogsOff) {
  Sandbox box;
  LogFiles files(box);
  InitializeGlobalLocks();
  {
    CSyncEngine engine(nullptr, files.debug.c_str());
    engine.UserLogOn = 1;
    SetErrorLogPath(kFullDisk);
    LogError(E_FAIL, L"lost");
    EXPECT_FALSE(g_bErrorLogEnabled);
    SetErrorLogPath(files.error.c_str());
    LogError(E_FAIL, L"after");
    EXPECT_FALSE(FileExists(files.error)) << "the error log stays off";

    SetDebugLogPath(kFullDisk);
    engine.UserLog(L"NEW: lost");
    EXPECT_FALSE(g_bUserLogEnabled);
    DebugLog(L"lost as well");
    SetDebugLogPath(files.debug.c_str());
    engine.UserLog(L"NEW: after");
    DebugLog(L"still written");
  }
  const std::string log = ReadFileBytes(files.debug);
  EXPECT_EQ(log.find("NEW:"), std::string::npos) << "the user log stays off";
  EXPECT_NE(log.find("-> still written\r\n"), std::string::npos) << "the debug log goes on";
  EXPECT_NE(log.find("-> ERROR: after: MAPI_E_CALL_FAILED\r\n"), std::string::npos);
  g_bErrorLogEnabled = true;
  g_bUserLogEnabled = true;
  DeleteGlobalLocks();
}

TEST(Logs, ErrorLinesNameKnownCodesAndGiveTheRestInHex) {
  Sandbox box;
  LogFiles files(box);
  LogError(MAPI_E_TIMEOUT, L"session Connectiontimeout");
  SetLastError(1234);
  LogError(E_POINTER, L"no session");
  LogError(E_ACCESSDENIED, L"alias");         // the first alias in the table wins
  LogError(MAKE_HRESULT(1, FACILITY_ITF, 0x60C), L"full");  // defined by us, missing from the headers
  SetLastError(1234);
  LogError(S_OK, L"ok");
  LogError(E_FAIL, L"caf\u00e9 \u0100 rest");  // cut at U+0100; the line end is still written
  LogError(E_FAIL, nullptr);
  EXPECT_TRUE(CheckHr(S_FALSE, L"silent"));
  EXPECT_FALSE(CheckHr(MAPI_E_NOT_FOUND, L"CopyDefault2Master::GetMasterFolder"));

  EXPECT_EQ(ReadFileBytes(files.error),
            "ERROR: session Connectiontimeout: MAPI_E_TIMEOUT\r\n"
            "ERROR: no session: 0x80004003 GetLastError: 1234\r\n"
            "ERROR: alias: MAPI_E_NO_ACCESS\r\n"
            "ERROR: full: MAPI_E_STORE_FULL\r\n"
            "ERROR: ok: 0x0 GetLastError: 1234\r\n"
            "ERROR: caf\xe9 \r\n"
            "ERROR: : MAPI_E_CALL_FAILED\r\n"
            "ERROR: CopyDefault2Master::GetMasterFolder: MAPI_E_NOT_FOUND\r\n");
  std::string debug = AfterBanner(ReadFileBytes(files.debug));
  EXPECT_NE(debug.find(Tid() + "ERROR: session Connectiontimeout: MAPI_E_TIMEOUT\r\n"), std::string::npos);
  EXPECT_EQ(debug.find("silent"), std::string::npos);

  // A label far longer than a line: the line is cut at 255 characters.
  std::wstring longLabel(400, L'x');
  EXPECT_EQ(FormatErrorLine(E_FAIL, longLabel.c_str(), 0).size(), 255u);
  EXPECT_STREQ(MapiErrorName(E_OUTOFMEMORY), L"MAPI_E_NOT_ENOUGH_MEMORY");
  EXPECT_EQ(MapiErrorName(E_UNEXPECTED), nullptr);
}

TEST(Logs, ErrorLinesStayOutOfFilesUntilTheirPathIsSet) {
  Sandbox box;
  LogFiles files(box);
  SetErrorLogPath(L"");
  LogError(E_FAIL, L"early");
  EXPECT_FALSE(FileExists(files.error));
  EXPECT_NE(ReadFileBytes(files.debug).find("ERROR: early: MAPI_E_CALL_FAILED"), std::string::npos);
  EXPECT_TRUE(g_bErrorLogEnabled);
}

TEST(Logs, SixStartsKeepFiveOldLogsNewestFirst) {
  Sandbox box;
  const std::wstring folder = box.Temp();
  auto old = [&](int n) { return folder + L"Tallowby_debug-" + std::to_wstring(n) + L".log"; };
  for (int n = 1; n <= 5; ++n) WriteFileBytes(old(n), "run " + std::to_string(-n));
  for (int run = 0; run < 6; ++run) {
    WriteFileBytes(folder + kDebugLogName, "run " + std::to_string(run));
    RotateDebugLogs(folder);
    EXPECT_FALSE(FileExists(folder + kDebugLogName));
    for (int n = 1; n <= 5; ++n) EXPECT_EQ(ReadFileBytes(old(n)), "run " + std::to_string(run + 1 - n)) << run;
  }
  EXPECT_FALSE(FileExists(folder + L"Tallowby_debug-6.log"));
  // A missing current log or gaps in the old ones are skipped silently.
  DeleteFileW(old(3).c_str());
  RotateDebugLogs(folder);
  EXPECT_FALSE(FileExists(old(1)));
  EXPECT_EQ(ReadFileBytes(old(2)), "run 5");
  EXPECT_FALSE(FileExists(old(4)));
  EXPECT_EQ(ReadFileBytes(old(5)), "run 2");
}

}  // namespace
