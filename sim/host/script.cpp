#include "script.h"

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <set>
#include <sstream>

namespace host {
namespace {

// A form: the verb, the words after it (lower case: literals; upper case:
// captures; a trailing '?' makes the last capture optional) and the options
// it accepts ("key=" takes a value, "key" is a flag).
struct Form {
  const wchar_t* verb;
  const wchar_t* pattern;
  const wchar_t* options;
};

constexpr wchar_t kItemOptions[] =
    L"subject= categories= private sensitivity= reminder email= class= members= request response= "
    L"recipients= modified= body=";
constexpr wchar_t kMatchOptions[] = L"subject= categories= class= sensitivity= private reminder no-reminder";

const Form kForms[] = {
    {L"outlook", L"", L"version= profile="},
    // echo: the store writes every item the add-in wrote again on its own,
    // 20 s later (echo=DELAY: that much later); rewrite: changing it as its
    // service keeps it (categories reordered, the add-in's marks and user
    // properties dropped, the body cut).
    // upload=DELAY: an Exchange mailbox in cached mode, which uploads a new
    // item that much later (until then it has no source key).
    // named-props=full: the store's quota of named properties is reached;
    // the wrapper gets no id for a name it has not mapped yet.
    {L"store", L"PATH", L"kind= default name= no-default= clock= echo echo= rewrite upload= named-props="},
    {L"folder", L"PATH", L"type="},
    {L"item", L"NAME in PATH", kItemOptions},
    // N items in one step (a paste, an import, a phone bringing many): named
    // NAME1 to NAMEn, subjects "<subject> 1" to "<subject> n". From 16 items
    // on Outlook raises no ItemAdd for them.
    {L"items", L"NAME N in PATH", kItemOptions},
    {L"change", L"NAME", L"subject= categories= private public sensitivity= reminder no-reminder modified= body="},
    // The same edit, made while the add-in holds the item: right before its
    // next save of it, which then meets a changed item.
    {L"conflict", L"NAME", L"subject= categories= private public sensitivity= reminder no-reminder modified= body="},
    // The machine's time zone changes while Outlook runs (a zone's key name,
    // "Pacific Standard Time"): local times follow it from now on.
    {L"timezone", L"ZONE", L""},
    // The server forgets the folder's incremental-sync states: the add-in's
    // next run with its saved state is refused.
    {L"expire-sync", L"PATH", L""},
    // The store's clock (an Exchange store's: its server's) runs OFFSET ahead
    // of the machine's (-5m: behind) from now on.
    {L"clock", L"PATH OFFSET", L""},
    // The user deletes NAME1 to NAMEn in one step (from 16 items on, Outlook
    // raises no ItemRemove for them).
    {L"delete", L"items NAME N", L"hard"},
    // The user's delete: the item moves to its store's Deleted Items (hard,
    // or an item there already: for good).
    {L"delete", L"NAME", L"hard"},
    // The user moves the item (drag and drop): it leaves its folder and
    // enters PATH with its search key and time.
    {L"move", L"NAME to PATH", L""},
    // The store writes the item again on its own, once, now (rewrite: as its
    // service keeps it).
    {L"echo", L"NAME", L"rewrite"},
    {L"copy", L"NAME to PATH as COPY", L""},
    // The folder moves to its store's Deleted Items with its items (hard, or
    // a folder there already: for good).
    {L"delete-folder", L"PATH", L"hard"},
    // Everything in the store's Deleted Items goes for good.
    {L"empty-deleted-items", L"STORE", L""},
    // Outlook raises its item events that late from now on (0: at once),
    // and ItemChange `changes` times for one save (1: once).
    {L"events", L"", L"delay= changes="},
    {L"remove-store", L"PATH", L""},
    // The directory: an address list (folder=: the contacts folder behind it;
    // generate=N: N entries "Person i" <personi@example.com>), an entry added
    // or, under a name used before in that list, changed; an entry removed.
    {L"address-list", L"LIST", L"folder= generate="},
    {L"address-entry", L"NAME in LIST", L"name= smtp= alias= first= last= distlist members="},
    {L"remove-address-entry", L"NAME from LIST", L""},
    {L"reg", L"set KEY VALUE TYPE DATA", L""},
    {L"reg", L"create KEY", L""},
    {L"reg", L"delete KEY VALUE?", L""},
    {L"job", L"PATH",
     L"category= both no-private mark-private no-requests no-reminders subfolder filter= profile="},
    {L"connection", L"MODE", L""},
    // Modes read one per call, the last one kept: "connection sequence 300,300,800".
    {L"connection", L"sequence MODES", L""},
    // The user double-clicks the add-in's tray icon.
    {L"tray", L"dblclick", L""},
    {L"fail", L"OPERATION", L"nth= hr= count="},
    {L"inspector", L"open NAME", L""},
    {L"inspector", L"close", L""},
    {L"start", L"", L""},
    {L"wait", L"until idle", L"timeout="},
    {L"wait", L"for log TEXT", L"timeout= count="},
    {L"wait", L"SECONDS", L""},
    {L"restart", L"", L""},
    // What a folder page's Apply does to the running add-in (its test entry point).
    {L"reload", L"", L""},
    // Sets an environment variable of the host process (the add-in's test settings).
    {L"setenv", L"NAME VALUE", L""},
    {L"quit", L"", L""},
    {L"dump", L"registry KEY", L""},
    {L"dump", L"log", L""},
    {L"dump", L"error-log", L""},
    {L"dump", L"PATH?", L""},
    // Option pages: the ProgIDs the last request added, joined by ';' (empty: none).
    {L"expect", L"pages TEXT?", L""},
    {L"expect", L"page dirty", L"tab="},
    {L"expect", L"page clean", L"tab="},
    {L"expect", L"count PATH N", L""},
    {L"expect", L"item PATH", kMatchOptions},
    {L"expect", L"no-item PATH", kMatchOptions},
    {L"expect", L"log TEXT", L"count="},
    // count= how many times the text stands; except="A;B": count (or find)
    // only the lines that hold none of those texts.
    {L"expect", L"error-log TEXT", L"count= except="},
    // folder=PATH: KEY's subkey named by that folder's EntryID, in Outlook's
    // form (wrapper-id: in the wrapper's, which differs in its bytes).
    {L"expect", L"registry KEY", L"subkeys= values= missing folder= wrapper-id"},
    {L"expect", L"box CAPTION TEXT", L""},
    // Seeds a file in the scenario's temporary folder or the add-in's data folder.
    {L"file", L"WHERE NAME TEXT?", L""},
    // folder=PATH: the file's name is that folder's EntryID followed by NAME.
    {L"expect", L"file WHERE NAME STATE?", L"contains= lacks= folder= wrapper-id"},
    {L"expect", L"data-folder STATE", L""},
    // folder=PATH: the value sits in KEY's subkey named by that folder's EntryID.
    // data= compares a dword (decimal) or sz value.
    {L"expect", L"registry-value KEY VALUE TYPE?", L"size= missing folder= data= wrapper-id"},
    {L"expect", L"boxes CAPTION N", L""},
    // Empties the simulation's record of calls.
    {L"calls", L"clear", L""},
    // Names an item the add-in made: the first of the folder with that subject.
    {L"find", L"NAME in PATH", L"subject="},
    // Since the record was emptied nothing was written: no copy, save,
    // delete or committed property write.
    {L"expect", L"no-writes", L""},
    // Outlook's objects answer a call from another thread with
    // RPC_E_WRONG_THREAD (the runner calls one from a thread of its own).
    {L"expect", L"off-thread-refused", L""},
    // How many calls of an operation the record holds since it was emptied
    // (Outlook.WrongThread: calls on an Outlook object off its thread;
    // Outlook.Reminder: Reminder events raised).
    {L"expect", L"calls OP N", L""},
    // A property of a named item, by DASL name, as text ("(empty)" when
    // missing; a list's texts joined by ';', bytes in hexadecimal); or the
    // same value as another named item's (same-as=), or another
    // (differs-from=).
    {L"expect", L"field NAME DASL VALUE?", L"same-as= differs-from="},
    // The local time the world gives lies OFFSET ahead of UTC now (+9h in
    // Tokyo; -5h: behind).
    {L"expect", L"utc-offset OFFSET", L""},
    // The named item's modification time lies OFFSET from now (-1h: an hour
    // ago), give or take within= (10m by default).
    {L"expect", L"modified NAME OFFSET", L"within="},
    // Outlook asks the add-in for option pages and shows them: its Options
    // dialog, or the properties dialog of a folder.
    {L"options", L"open", L""},
    {L"properties", L"PATH", L""},
    // On the open dialog's page (tab= from 1): the user clicks control N;
    // Apply or Cancel of the dialog.
    {L"page", L"click N", L"tab="},
    // The user types TEXT into edit or combo box N (its old text replaced),
    // picks the entry TEXT of combo box N, or ticks (off: clears) the check
    // box of the list view N's row ROW.
    {L"page", L"text N TEXT", L"tab="},
    {L"page", L"select N TEXT", L"tab="},
    {L"page", L"check N ROW", L"tab= off"},
    {L"page", L"apply", L""},
    {L"page", L"close", L""},
    // A picture of the open dialog: NAME.bmp in the artifacts folder.
    {L"screenshot", L"NAME", L""},
};

// Values that options and captures must have.
const std::set<std::wstring> kStoreKinds = {L"pst", L"exchange", L"icloud", L"internet-calendar", L"hotmail", L"kind6"};
const std::set<std::wstring> kFolderTypes = {L"mail", L"calendar", L"contacts", L"tasks", L"notes", L"journal"};
const std::set<std::wstring> kNumericOptions = {L"tab", L"sensitivity", L"response", L"nth", L"hr", L"count", L"changes",
                                                L"timeout", L"subkeys", L"values", L"size", L"generate"};
const std::set<std::wstring> kNumericCaptures = {L"N", L"SECONDS", L"MODE"};

struct Token {
  std::wstring text;
  bool quoted = false;             // started with a quote: never a literal or an option
  size_t eq = std::wstring::npos;  // position of the option's '=' in text
};

// Splits one logical line into tokens; false (and *error) on an open quote.
bool Tokenize(const std::wstring& line, std::vector<Token>* out, std::wstring* error) {
  size_t i = 0, n = line.size();
  while (i < n) {
    while (i < n && std::iswspace(line[i])) ++i;
    if (i >= n || line[i] == L'#') break;
    Token t;
    t.quoted = line[i] == L'"';
    while (i < n && !std::iswspace(line[i])) {
      if (line[i] == L'"') {
        size_t close = line.find(L'"', i + 1);
        if (close == std::wstring::npos) {
          *error = L"unterminated quote";
          return false;
        }
        t.text.append(line, i + 1, close - i - 1);
        i = close + 1;
        continue;
      }
      if (line[i] == L'=' && !t.quoted && t.eq == std::wstring::npos && !t.text.empty()) t.eq = t.text.size();
      t.text += line[i++];
    }
    out->push_back(std::move(t));
  }
  return true;
}

std::vector<std::wstring> Words(const wchar_t* s) {
  std::wistringstream in(s);
  std::vector<std::wstring> w;
  for (std::wstring x; in >> x;) w.push_back(x);
  return w;
}

bool IsCapture(const std::wstring& w) { return !w.empty() && std::iswupper(w[0]); }

// Checks a value that the language restricts; empty when it is fine.
std::wstring CheckValue(const std::wstring& name, const std::wstring& value) {
  long n = 0;
  double d = 0;
  if ((kNumericOptions.count(name) || kNumericCaptures.count(name)) && !ParseLong(value, &n))
    return name + L" must be a number: " + value;
  if (name == L"kind" && !kStoreKinds.count(value)) return L"unknown store kind: " + value;
  if (name == L"type" && !kFolderTypes.count(value)) return L"unknown folder type: " + value;
  if (name == L"no-default") {
    for (const std::wstring& t : SplitList(value, L','))
      if (!kFolderTypes.count(t)) return L"unknown folder type: " + t;
  }
  const bool offset = name == L"modified" || name == L"clock" || name == L"OFFSET" || name == L"within" ||
                      name == L"delay" || name == L"upload" || (name == L"echo" && !value.empty());
  if (offset && !ParseOffsetDays(value, &d) && !((name == L"OFFSET" || name == L"clock") && ParseUtcTime(value, &d)) &&
      !(name == L"OFFSET" && ParseLocalTime(value, &d)))
    return name + L" must look like -2d or +1h: " + value;
  if (name == L"TYPE" && value != L"dword" && value != L"sz" && value != L"binary")
    return L"registry type must be dword, sz or binary: " + value;
  if (name == L"WHERE" && value != L"temp" && value != L"data") return L"a file lives in temp or data: " + value;
  if (name == L"STATE" && value != L"exists" && value != L"missing") return L"expected exists or missing: " + value;
  return L"";
}

// Tries one form; empty on success, else why it does not fit.
std::wstring Match(const Form& form, const std::vector<Token>& tokens, Command* cmd) {
  std::vector<std::wstring> pattern = Words(form.pattern);
  std::vector<std::wstring> allowed = Words(form.options);
  std::vector<const Token*> words;
  std::vector<const Token*> options;
  for (size_t i = 1; i < tokens.size(); ++i) (tokens[i].eq != std::wstring::npos ? options : words).push_back(&tokens[i]);
  // A bare word that is one of the form's flags is an option.
  std::vector<const Token*> positional;
  for (const Token* t : words) {
    bool flag = !t->quoted && std::find(allowed.begin(), allowed.end(), t->text) != allowed.end();
    (flag ? options : positional).push_back(t);
  }
  size_t required = pattern.size();
  bool optionalLast = !pattern.empty() && pattern.back().back() == L'?';
  if (optionalLast) --required;
  if (positional.size() < required || positional.size() > pattern.size()) return L"wrong number of words";
  cmd->args.clear();
  cmd->opts.clear();
  for (size_t i = 0; i < positional.size(); ++i) {
    std::wstring p = pattern[i];
    if (p.back() == L'?') p.pop_back();
    if (IsCapture(p)) {
      cmd->args[p] = positional[i]->text;
    } else if (positional[i]->quoted || positional[i]->text != p) {
      return L"expected '" + p + L"'";
    }
  }
  for (const Token* t : options) {
    std::wstring key = t->eq == std::wstring::npos ? t->text : t->text.substr(0, t->eq);
    bool valued = t->eq != std::wstring::npos;
    std::wstring spelled = valued ? key + L"=" : key;
    if (std::find(allowed.begin(), allowed.end(), spelled) == allowed.end())
      return L"unknown option '" + spelled + L"'";
    cmd->opts[key] = valued ? t->text.substr(t->eq + 1) : L"";
  }
  return L"";
}

std::wstring Validate(const Command& cmd) {
  for (const auto& [name, value] : cmd.args)
    if (std::wstring e = CheckValue(name, value); !e.empty()) return e;
  for (const auto& [name, value] : cmd.opts)
    if (std::wstring e = CheckValue(name, value); !e.empty()) return e;
  if (cmd.verb == L"reg" && cmd.Sub() == L"set") {
    const std::wstring& type = cmd.Arg(L"TYPE");
    const std::wstring& data = cmd.Arg(L"DATA");
    long n = 0;
    if (type == L"dword" && !ParseLong(data, &n)) return L"dword value must be a number: " + data;
    if (type == L"binary" && (data.size() % 2 != 0 || data.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos))
      return L"binary value must be hex digits: " + data;
  }
  if (cmd.verb == L"expect" && cmd.Sub() == L"file" &&
      cmd.Arg(L"STATE").empty() == !(cmd.Has(L"contains") || cmd.Has(L"lacks")))
    return L"expect file takes exists, missing, or contains= and lacks=";
  if (cmd.verb == L"expect" && cmd.Sub() == L"registry-value" && cmd.Arg(L"TYPE").empty() == !cmd.Has(L"missing"))
    return L"expect registry-value takes a type (dword, sz, binary) or missing";
  if (cmd.Has(L"missing") && (cmd.Has(L"size") || cmd.Has(L"data"))) return L"missing conflicts with size and data";
  if (cmd.Has(L"data") && cmd.Arg(L"TYPE") == L"binary") return L"data= compares dword and sz values only";
  if (cmd.Has(L"private") && (cmd.Has(L"sensitivity") || cmd.Has(L"public"))) return L"private conflicts with sensitivity/public";
  if (cmd.Has(L"reminder") && cmd.Has(L"no-reminder")) return L"reminder conflicts with no-reminder";
  return L"";
}

// Joins continuation lines; returns (first line number, text) pairs.
std::vector<std::pair<int, std::wstring>> LogicalLines(const std::wstring& text) {
  std::vector<std::pair<int, std::wstring>> out;
  std::wistringstream in(text);
  int number = 0;
  for (std::wstring line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    size_t first = line.find_first_not_of(L" \t");
    if (first == std::wstring::npos || line[first] == L'#') continue;
    if (first > 0 && !out.empty()) {
      out.back().second += L" " + line.substr(first);
    } else {
      out.emplace_back(number, line.substr(first));
    }
  }
  return out;
}

}  // namespace

const std::wstring& Command::Arg(const std::wstring& name) const {
  static const std::wstring empty;
  auto it = args.find(name);
  return it == args.end() ? empty : it->second;
}

std::optional<std::wstring> Command::Opt(const std::wstring& opt) const {
  auto it = opts.find(opt);
  if (it == opts.end()) return std::nullopt;
  return it->second;
}

std::wstring Command::Sub() const {
  std::vector<std::wstring> w = Words(form.c_str());
  return !w.empty() && !IsCapture(w[0]) ? w[0] : L"";
}

ParseResult ParseScript(const std::wstring& text) {
  ParseResult result;
  for (const auto& [number, line] : LogicalLines(text)) {
    auto fail = [&, n = number](const std::wstring& why) {
      result.errors.push_back(L"line " + std::to_wstring(n) + L": " + why);
    };
    std::vector<Token> tokens;
    std::wstring error;
    if (!Tokenize(line, &tokens, &error)) { fail(error); continue; }
    if (tokens.empty()) continue;
    Command cmd;
    cmd.line = number;
    cmd.text = line;
    cmd.verb = tokens[0].text;
    std::wstring why = L"unknown command '" + cmd.verb + L"'";
    bool matched = false;
    for (const Form& f : kForms) {
      if (tokens[0].quoted || cmd.verb != f.verb) continue;
      why = Match(f, tokens, &cmd);
      if (why.empty()) {
        cmd.form = f.pattern;
        matched = true;
        break;
      }
    }
    if (matched) why = Validate(cmd);
    if (!matched || !why.empty()) {
      fail(why + L" in: " + line);
      continue;
    }
    result.commands.push_back(std::move(cmd));
  }
  return result;
}

std::vector<std::wstring> SplitList(const std::wstring& text, wchar_t sep) {
  std::vector<std::wstring> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring part = text.substr(start, end - start);
    size_t a = part.find_first_not_of(L" \t"), b = part.find_last_not_of(L" \t");
    if (a != std::wstring::npos) out.push_back(part.substr(a, b - a + 1));
    start = end + 1;
  }
  return out;
}

bool ParseLong(const std::wstring& text, long* out) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
  unsigned long long v = hex ? wcstoull(text.c_str() + 2, &end, 16) : 0;
  if (hex) {
    if (*end || v > 0xFFFFFFFFull) return false;
    *out = long(static_cast<unsigned long>(v));
    return true;
  }
  long long s = wcstoll(text.c_str(), &end, 10);
  if (*end || s < -2147483648LL || s > 4294967295LL) return false;
  *out = long(s);
  return true;
}

bool ParseUtcTime(const std::wstring& text, double* utcDate) {
  SYSTEMTIME t{};
  wchar_t zone = 0;
  if (text.size() != 17 || swscanf(text.c_str(), L"%4hu-%2hu-%2huT%2hu:%2hu%lc", &t.wYear, &t.wMonth, &t.wDay,
                                   &t.wHour, &t.wMinute, &zone) != 6 || zone != L'Z')
    return false;
  return SystemTimeToVariantTime(&t, utcDate) != 0;
}

bool ParseLocalTime(const std::wstring& text, double* localDate) {
  SYSTEMTIME t{};
  if (text.size() != 16 || swscanf(text.c_str(), L"%4hu-%2hu-%2huT%2hu:%2hu", &t.wYear, &t.wMonth, &t.wDay, &t.wHour,
                                   &t.wMinute) != 5)
    return false;
  return SystemTimeToVariantTime(&t, localDate) != 0;
}

bool ParseOffsetDays(const std::wstring& text, double* days) {
  if (text.size() < 2) return false;
  wchar_t unit = text.back();
  double per = unit == L'd' ? 1.0 : unit == L'h' ? 1.0 / 24 : unit == L'm' ? 1.0 / 1440 : unit == L's' ? 1.0 / 86400 : 0;
  if (per == 0) return false;
  long n = 0;
  std::wstring number = text.substr(0, text.size() - 1);
  if (!number.empty() && number[0] == L'+') number.erase(0, 1);
  if (!ParseLong(number, &n)) return false;
  *days = n * per;
  return true;
}

}  // namespace host
