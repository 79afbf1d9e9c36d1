// Reading the add-in's log file and deciding what the view must show.
//
// The add-in appends to its logs (opening and closing the file for every
// write), rotates the debug log and deletes the error log at each start. The
// viewer reads the whole file on every refresh and appends to its view only
// what it has not shown yet.
#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallowlog {

enum class LogMode { Debug, Error };

// The log file's name in the temporary folder.
const wchar_t* LogFileName(LogMode mode);
// The name the save dialog proposes.
const wchar_t* DefaultSaveName(LogMode mode);

// Only the exact command line "errorlog" selects the error log.
bool IsErrorLogCommandLine(const wchar_t* commandLine);

// What identifies one file among its successors under the same name.
struct FileIdentity {
  DWORD volume = 0;
  uint64_t index = 0;  // 0 when the file system gave none
  bool operator==(const FileIdentity&) const = default;
};

// One read of the log file.
struct LogSnapshot {
  // The complete lines in file order, each with its line feed. A line longer
  // than 1023 characters comes as several pieces, each counting as a line.
  std::vector<std::wstring> lines;
  FileIdentity identity;
  uint64_t size = 0;  // bytes on disk at the time of the read
};

// Reads the file in text mode (CR LF becomes LF). A last line without a line
// feed is still being written and is left out until it is complete. Nothing
// when the file does not open.
std::optional<LogSnapshot> ReadLogSnapshot(const std::wstring& path);

// Follows one log file across refreshes: counts the lines it has put into the
// view itself (what the user types into the view does not count) and notices
// when the add-in has started a new file.
class LogFollower {
 public:
  struct Update {
    bool clearView = false;
    std::wstring append;  // text for the end of the view, CR LF line ends
  };

  // What the view must do for `snapshot`. New lines are handed out only when
  // `viewAtBottom`; a new file clears the view either way.
  Update Follow(const LogSnapshot& snapshot, bool viewAtBottom);

  size_t LinesShown() const { return m_linesShown; }

 private:
  bool IsNewFile(const LogSnapshot& snapshot) const;

  size_t m_linesShown = 0;
  bool m_haveFile = false;
  FileIdentity m_identity;
  uint64_t m_size = 0;
  uint64_t m_shownHash = 0;  // of the lines shown, as the file had them
};

}  // namespace tallowlog
