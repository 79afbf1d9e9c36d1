// The scenario language: parsing of a script into commands.
//
// One command per line; `#` starts a comment outside quotes; a line that
// starts with white space continues the previous command. Words are
// separated by blanks; "quoted text" is one word (no escapes, so registry
// paths keep their backslashes); key=value and key="quoted value" are
// options, a bare word listed as a flag is an option without value.
// Every form is listed in kForms (script.cpp); a line that matches none is
// an error with its line number.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct Command {
  int line = 0;
  std::wstring text;                           // the command as written (continuations joined)
  std::wstring verb;                           // "item", "expect", ...
  std::wstring form;                           // the matched form's pattern, e.g. L"count PATH N"
  std::map<std::wstring, std::wstring> args;   // captures by their pattern names (NAME, PATH, ...)
  std::map<std::wstring, std::wstring> opts;   // options; flags map to L""

  const std::wstring& Arg(const std::wstring& name) const;
  bool Has(const std::wstring& opt) const { return opts.count(opt) != 0; }
  std::optional<std::wstring> Opt(const std::wstring& opt) const;
  // The first literal word of the form ("count", "until", "set"...), or empty.
  std::wstring Sub() const;
};

struct ParseResult {
  std::vector<Command> commands;
  std::vector<std::wstring> errors;  // "line N: ..."
};

ParseResult ParseScript(const std::wstring& text);

// Helpers shared with the runner.
std::vector<std::wstring> SplitList(const std::wstring& text, wchar_t sep = L';');
bool ParseLong(const std::wstring& text, long* out);   // decimal or 0x hex
// "-2d", "+1h", "30m", "10s" in days; false when malformed.
bool ParseOffsetDays(const std::wstring& text, double* days);
// A UTC time written 2026-10-25T00:40Z, as an OLE Automation date.
bool ParseUtcTime(const std::wstring& text, double* utcDate);
// A local wall-clock time written 2026-10-25T02:40 (no zone), as an OLE
// Automation date.
bool ParseLocalTime(const std::wstring& text, double* localDate);

}  // namespace host
