// The add-in's logs: the debug log (with the user log in the same file) and
// the error log, all in the temporary folder.
//
// The files are 8-bit text: each UTF-16 code unit up to 255 becomes that
// byte, a string stops at its first code unit above 255, and "\n" becomes
// CR LF. Every call opens, appends and closes, so any thread may log.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

inline constexpr wchar_t kDebugLogName[] = L"Tallowby_debug.log";
inline constexpr wchar_t kErrorLogName[] = L"Tallowby_error.log";
inline constexpr int kOldDebugLogs = 5;

// Full paths of the two files. Written only through SetDebugLogPath and
// SetErrorLogPath, which publish them under a lock, so that a thread that
// logs never reads a half-written path. A path that does not fit the buffer
// is never cut: the log then has no file.
extern wchar_t g_szDebugLogPath[MAX_PATH];
extern wchar_t g_szErrorLogPath[MAX_PATH];
void SetDebugLogPath(const wchar_t* path);
void SetErrorLogPath(const wchar_t* path);
std::wstring DebugLogPath();
std::wstring ErrorLogPath();

// The "debug" switch; debug lines are written only while it is set.
extern std::atomic<bool> g_bDebugLog;
// Set until the first debug line of the process has written the banner.
extern std::atomic<bool> g_bDebugBannerPending;
// Cleared for the rest of the process when writing that log fails.
extern std::atomic<bool> g_bUserLogEnabled;
extern std::atomic<bool> g_bErrorLogEnabled;

// Moves "-4" to "-5", ..., "-1" to "-2", the current debug log to "-1" in
// `folder` (ending in a backslash), then deletes the current log's name.
void RotateDebugLogs(const std::wstring& folder);
// True when every log file's full path in `folder` fits a path buffer.
bool LogFilesFitIn(const std::wstring& folder);

void WriteDebugLog(const wchar_t* text, bool endLine);
inline void DebugLog(const wchar_t* text) { WriteDebugLog(text, true); }
// The label and the value on one line, separated by a blank.
void DebugLogString(const wchar_t* label, const wchar_t* value);

// Writes "ERROR: <label>: <name>" (or the hexadecimal form) to the debug log
// and the error log.
void LogError(HRESULT hr, const wchar_t* label);
// True when hr succeeded; otherwise logs the failure under `label`.
bool CheckHr(HRESULT hr, const wchar_t* label);

// The name of a known MAPI error code, or null.
const wchar_t* MapiErrorName(HRESULT hr);
// The error line LogError writes, at most 255 characters; `lastError` is the
// thread's last Win32 error at the time of the failure.
std::wstring FormatErrorLine(HRESULT hr, const wchar_t* label, DWORD lastError);

namespace logfile {

// Appends `text` to the file at `path` in the logs' 8-bit encoding. Returns
// false when the file cannot be opened or the write fails.
class Appender {
 public:
  explicit Appender(const std::wstring& path);
  ~Appender();
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;

  bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  // Adds one string (cut at its first code unit above 255).
  void Put(const wchar_t* text);
  void Put(const std::wstring& text) { Put(text.c_str()); }
  // Writes what was added; false when the write failed or was short.
  bool Flush();

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::string bytes_;
};

// The current local date and time in the user's default format.
std::wstring UserDateTime();

}  // namespace logfile
