// Reading the add-in's log file and deciding what the view must show.
//
// The add-in appends to its logs (opening and closing the file for every
// write), rotates the debug log and deletes the error log at each start. The
// viewer reads on each refresh only what was appended since the last one,
// and notices when the file under the log's name is another one.
#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowlog {

enum class LogMode { Debug, Error };

// The log file's name in the temporary folder.
const wchar_t* LogFileName(LogMode mode);
// The name the save dialog proposes.
const wchar_t* DefaultSaveName(LogMode mode);

// Only the exact command line "errorlog" selects the error log.
bool IsErrorLogCommandLine(const wchar_t* commandLine);

// The longest line of the view; a longer line of the log shows as several.
inline constexpr size_t kMaxLineChars = 1023;
// What the view shows for a control byte of the log.
inline constexpr wchar_t kControlStandIn = L'?';

// The view's text for log bytes: the add-in writes 8-bit text, one
// character per byte, with CR LF line ends. Lines end at LF (a CR before it
// is dropped) and come out with CR LF; a line longer than kMaxLineChars comes
// as pieces of that length, each a line of its own. Control bytes (a lone
// CR, NUL, Ctrl-Z and the others below 0x20 but TAB, DEL and 0x80 to 0x9F)
// show as kControlStandIn. The bytes of a last line without its LF are
// left for later, as the add-in may still be writing it, except for the
// pieces of it that are already known to be whole.
struct DecodedLines {
  std::wstring text;
  size_t bytesUsed = 0;
};
DecodedLines DecodeLogBytes(std::string_view bytes);

// What identifies one file among its successors under the same name.
struct FileIdentity {
  DWORD volume = 0;
  uint64_t index = 0;  // 0 when the file system gave none
  bool operator==(const FileIdentity&) const = default;
};

// Follows one log file across refreshes. It keeps where the shown part of
// the file ends and a few bytes on either end of it, so that each refresh
// reads only what was appended and still tells a new file (the add-in's
// rotation, a deleted and begun-again error log) from a grown one.
class LogFollower {
 public:
  struct Update {
    bool clearView = false;
    std::wstring append;  // whole lines for the end of the view, CR LF line ends
  };

  // No update hands out more than `maxChars` characters: when more is new,
  // only the newest lines that fit, and the view starts afresh with them.
  explicit LogFollower(size_t maxChars);

  // Looks at the file: nothing when it does not open (the view stays as it
  // is). New lines come only when `viewAtBottom`; a new file clears the
  // view either way.
  std::optional<Update> Refresh(const std::wstring& path, bool viewAtBottom);

  // Bytes the last refresh read from the file.
  uint64_t BytesRead() const { return bytesRead_; }

 private:
  bool IsNewFile(HANDLE file, const FileIdentity& identity, uint64_t size);
  std::wstring ReadNewLines(HANDLE file, uint64_t size, bool* skipped);
  uint64_t NewestPieceStart(HANDLE file, uint64_t size);
  uint64_t LineStart(HANDLE file, uint64_t offset);
  bool ReadAt(HANDLE file, uint64_t offset, size_t count, std::string* bytes);
  void Forget();

  size_t maxChars_;
  bool haveFile_ = false;
  FileIdentity identity_;
  uint64_t shownEnd_ = 0;  // bytes of the file shown or passed over
  std::string head_;       // the file's first bytes, up to shownEnd_
  std::string tail_;       // the bytes just before shownEnd_
  uint64_t bytesRead_ = 0;
};

}  // namespace tallowlog
