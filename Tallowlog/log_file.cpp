#include "log_file.h"

#include <algorithm>
#include <cwchar>
#include <memory>

namespace tallowlog {

namespace {

// Bytes kept of either end of the shown part of the file.
constexpr size_t kMarkBytes = 64;
// Bytes read at a time in the search for a line's start.
constexpr size_t kBackChunk = 1 << 16;

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

wchar_t ViewChar(unsigned char byte) {
  if (byte == '\t') return L'\t';
  if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte <= 0x9F)) return kControlStandIn;
  return wchar_t(byte);
}

void AppendLine(std::wstring& text, std::string_view line) {
  for (char c : line) text += ViewChar(static_cast<unsigned char>(c));
  text += L"\r\n";
}

// The last `count` bytes of `bytes`.
std::string Last(std::string_view bytes, size_t count) {
  return std::string(bytes.substr(bytes.size() > count ? bytes.size() - count : 0));
}

// From the first line that begins `maxChars` or fewer characters before the
// text's end; the text when it is no longer.
std::wstring NewestLines(const std::wstring& text, size_t maxChars) {
  if (text.size() <= maxChars) return text;
  const size_t from = text.size() - maxChars;
  if (text[from - 1] == L'\n') return text.substr(from);
  const size_t lineEnd = text.find(L'\n', from);
  return lineEnd == std::wstring::npos ? std::wstring() : text.substr(lineEnd + 1);
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

DecodedLines DecodeLogBytes(std::string_view bytes) {
  DecodedLines out;
  out.text.reserve(bytes.size() + bytes.size() / 32);
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t lf = bytes.find('\n', pos);
    if (lf == std::string_view::npos) {
      // Still being written: only pieces that more text cannot change.
      size_t end = bytes.size();
      if (bytes[end - 1] == '\r') --end;  // maybe the start of its line end
      for (; end - pos > kMaxLineChars; pos += kMaxLineChars) AppendLine(out.text, bytes.substr(pos, kMaxLineChars));
      break;
    }
    const size_t end = lf > pos && bytes[lf - 1] == '\r' ? lf - 1 : lf;
    do {
      const size_t n = std::min(kMaxLineChars, end - pos);
      AppendLine(out.text, bytes.substr(pos, n));
      pos += n;
    } while (pos < end);
    pos = lf + 1;
  }
  out.bytesUsed = pos;
  return out;
}

LogFollower::LogFollower(size_t maxChars) : maxChars_(maxChars) {}

std::optional<LogFollower::Update> LogFollower::Refresh(const std::wstring& path, bool viewAtBottom) {
  bytesRead_ = 0;
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  const FileIdentity identity{info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  const uint64_t size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;

  Update update;
  if (haveFile_ && IsNewFile(file.get(), identity, size)) {
    update.clearView = true;
    Forget();
  }
  haveFile_ = true;
  identity_ = identity;
  if (viewAtBottom) {
    bool skipped = false;
    update.append = ReadNewLines(file.get(), size, &skipped);
    if (skipped) update.clearView = true;
  }
  return update;
}

// A log only ever grows while it keeps its name: what was shown stays the
// file's beginning. A file that is shorter, is another file on disk, or does
// not begin or go on as the shown part did is the add-in's next log. (File
// numbers alone do not tell: a file system may give a deleted file's number
// to the next file.)
bool LogFollower::IsNewFile(HANDLE file, const FileIdentity& identity, uint64_t size) {
  if (size < shownEnd_) return true;
  if (identity.index != 0 && identity_.index != 0 && !(identity == identity_)) return true;
  std::string bytes;
  if (!head_.empty() && (!ReadAt(file, 0, head_.size(), &bytes) || bytes != head_)) return true;
  if (!tail_.empty() && (!ReadAt(file, shownEnd_ - tail_.size(), tail_.size(), &bytes) || bytes != tail_))
    return true;
  return false;
}

std::wstring LogFollower::ReadNewLines(HANDLE file, uint64_t size, bool* skipped) {
  if (size <= shownEnd_) return {};
  uint64_t from = shownEnd_;
  // More than the view takes: only the newest part, from a view line's start.
  *skipped = size - from > maxChars_;
  if (*skipped) from = NewestPieceStart(file, size);
  std::string bytes;
  if (!ReadAt(file, from, size_t(size - from), &bytes)) return {};
  size_t begin = 0;
  if (*skipped) {
    // A piece that would begin at the line's end (its CR or LF) is none:
    // the view goes on with the next line.
    const size_t lineEnd = bytes.find('\n');
    if (lineEnd == 0 || (lineEnd == 1 && bytes[0] == '\r')) begin = lineEnd + 1;
  }
  DecodedLines lines = DecodeLogBytes(std::string_view(bytes).substr(begin));
  const size_t used = begin + lines.bytesUsed;
  const std::string_view consumed = std::string_view(bytes).substr(0, used);
  tail_ = Last(*skipped ? std::string(consumed) : tail_ + std::string(consumed), kMarkBytes);
  shownEnd_ = from + used;
  const size_t headBytes = size_t(std::min<uint64_t>(kMarkBytes, shownEnd_));
  if (head_.size() < headBytes && !ReadAt(file, 0, headBytes, &head_)) head_.clear();
  if (lines.text.size() > maxChars_) {
    *skipped = true;
    return NewestLines(lines.text, maxChars_);
  }
  return std::move(lines.text);
}

// Where the newest maxChars_ bytes begin with a view line: the next line's
// start, or, inside a line longer than a view line, the start of its next
// piece, as the line shows when it is read whole.
uint64_t LogFollower::NewestPieceStart(HANDLE file, uint64_t size) {
  const uint64_t window = size - maxChars_;
  const uint64_t line = LineStart(file, window);
  const uint64_t piece =
      std::min(size, line + (window - line + kMaxLineChars - 1) / kMaxLineChars * kMaxLineChars);
  std::string bytes;
  if (piece > window && ReadAt(file, window, size_t(piece - window), &bytes)) {
    const size_t lf = bytes.find('\n');
    if (lf != std::string::npos) return window + lf + 1;  // the line ends first
  }
  return piece;
}

// The offset after the last line break before `offset` (0 when there is
// none); `offset` itself when the file cannot be read back.
uint64_t LogFollower::LineStart(HANDLE file, uint64_t offset) {
  std::string bytes;
  for (uint64_t end = offset; end > 0;) {
    const uint64_t begin = end > kBackChunk ? end - kBackChunk : 0;
    if (!ReadAt(file, begin, size_t(end - begin), &bytes)) return offset;
    const size_t lf = bytes.rfind('\n');
    if (lf != std::string::npos) return begin + lf + 1;
    end = begin;
  }
  return 0;
}

bool LogFollower::ReadAt(HANDLE file, uint64_t offset, size_t count, std::string* bytes) {
  bytes->assign(count, '\0');
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(offset);
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
  size_t done = 0;
  while (done < count) {
    DWORD n = 0;
    const DWORD chunk = DWORD(std::min<size_t>(count - done, 1u << 24));
    if (!ReadFile(file, bytes->data() + done, chunk, &n, nullptr) || n == 0) break;
    done += n;
  }
  bytesRead_ += done;
  bytes->resize(done);
  return done == count;
}

void LogFollower::Forget() {
  shownEnd_ = 0;
  head_.clear();
  tail_.clear();
}

}  // namespace tallowlog
