#include "logs.h"

#include <mapicode.h>
#include <oleauto.h>

#include <cwchar>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <shared_mutex>

#include "bstr.h"
#include "clock.h"
#include "date_time.h"

#ifndef MAPI_E_STORE_FULL
#define MAPI_E_STORE_FULL MAKE_MAPI_E(0x60C)
#endif

wchar_t g_szDebugLogPath[MAX_PATH] = L"";
wchar_t g_szErrorLogPath[MAX_PATH] = L"";
std::atomic<bool> g_bDebugLog{false};
std::atomic<bool> g_bDebugBannerPending{true};
std::atomic<bool> g_bUserLogEnabled{true};
std::atomic<bool> g_bErrorLogEnabled{true};

namespace {

std::shared_mutex g_pathLock;  // leaf lock over the two path buffers
// Whether the previous debug write ended its line (true before the first).
std::atomic<bool> g_debugLineEnded{true};

void PublishPath(wchar_t (&target)[MAX_PATH], const wchar_t* path) {
  std::unique_lock lock(g_pathLock);
  if (path == target) return;  // the engine hands back the same buffer
  const size_t length = path ? wcslen(path) : 0;
  if (length >= MAX_PATH) {
    target[0] = L'\0';
    return;
  }
  wmemcpy(target, path ? path : L"", length + 1);
}

std::wstring ReadPath(const wchar_t (&source)[MAX_PATH]) {
  std::shared_lock lock(g_pathLock);
  return source;
}

std::wstring TimeOfDay(const SYSTEMTIME& st) {
  wchar_t text[16];
  swprintf(text, std::size(text), L"%02u:%02u:%02u", st.wHour, st.wMinute, st.wSecond);
  return text;
}

std::wstring DebugPrefix(const SYSTEMTIME& st) {
  wchar_t id[16];
  swprintf(id, std::size(id), L"|%d|-> ", static_cast<int>(GetCurrentThreadId()));
  return TimeOfDay(st) + id;
}

struct ErrorName {
  HRESULT hr;
  const wchar_t* name;
};

#define TALLOWBY_ERROR_NAME(code) {code, L## #code}
// In the order in which they are tested: the first alias of a value wins.
const ErrorName kErrorNames[] = {
    TALLOWBY_ERROR_NAME(MAPI_E_INTERFACE_NOT_SUPPORTED), TALLOWBY_ERROR_NAME(MAPI_E_CALL_FAILED),
    TALLOWBY_ERROR_NAME(MAPI_E_NO_SUPPORT), TALLOWBY_ERROR_NAME(MAPI_E_BAD_CHARWIDTH),
    TALLOWBY_ERROR_NAME(MAPI_E_STRING_TOO_LONG), TALLOWBY_ERROR_NAME(MAPI_E_UNKNOWN_FLAGS),
    TALLOWBY_ERROR_NAME(MAPI_E_INVALID_ENTRYID), TALLOWBY_ERROR_NAME(MAPI_E_INVALID_OBJECT),
    TALLOWBY_ERROR_NAME(MAPI_E_OBJECT_CHANGED), TALLOWBY_ERROR_NAME(MAPI_E_OBJECT_DELETED),
    TALLOWBY_ERROR_NAME(MAPI_E_BUSY), TALLOWBY_ERROR_NAME(MAPI_E_NOT_ENOUGH_DISK),
    TALLOWBY_ERROR_NAME(MAPI_E_NOT_ENOUGH_RESOURCES), TALLOWBY_ERROR_NAME(MAPI_E_NOT_FOUND),
    TALLOWBY_ERROR_NAME(MAPI_E_VERSION), TALLOWBY_ERROR_NAME(MAPI_E_LOGON_FAILED),
    TALLOWBY_ERROR_NAME(MAPI_E_SESSION_LIMIT), TALLOWBY_ERROR_NAME(MAPI_E_USER_CANCEL),
    TALLOWBY_ERROR_NAME(MAPI_E_UNABLE_TO_ABORT), TALLOWBY_ERROR_NAME(MAPI_E_NETWORK_ERROR),
    TALLOWBY_ERROR_NAME(MAPI_E_DISK_ERROR), TALLOWBY_ERROR_NAME(MAPI_E_TOO_COMPLEX),
    TALLOWBY_ERROR_NAME(MAPI_E_BAD_COLUMN), TALLOWBY_ERROR_NAME(MAPI_E_EXTENDED_ERROR),
    TALLOWBY_ERROR_NAME(MAPI_E_COMPUTED), TALLOWBY_ERROR_NAME(MAPI_E_CORRUPT_DATA),
    TALLOWBY_ERROR_NAME(MAPI_E_UNCONFIGURED), TALLOWBY_ERROR_NAME(MAPI_E_FAILONEPROVIDER),
    TALLOWBY_ERROR_NAME(MAPI_E_UNKNOWN_CPID), TALLOWBY_ERROR_NAME(MAPI_E_UNKNOWN_LCID),
    TALLOWBY_ERROR_NAME(MAPI_E_PASSWORD_CHANGE_REQUIRED), TALLOWBY_ERROR_NAME(MAPI_E_PASSWORD_EXPIRED),
    TALLOWBY_ERROR_NAME(MAPI_E_INVALID_WORKSTATION_ACCOUNT), TALLOWBY_ERROR_NAME(MAPI_E_INVALID_ACCESS_TIME),
    TALLOWBY_ERROR_NAME(MAPI_E_ACCOUNT_DISABLED), TALLOWBY_ERROR_NAME(MAPI_E_END_OF_SESSION),
    TALLOWBY_ERROR_NAME(MAPI_E_UNKNOWN_ENTRYID), TALLOWBY_ERROR_NAME(MAPI_E_MISSING_REQUIRED_COLUMN),
    TALLOWBY_ERROR_NAME(MAPI_E_BAD_VALUE), TALLOWBY_ERROR_NAME(MAPI_E_INVALID_TYPE),
    TALLOWBY_ERROR_NAME(MAPI_E_TYPE_NO_SUPPORT), TALLOWBY_ERROR_NAME(MAPI_E_UNEXPECTED_TYPE),
    TALLOWBY_ERROR_NAME(MAPI_E_TOO_BIG), TALLOWBY_ERROR_NAME(MAPI_E_DECLINE_COPY),
    TALLOWBY_ERROR_NAME(MAPI_E_UNEXPECTED_ID), TALLOWBY_ERROR_NAME(MAPI_E_UNABLE_TO_COMPLETE),
    TALLOWBY_ERROR_NAME(MAPI_E_TIMEOUT), TALLOWBY_ERROR_NAME(MAPI_E_TABLE_EMPTY),
    TALLOWBY_ERROR_NAME(MAPI_E_TABLE_TOO_BIG), TALLOWBY_ERROR_NAME(MAPI_E_INVALID_BOOKMARK),
    TALLOWBY_ERROR_NAME(MAPI_E_WAIT), TALLOWBY_ERROR_NAME(MAPI_E_CANCEL),
    TALLOWBY_ERROR_NAME(MAPI_E_NOT_ME), TALLOWBY_ERROR_NAME(MAPI_E_CORRUPT_STORE),
    TALLOWBY_ERROR_NAME(MAPI_E_NOT_IN_QUEUE), TALLOWBY_ERROR_NAME(MAPI_E_NO_SUPPRESS),
    TALLOWBY_ERROR_NAME(MAPI_E_COLLISION), TALLOWBY_ERROR_NAME(MAPI_E_NOT_INITIALIZED),
    TALLOWBY_ERROR_NAME(MAPI_E_NON_STANDARD), TALLOWBY_ERROR_NAME(MAPI_E_NO_RECIPIENTS),
    TALLOWBY_ERROR_NAME(MAPI_E_SUBMITTED), TALLOWBY_ERROR_NAME(MAPI_E_HAS_FOLDERS),
    TALLOWBY_ERROR_NAME(MAPI_E_HAS_MESSAGES), TALLOWBY_ERROR_NAME(MAPI_E_FOLDER_CYCLE),
    TALLOWBY_ERROR_NAME(MAPI_E_STORE_FULL), TALLOWBY_ERROR_NAME(MAPI_E_AMBIGUOUS_RECIP),
    TALLOWBY_ERROR_NAME(MAPI_E_NO_ACCESS), TALLOWBY_ERROR_NAME(MAPI_E_NOT_ENOUGH_MEMORY),
    TALLOWBY_ERROR_NAME(MAPI_E_INVALID_PARAMETER),
};
#undef TALLOWBY_ERROR_NAME
static_assert(std::size(kErrorNames) == 69);

constexpr size_t kMaxErrorLine = 255;

}  // namespace

void SetDebugLogPath(const wchar_t* path) { PublishPath(g_szDebugLogPath, path); }
void SetErrorLogPath(const wchar_t* path) { PublishPath(g_szErrorLogPath, path); }
std::wstring DebugLogPath() { return ReadPath(g_szDebugLogPath); }
std::wstring ErrorLogPath() { return ReadPath(g_szErrorLogPath); }

namespace logfile {

Appender::Appender(const std::wstring& path) {
  if (path.empty()) return;
  file_ = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

Appender::~Appender() {
  if (IsOpen()) {
    Flush();
    CloseHandle(file_);
  }
}

void Appender::Put(const wchar_t* text) {
  if (!text) return;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p > 0xFF) break;  // the rest of this string is lost
    if (*p == L'\n') bytes_ += '\r';
    bytes_ += static_cast<char>(static_cast<unsigned char>(*p));
  }
}

bool Appender::Flush() {
  if (!IsOpen()) return false;
  if (bytes_.empty()) return true;
  DWORD written = 0;
  bool ok = WriteFile(file_, bytes_.data(), static_cast<DWORD>(bytes_.size()), &written, nullptr) &&
            written == bytes_.size();
  bytes_.clear();
  return ok;
}

std::wstring UserDateTime() { return com::DateTime::Now().UserFormat(); }

}  // namespace logfile

namespace {

// The debug log's name, or (n >= 1) that of its n-th older copy.
std::wstring DebugLogName(int n) {
  return n == 0 ? kDebugLogName : L"Tallowby_debug-" + std::to_wstring(n) + L".log";
}

}  // namespace

bool LogFilesFitIn(const std::wstring& folder) {
  // The longest names are the rotated copies'.
  return folder.size() + DebugLogName(kOldDebugLogs).size() < MAX_PATH;
}

void RotateDebugLogs(const std::wstring& folder) {
  auto name = [&](int n) { return folder + DebugLogName(n); };
  for (int n = kOldDebugLogs - 1; n >= 0; --n)
    MoveFileExW(name(n).c_str(), name(n + 1).c_str(), MOVEFILE_REPLACE_EXISTING);  // missing source: skipped
  DeleteFileW(name(0).c_str());
}

namespace {

// Appends the pieces as one debug write: one open and one write of the file,
// so that another thread's line can never come between them.
void WriteDebugPieces(std::initializer_list<const wchar_t*> pieces, bool endLine) {
  {
    logfile::Appender file(DebugLogPath());
    if (file.IsOpen()) {
      SYSTEMTIME now = clk::NowLocalSystemTime();
      if (g_bDebugBannerPending.exchange(false)) {
        double date = 0;
        SystemTimeToVariantTime(&now, &date);
        file.Put(L" ------------------------------- ");
        file.Put(com::DateTime(date).UserFormat());
        file.Put(L" ------------------------------- \n\n");
      }
      if (g_debugLineEnded) file.Put(DebugPrefix(now));
      for (const wchar_t* piece : pieces) file.Put(piece);
      file.Put(endLine ? L"\n" : L" ");
    }
  }
  g_debugLineEnded = endLine;
}

}  // namespace

void WriteDebugLog(const wchar_t* text, bool endLine) {
  if (!g_bDebugLog || !text) return;
  WriteDebugPieces({text}, endLine);
}

void DebugLogString(const wchar_t* label, const wchar_t* value) {
  if (!label || !value) {
    WriteDebugLog(label, false);
    DebugLog(value);
    return;
  }
  // The label, a blank and the value, as the two writes would give them.
  if (g_bDebugLog) WriteDebugPieces({label, L" ", value}, true);
}

const wchar_t* MapiErrorName(HRESULT hr) {
  for (const ErrorName& e : kErrorNames)
    if (e.hr == hr) return e.name;
  return nullptr;
}

std::wstring FormatErrorLine(HRESULT hr, const wchar_t* label, DWORD lastError) {
  std::wstring line = L"ERROR: ";
  line += label ? label : L"";
  line += L": ";
  if (const wchar_t* name = MapiErrorName(hr)) {
    line += name;
  } else {
    wchar_t tail[64];
    swprintf(tail, std::size(tail), L"0x%x GetLastError: %d", static_cast<unsigned>(hr),
             static_cast<int>(lastError));
    line += tail;
  }
  if (line.size() > kMaxErrorLine) line.resize(kMaxErrorLine);
  return line;
}

void LogError(HRESULT hr, const wchar_t* label) {
  const DWORD lastError = GetLastError();
  const std::wstring line = FormatErrorLine(hr, label, lastError);
  DebugLog(line.c_str());
  if (!g_bErrorLogEnabled) return;
  logfile::Appender file(ErrorLogPath());
  if (!file.IsOpen()) return;
  file.Put(line);
  file.Put(L"\n");
  if (!file.Flush()) g_bErrorLogEnabled = false;
}

bool CheckHr(HRESULT hr, const wchar_t* label) {
  if (hr >= 0) return true;
  LogError(hr, label);
  return false;
}
