// The per-folder state files.
#include "state_files.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "folder_object.h"
#include "locks.h"
#include "logs.h"
#include "sync_engine.h"
#include "sync_seams.h"

namespace {

using Table = std::vector<std::pair<std::wstring, std::wstring>>;
using LineFn = std::function<void(std::string_view)>;

constexpr wchar_t kTempSuffix[] = L".tmp";
constexpr DWORD kReadChunk = 64 * 1024;

HANDLE OpenForReading(const std::wstring& path) {
  if (path.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool FileExists(const std::wstring& path) {
  return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HRESULT LastErrorHr() {
  DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// A name beyond MAX_PATH in the form the file functions take it.
std::wstring LongPathForm(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

// Writes `bytes` to "<path>.tmp", flushes it (unless `flush` is false: a
// file whose loss to a crash of the system costs nothing) and only then
// moves it over `path`, so that `path` holds either its old or its complete
// new content. A state path may use all of MAX_PATH - 1 characters: its
// temporary name, which is longer, is then given in the long form.
HRESULT WriteReplacing(const std::wstring& plainPath, const std::string& bytes, bool flush = true) {
  if (plainPath.empty()) return E_INVALIDARG;
  std::wstring temp = plainPath + kTempSuffix, path = plainPath;
  if (temp.size() >= MAX_PATH) {
    temp = LongPathForm(temp);
    path = LongPathForm(path);
  }
  HRESULT hr = S_OK;
  {
    FileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsOpen()) return LastErrorHr();
    size_t done = 0;
    while (done < bytes.size() && SUCCEEDED(hr)) {
      DWORD written = 0;
      const DWORD want = DWORD(std::min<size_t>(bytes.size() - done, 1u << 20));
      if (!WriteFile(file.Get(), bytes.data() + done, want, &written, nullptr))
        hr = LastErrorHr();
      else if (written == 0)
        hr = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
      done += written;
    }
    if (SUCCEEDED(hr) && flush && !FlushFileBuffers(file.Get())) hr = LastErrorHr();
  }
  if (SUCCEEDED(hr) && !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    hr = LastErrorHr();
  if (FAILED(hr)) DeleteFileW(temp.c_str());
  return hr;
}

// Calls `onLine` for every line of the file (line end LF or CR LF, not
// passed on) that is at most `maxLen` characters long; longer lines are
// skipped whole and counted in *skipped. False when the file does not open.
bool ForEachLine(const std::wstring& path, size_t maxLen, const LineFn& onLine, int* skipped) {
  FileHandle file(OpenForReading(path));
  if (!file.IsOpen()) return false;
  std::string line;
  bool tooLong = false;
  auto finishLine = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (tooLong || line.size() > maxLen)
      ++*skipped;
    else
      onLine(line);
    line.clear();
    tooLong = false;
  };
  std::vector<char> chunk(kReadChunk);
  DWORD got = 0;
  while (ReadFile(file.Get(), chunk.data(), kReadChunk, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      const char c = chunk[i];
      if (c == '\n') {
        finishLine();
      } else if (line.size() <= maxLen) {  // room for the line and a CR
        line.push_back(c);
      } else {
        tooLong = true;
      }
    }
  }
  if (!line.empty() || tooLong) finishLine();
  return true;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// Binary values travel as hexadecimal text of two digits per byte.
bool IsHexText(std::string_view text, bool allowEmpty) {
  if (text.empty()) return allowEmpty;
  if (text.size() % 2 != 0) return false;
  for (char c : text)
    if (!IsHexDigit(c)) return false;
  return true;
}

std::wstring Widen(std::string_view text) { return std::wstring(text.begin(), text.end()); }

// The 8-bit form of a key: code units above 255 cannot stand in the file.
void AppendNarrow(std::string* out, const std::wstring& text) {
  const size_t at = out->size();
  out->resize(at + text.size());
  char* to = out->data() + at;
  for (wchar_t c : text) *to++ = c <= 0xFF ? char(c) : '?';
}

// The decimal number at the start of `text` (blanks, a sign, digits), as
// the C runtime's atoi reads it but without overflow; 0 when there is none.
int LeadingInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
  return int(value);
}

void NoteSkippedLines(int skipped, const std::wstring& path) {
  if (skipped > 0) DebugLogString(L"State file lines skipped (not of their format):", path.c_str());
}

// ---- the Exchange state ----

enum class StateRead { kLoaded, kMissing, kShort };

// True when every surrogate of `text` stands in a pair.
bool IsUtf16(const std::wstring& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

// Reads a state file: raw UTF-16LE code units, an odd last byte ignored,
// the text ending at the first NUL.
StateRead ReadStateFile(const std::wstring& path, std::wstring* text) {
  FileHandle file(OpenForReading(path));
  if (!file.IsOpen()) return StateRead::kMissing;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size)) return StateRead::kMissing;
  if (static_cast<unsigned long long>(size.QuadPart) > kSyncDataMaxBytes) {
    LogError(E_OUTOFMEMORY, L"memory error..");
    return StateRead::kShort;
  }
  const DWORD units = DWORD(size.QuadPart / 2);
  std::wstring buffer;
  try {
    buffer.resize(units);
  } catch (const std::bad_alloc&) {
    LogError(0, L"memory error..");
    return StateRead::kShort;
  }
  DWORD got = 0;
  DWORD wanted = units * sizeof(wchar_t);
  BYTE* at = reinterpret_cast<BYTE*>(buffer.data());
  while (got < wanted) {
    DWORD n = 0;
    if (!ReadFile(file.Get(), at + got, wanted - got, &n, nullptr) || n == 0) break;
    got += n;
  }
  if (got < wanted) {
    LogError(HRESULT(units - got / sizeof(wchar_t)), L"memory error...");
    return StateRead::kShort;
  }
  const size_t nul = buffer.find(L'\0');
  if (nul != std::wstring::npos) buffer.resize(nul);
  if (!IsUtf16(buffer)) {
    // Not a state any synchronizer wrote: damaged, as a short file is.
    LogError(E_FAIL, L"LoadSynccData: the state file is not UTF-16");
    return StateRead::kShort;
  }
  *text = std::move(buffer);
  return StateRead::kLoaded;
}

// Appends the entries of a cache file to `table` under CacheTablesLock.
void LoadCacheFile(CMAPIFolderObject* folder, const wchar_t* suffix, KeyTable* table, const wchar_t* endLine) {
  const std::wstring path = StateFilePath(folder, suffix);
  if (!FileExists(path)) return;
  DebugLog(L"Load Cache Table");
  Table entries;
  int skipped = 0;
  const bool opened = ForEachLine(
      path, kCacheLineMax,
      [&](std::string_view line) {
        const size_t semi = line.find(';');
        if (semi == std::string_view::npos) {
          ++skipped;
          return;
        }
        const std::string_view key = line.substr(0, semi), value = line.substr(semi + 1);
        if (!IsHexText(key, false) || !IsHexText(value, true)) {
          ++skipped;
          return;
        }
        entries.emplace_back(Widen(key), Widen(value));
      },
      &skipped);
  if (!opened) return;
  NoteSkippedLines(skipped, path);
  {
    CsLock lock(folder->CacheTablesLock.Get());
    for (auto& entry : entries) table->PushBack(std::move(entry.first), std::move(entry.second));
  }
  DebugLog(endLine);
}

void AppendEntryLine(std::string* bytes, const KeyTable::Entry& entry) {
  AppendNarrow(bytes, entry.first);
  bytes->push_back(';');
  AppendNarrow(bytes, entry.second);
  *bytes += "\r\n";
}

// Adds `bytes` to the end of the table's file, as `mark` says its saver
// left it, through the handle the mark keeps open for the run's appends.
// Why an append is safe where the other writers go through ".tmp": each
// entry is a line of its own, and a reader takes only lines of hexadecimal
// key, ";" and hexadecimal value, so what an append cut short can leave (a
// last line without its end, a key with part of its value, bytes never
// written that read as zeros) is either skipped or an entry whose value is
// no change key: either way the entry counts as not handled, and its change
// is handed on again, as it would be had the save not been made. The lines
// before the append are not touched. A write that fails is taken back off
// the file where it can be.
HRESULT AppendToTableFile(const std::wstring& path, TableFileMark* mark, const std::string& bytes) {
  if (!mark->file.IsOpen()) {
    // Opened once per run, and only as the saver left it: while the handle
    // is open nobody else can write the file.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsOpen()) return LastErrorHr();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size)) return LastErrorHr();
    if (static_cast<unsigned long long>(size.QuadPart) != mark->bytes) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    if (!SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN)) return LastErrorHr();
    mark->file.Reset(file.Release());
  }
  // The handle's position is the end of what the saver wrote.
  DWORD written = 0;
  HRESULT hr = S_OK;
  if (!WriteFile(mark->file.Get(), bytes.data(), DWORD(bytes.size()), &written, nullptr))
    hr = LastErrorHr();
  else if (written != bytes.size())
    hr = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
  if (SUCCEEDED(hr)) return S_OK;
  LARGE_INTEGER end{};
  end.QuadPart = LONGLONG(mark->bytes);
  if (SetFilePointerEx(mark->file.Get(), end, nullptr, FILE_BEGIN)) SetEndOfFile(mark->file.Get());
  return hr;
}

// Writes `table` to its file. With a `mark` of the file, only the entries
// appended to the table since the mark are added to its end, where that
// gives the same file; else, and when that fails, the whole file is written
// again.
HRESULT SaveTable(CMAPIFolderObject* folder, const wchar_t* suffix, const KeyTable& table, const wchar_t* label,
                  TableFileMark* mark = nullptr) {
  if (!folder || !folder->Engine()) return E_FAIL;
  const std::wstring path = StateFilePath(folder, suffix);
  if (path.empty()) return E_FAIL;
  DebugLog(label);
  std::string bytes;
  KeyTable::Mark now;
  if (mark && mark->valid) {
    bool appendsOnly = false;
    {
      CsLock lock(folder->CacheTablesLock.Get());
      now = table.EndMark();
      appendsOnly = table.ForEachAppendedSince(mark->table,
                                               [&](const KeyTable::Entry& entry) { AppendEntryLine(&bytes, entry); });
    }
    if (appendsOnly && (bytes.empty() || SUCCEEDED(AppendToTableFile(path, mark, bytes)))) {
      mark->table = now;
      mark->bytes += bytes.size();
      return S_OK;
    }
    bytes.clear();
  }
  if (mark) {
    // The file is replaced: no handle may keep it open.
    mark->valid = false;
    mark->file.Reset();
  }
  {
    CsLock lock(folder->CacheTablesLock.Get());
    now = table.EndMark();
    size_t room = 0;
    for (const auto& [key, value] : table) room += key.size() + value.size() + 3;
    bytes.reserve(room);
    for (const auto& entry : table) AppendEntryLine(&bytes, entry);
  }
  // The file of a growing table is not flushed either (see AppendToTableFile):
  // what a crash of the system takes of it only repeats changes.
  HRESULT hr = WriteReplacing(path, bytes, !mark);
  if (FAILED(hr)) {
    LogError(hr, label);
    return E_FAIL;
  }
  if (mark) {
    mark->table = now;
    mark->bytes = bytes.size();
    mark->valid = true;
  }
  return S_OK;
}

}  // namespace

std::wstring StateFilePath(const CMAPIFolderObject* folder, const wchar_t* suffix) {
  if (!folder || !folder->Engine() || !folder->Events) return {};
  std::wstring path = folder->Engine()->DataDir;
  path += folder->StateName();
  path += suffix;
  if (path.size() >= MAX_PATH) {
    LogError(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), L"State file path too long");
    return {};
  }
  return path;
}

HRESULT LoadSynccData(CMAPIFolderObject* folder, IRdoSession* session, IRdoUtils* utils, com::Bstr* state,
                      bool backupMode) {
  if (!folder || !folder->Engine() || !state) return E_FAIL;
  DebugLog(L"LoadSynccData from HD=>start");
  std::wstring text;
  StateRead read = ReadStateFile(StateFilePath(folder, backupMode ? kSyncDataBackupSuffix : kSyncDataSuffix), &text);
  if (read != StateRead::kLoaded && backupMode) {
    LogError(0, L"NO BACKUP FOUND, RESET FOLDER");
  } else if (read != StateRead::kLoaded) {
    // A save that did not complete leaves the state before it in the backup:
    // going on from there repeats some changes, starting afresh would skip
    // every change made since.
    read = ReadStateFile(StateFilePath(folder, kSyncDataBackupSuffix), &text);
    if (read == StateRead::kLoaded) LogError(0, L"LoadSynccData: state file unreadable, backup loaded");
  }
  if (read == StateRead::kLoaded) {
    *state = com::Bstr(std::wstring_view(text));
    LoadCacheFile(folder, kCacheTableSuffix, &folder->CacheTable, L"Load Cache Table::EOF?");
    LoadCacheFile(folder, kCache2TableSuffix, &folder->Cache2Table, L"Load SyncState2 Table::EOF?");
    LoadWaitingWrites(folder);
    return S_OK;
  }
  folder->SyncStateReset = true;
  LogError(0, L"RESET...");
  *state = com::Bstr(L"");
  RCI(folder, session, utils);
  return S_OK;
}

HRESULT SaveSyncData(CMAPIFolderObject* folder, const wchar_t* state) {
  if (!folder || !folder->Engine()) return E_FAIL;
  DebugLog(L"SaveSyncData to HD");
  const std::wstring path = StateFilePath(folder, kSyncDataSuffix);
  if (path.empty()) return E_FAIL;
  const std::wstring text = state ? state : L"";
  std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  // The state before this save stays beside it; the state file itself is
  // replaced only by a complete new one.
  const std::wstring backup = StateFilePath(folder, kSyncDataBackupSuffix);
  if (FileExists(path) && !backup.empty()) CopyFileW(path.c_str(), backup.c_str(), FALSE);
  HRESULT hr = WriteReplacing(path, bytes);
  if (FAILED(hr)) {
    LogError(hr, L"memory error...");
    return E_FAIL;
  }
  return SaveCacheTable(folder);
}

HRESULT SaveSyncData(CMAPIFolderObject* folder) {
  if (!folder) return E_FAIL;
  const com::Bstr state = folder->SyncData;
  return SaveSyncData(folder, state.c_str());
}

HRESULT SaveCacheTable(CMAPIFolderObject* folder) {
  if (!folder) return E_FAIL;
  return SaveTable(folder, kCacheTableSuffix, folder->CacheTable, L"Saving Exchange Cache Table");
}

HRESULT SaveCache2Table(CMAPIFolderObject* folder) {
  if (!folder) return E_FAIL;
  return SaveTable(folder, kCache2TableSuffix, folder->Cache2Table, L"Saving Exchange Cache2 Table",
                   &folder->Cache2File);
}

void EndTableFileAppends(TableFileMark* mark) {
  if (mark) mark->file.Reset();
}

void ResetSyncData(CMAPIFolderObject* folder) {
  if (!folder) return;
  DebugLog(L"reset syncdata");
  folder->SyncData = com::Bstr(L"");
  {
    CsLock lock(folder->CacheTablesLock.Get());
    folder->Cache2Table.clear();
    folder->CacheTable.clear();
  }
  SaveSyncData(folder);
  // The handled changes of an older interrupted run would make the run from
  // nothing skip them, should it be cut short before it saves its own.
  SaveCache2Table(folder);
}

HRESULT SaveKeyMaps(CMAPIFolderObject* folder) {
  if (!folder || !folder->Engine()) return E_FAIL;
  const std::wstring path = StateFilePath(folder, kKeyMapSuffix);
  if (path.empty()) return E_FAIL;
  std::string bytes;
  if (!folder->SettingsPrint.empty()) {
    bytes += "0;";
    AppendNarrow(&bytes, folder->SettingsPrint);
    bytes += "\r\n";
  }
  {
    CsLock lock(folder->CacheTablesLock.Get());
    const KeyTable* maps[] = {&folder->FolderCache[0], &folder->FolderCache[1], &folder->OutOfScope};
    // Room for every line at once: the maps hold an entry per item.
    size_t room = bytes.size();
    for (const KeyTable* entries : maps)
      for (const auto& [key, source] : *entries) room += key.size() + source.size() + 5;
    bytes.reserve(room);
    for (int map = 0; map < 3; ++map) {
      for (const auto& [key, source] : *maps[map]) {
        bytes += char('1' + map);
        bytes.push_back(';');
        AppendNarrow(&bytes, key);
        bytes.push_back(';');
        AppendNarrow(&bytes, source);
        bytes += "\r\n";
      }
    }
  }
  HRESULT hr = WriteReplacing(path, bytes);
  if (FAILED(hr)) {
    LogError(hr, L"SaveKeyMaps");
    return E_FAIL;
  }
  return S_OK;
}

HRESULT LoadKeyMaps(CMAPIFolderObject* folder) {
  if (!folder || !folder->Engine()) return E_FAIL;
  const std::wstring path = StateFilePath(folder, kKeyMapSuffix);
  if (!FileExists(path)) return S_OK;
  Table saved[3];
  int skipped = 0;
  ForEachLine(
      path, kCacheLineMax,
      [&](std::string_view line) {
        const size_t first = line.find(';');
        if (line.substr(0, first) == "0" && first != std::string_view::npos && IsHexText(line.substr(first + 1), false)) {
          folder->SettingsPrint = Widen(line.substr(first + 1));
          return;
        }
        const size_t second = first == std::string_view::npos ? first : line.find(';', first + 1);
        const std::string_view map = line.substr(0, first);
        if (second == std::string_view::npos || map.size() != 1 || map[0] < '1' || map[0] > '3') {
          ++skipped;
          return;
        }
        const std::string_view key = line.substr(first + 1, second - first - 1), source = line.substr(second + 1);
        if (!IsHexText(key, false) || !IsHexText(source, false)) {
          ++skipped;
          return;
        }
        saved[map[0] - '1'].emplace_back(Widen(key), Widen(source));
      },
      &skipped);
  NoteSkippedLines(skipped, path);
  CsLock lock(folder->CacheTablesLock.Get());
  KeyTable* maps[] = {&folder->FolderCache[0], &folder->FolderCache[1], &folder->OutOfScope};
  for (int map = 0; map < 3; ++map) {
    auto& entries = *maps[map];
    std::unordered_set<std::wstring> known;
    for (const auto& entry : entries) known.insert(entry.second);
    for (auto& entry : saved[map])
      if (known.insert(entry.second).second) entries.PushBack(std::move(entry.first), std::move(entry.second));
  }
  return S_OK;
}

HRESULT SaveWaitingWrites(CMAPIFolderObject* folder) {
  if (!folder || !folder->Engine()) return E_FAIL;
  const std::wstring path = StateFilePath(folder, kWaitingWritesSuffix);
  if (path.empty()) return E_FAIL;
  CsLock lock(folder->CachedItemsLock.Get());
  std::string bytes;
  for (const WaitingWrite& write : folder->CachedItemsList) {
    AppendNarrow(&bytes, write.syncId);
    bytes.push_back(';');
    AppendNarrow(&bytes, write.print);
    bytes += "\r\n";
  }
  HRESULT hr = WriteReplacing(path, bytes);
  if (FAILED(hr)) {
    LogError(hr, L"SaveWaitingWrites");
    return E_FAIL;
  }
  folder->CachedItemsDirty = false;
  return S_OK;
}

HRESULT LoadWaitingWrites(CMAPIFolderObject* folder) {
  if (!folder || !folder->Engine()) return E_FAIL;
  const std::wstring path = StateFilePath(folder, kWaitingWritesSuffix);
  if (!FileExists(path)) return S_OK;
  std::vector<WaitingWrite> saved;
  int skipped = 0;
  ForEachLine(
      path, kCacheLineMax,
      [&](std::string_view line) {
        const size_t semi = line.find(';');
        if (semi == std::string_view::npos || !IsHexText(line.substr(0, semi), false) ||
            !IsHexText(line.substr(semi + 1), true)) {
          ++skipped;
          return;
        }
        saved.push_back({Widen(line.substr(0, semi)), Widen(line.substr(semi + 1))});
      },
      &skipped);
  NoteSkippedLines(skipped, path);
  CsLock lock(folder->CachedItemsLock.Get());
  auto& list = folder->CachedItemsList;
  for (WaitingWrite& write : saved)
    if (std::none_of(list.begin(), list.end(), [&](const WaitingWrite& w) { return w.syncId == write.syncId; }))
      list.push_back(std::move(write));
  return S_OK;
}

HRESULT LoadiCloudDeleteList(CMAPIFolderObject* folder) {
  if (!folder || !folder->Events) return E_FAIL;
  const std::wstring path = StateFilePath(folder, kICloudDeleteListSuffix);
  std::vector<std::wstring> keys;
  int skipped = 0;
  const bool opened = FileExists(path) && ForEachLine(
                                               path, kICloudLineMax,
                                               [&](std::string_view line) {
                                                 if (IsHexText(line, false))
                                                   keys.push_back(Widen(line));
                                                 else
                                                   ++skipped;
                                               },
                                               &skipped);
  if (opened) DebugLog(L"Load iCloud DeleteList");
  {
    CsLock lock(g_csDeleteList);
    SyncIdList& list = folder->Events->DeleteList();
    list.clear();
    for (const std::wstring& key : keys) list.AddOnce(key);
  }
  if (opened) {
    NoteSkippedLines(skipped, path);
    DebugLog(L"Load iCloud DeleteList::EOF?");
  }
  return S_OK;
}

HRESULT SaveiCloudDeleteList(CMAPIFolderObject* folder) {
  if (!folder || !folder->Events) return E_FAIL;
  const std::wstring path = StateFilePath(folder, kICloudDeleteListSuffix);
  if (path.empty()) return E_FAIL;
  std::string bytes;
  for (const std::wstring& key : folder->Events->FolderCacheSnapshot()) {
    AppendNarrow(&bytes, key);
    bytes += "\r\n";
  }
  HRESULT hr = WriteReplacing(path, bytes);
  if (FAILED(hr)) {
    LogError(hr, L"SaveiCloudDeleteList");
    return E_FAIL;
  }
  return S_OK;
}

HRESULT LoadiCloudTable(CMAPIFolderObject* folder) {
  if (!folder || !folder->Events) return E_FAIL;
  if (!folder->Events->iCloudMode) return S_OK;
  folder->iCloudTable.clear();
  if (!folder->Engine()) return E_FAIL;
  const std::wstring path = StateFilePath(folder, kICloudTableSuffix);
  if (!FileExists(path)) return S_OK;
  DebugLog(L"Load iCloud Table");
  int skipped = 0;
  ForEachLine(
      path, kICloudLineMax,
      [&](std::string_view line) {
        const size_t semi = line.find(';');
        if (semi == std::string_view::npos || !IsHexText(line.substr(0, semi), false)) {
          ++skipped;
          return;
        }
        folder->iCloudTable.emplace_back(Widen(line.substr(0, semi)), LeadingInt(line.substr(semi + 1)));
      },
      &skipped);
  NoteSkippedLines(skipped, path);
  DebugLog(L"Load iCloud Table::EOF?");
  return S_OK;
}

HRESULT SaveiCloudTable(CMAPIFolderObject* folder) {
  if (!folder || !folder->Engine()) return E_FAIL;
  const std::wstring path = StateFilePath(folder, kICloudTableSuffix);
  if (path.empty()) return E_FAIL;
  DebugLog(L"Saving iCloud EID-Version Table");
  std::string bytes;
  for (const auto& [entryId, version] : folder->iCloudTable) {
    AppendNarrow(&bytes, entryId);
    char number[16];
    snprintf(number, sizeof number, ";%d\r\n", version);
    bytes += number;
  }
  HRESULT hr = WriteReplacing(path, bytes);
  if (FAILED(hr)) {
    LogError(hr, L"Saving iCloud EID-Version Table");
    return E_FAIL;
  }
  return S_OK;
}
