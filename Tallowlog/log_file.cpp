#include "log_file.h"

#include <io.h>

#include <cstdio>
#include <cwchar>
#include <memory>

namespace tallowlog {

namespace {

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

constexpr int kReadBuffer = 1024;

void ReadFileFacts(FILE* file, LogSnapshot& snapshot) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return;
  snapshot.identity.volume = info.dwVolumeSerialNumber;
  snapshot.identity.index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  snapshot.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool EndsLine(const std::wstring& piece) { return !piece.empty() && piece.back() == L'\n'; }

// FNV-1a over the first `count` lines, each with its length.
uint64_t HashOfLines(const std::vector<std::wstring>& lines, size_t count) {
  uint64_t hash = 14695981039346656037ull;
  auto mix = [&hash](uint64_t value) {
    hash ^= value;
    hash *= 1099511628211ull;
  };
  for (size_t i = 0; i < count && i < lines.size(); ++i) {
    mix(lines[i].size());
    for (wchar_t ch : lines[i]) mix(uint64_t(ch));
  }
  return hash;
}

}  // namespace

const wchar_t* LogFileName(LogMode mode) {
  return mode == LogMode::Error ? L"Tallowby_error.log" : L"Tallowby_debug.log";
}

const wchar_t* DefaultSaveName(LogMode mode) {
  return mode == LogMode::Error ? L"TallowbyErrorLog.txt" : L"TallowbyDebugLog.txt";
}

bool IsErrorLogCommandLine(const wchar_t* commandLine) {
  return commandLine && wcscmp(commandLine, L"errorlog") == 0;
}

std::optional<LogSnapshot> ReadLogSnapshot(const std::wstring& path) {
  UniqueFile file(_wfopen(path.c_str(), L"r"));
  if (!file) return std::nullopt;
  LogSnapshot snapshot;
  ReadFileFacts(file.get(), snapshot);
  wchar_t buffer[kReadBuffer];
  while (fgetws(buffer, kReadBuffer, file.get())) {
    snapshot.lines.emplace_back(buffer);
    if (feof(file.get())) break;
  }
  // The add-in writes a line in several appends; what has no line feed yet
  // comes complete at a later refresh.
  if (!snapshot.lines.empty() && !EndsLine(snapshot.lines.back())) snapshot.lines.pop_back();
  return snapshot;
}

LogFollower::Update LogFollower::Follow(const LogSnapshot& snapshot, bool viewAtBottom) {
  Update update;
  if (IsNewFile(snapshot)) {
    update.clearView = true;
    m_linesShown = 0;
  }
  if (viewAtBottom) {
    for (size_t i = m_linesShown; i < snapshot.lines.size(); ++i) {
      const std::wstring& line = snapshot.lines[i];
      update.append.append(line, 0, EndsLine(line) ? line.size() - 1 : line.size());
      update.append += L"\r\n";
    }
    m_linesShown = snapshot.lines.size();
  }
  m_haveFile = true;
  m_identity = snapshot.identity;
  m_size = snapshot.size;
  m_shownHash = HashOfLines(snapshot.lines, m_linesShown);
  return update;
}

// A log only ever grows while it keeps its name: the lines shown stay the
// first lines of the file. A file that is shorter, is another file on disk or
// begins with other lines is the add-in's next log, even when it already has
// as many lines as the view shows. (File numbers alone do not tell: a file
// system may give a deleted file's number to the next file.)
bool LogFollower::IsNewFile(const LogSnapshot& snapshot) const {
  if (snapshot.lines.size() < m_linesShown) return true;
  if (!m_haveFile) return false;
  if (snapshot.size < m_size) return true;
  const FileIdentity& now = snapshot.identity;
  if (now.index != 0 && m_identity.index != 0 && !(now == m_identity)) return true;
  return HashOfLines(snapshot.lines, m_linesShown) != m_shownHash;
}

}  // namespace tallowlog
