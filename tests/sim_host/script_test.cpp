#include "script.h"

#include <gtest/gtest.h>

namespace host {
namespace {

// Every form of the scenario language, as scripts outside the repository use them.
const wchar_t kAllForms[] = LR"(# comment
outlook version=16.0.4266 profile="Outlook"          # before start
outlook
store "Personal Folders" kind=pst default name="Display Name" no-default=tasks,journal
store "Mailbox" kind=exchange
store "iCloud" kind=icloud
store "Cal" kind=internet-calendar
store "Hot" kind=hotmail
store "Six" kind=kind6
folder "Personal Folders/Work Contacts" type=contacts
item ada in "Personal Folders/Work Contacts" subject="Ada Lovelace" categories="Work;Home"
     private reminder email=ada@example.org class=IPM.DistList members="a@x.org;b@x.org"
     request response=5 recipients="Ann <a@x.org>;Bob <b@x.org>" modified=-2d
item bob in "Personal Folders/Work Contacts" subject="Bob" sensitivity=3 modified=+1h
change ada subject="Ada King" categories="Work" private reminder
change bob public no-reminder
delete ada
copy ada to "Personal Folders/Contacts" as ada2
delete-folder "Personal Folders/Work Contacts"
remove-store "Personal Folders"
reg set "HKCU\Software\Corvane\Tallowby\Config" debug dword 1
reg set "HKCU\Software\Corvane\Tallowby\Config" defaultStoreName sz "Personal Folders"
reg set "HKCU\Software\Corvane\Tallowby\Config" LastGalSync binary 0000000000E0E540
reg create "HKCU\Software\Corvane\Tallowby\GALFolders\Sales"
reg delete "HKCU\Software\Corvane\Tallowby\Folders"
reg delete "HKCU\Software\Corvane\Tallowby\Config" debug
job "Personal Folders/Work Contacts" category=Work both no-private mark-private no-requests no-reminders
    subfolder filter="A;B" profile="Outlook"
connection 300
fail GetNamespace
fail Advise.ItemsEvents nth=2 hr=0x80004005
inspector open ada
inspector close
start
wait 12
wait until idle
wait until idle timeout=120
wait for log "text"
wait for log "text" timeout=30
restart
quit
dump
dump "Personal Folders/Contacts"
dump registry "HKCU\Software\Corvane\Tallowby"
dump log
dump error-log
expect count "Personal Folders/Contacts" 2
expect item "Personal Folders/Contacts" subject="Ada Lovelace" categories="Work"
expect no-item "Personal Folders/Contacts" subject="Ada Lovelace"
expect log "NEW:"
expect error-log "MAPI_E_NOT_FOUND"
expect registry "HKCU\Software\Corvane\Tallowby\Folders" subkeys=1
expect box "Error" "error on GetNamespace:-2147467259"
file temp "Tallowby_debug-3.log" "text"
file data "state.dat"
expect file temp "Tallowby_debug-1.log" contains="run 1" lacks="run 2"
expect file data "state.dat" exists
expect file temp "Tallowby_error.log" missing
expect data-folder exists
expect registry-value "HKCU\Software\Corvane\Tallowby\Config" LastSyncTime binary size=8
expect registry-value "HKCU\Software\Corvane\Tallowby\Config" debug dword
expect registry-value "HKCU\Software\Corvane\Tallowby\Config" LastSyncTime missing
expect boxes "Error" 1
store "Slow" kind=pst clock=-2h
change bob modified=-1h
clock "Mailbox" +5m
expect modified ada -3d within=1m
store "Echoing" kind=icloud echo
store "Late" kind=exchange echo=2m
echo ada
items person 20 in "Personal Folders/Contacts" subject="Person" categories="Work"
delete items person 16 hard
delete ada hard
move ada to "Personal Folders/Contacts"
delete-folder "Personal Folders/Work" hard
empty-deleted-items "Personal Folders"
events delay=30s
store "Cached" kind=exchange upload=90s
conflict ada subject="Ada King" modified=-1h
expire-sync "Mailbox/Team"
)";

TEST(ScenarioScript, EveryFormParsesWithItsWordsAndOptions) {
  ParseResult r = ParseScript(kAllForms);
  for (const std::wstring& e : r.errors) ADD_FAILURE() << std::string(e.begin(), e.end());
  ASSERT_EQ(r.commands.size(), 76u);

  const Command& store = r.commands[2];
  EXPECT_EQ(store.verb, L"store");
  EXPECT_EQ(store.Arg(L"PATH"), L"Personal Folders");
  EXPECT_TRUE(store.Has(L"default"));
  EXPECT_EQ(store.Opt(L"name").value_or(L""), L"Display Name");
  EXPECT_EQ(store.Opt(L"no-default").value_or(L""), L"tasks,journal");

  // A continued command keeps the line of its first line and every option.
  const Command& item = r.commands[9];
  EXPECT_EQ(item.line, 11);
  EXPECT_EQ(item.Arg(L"NAME"), L"ada");
  EXPECT_EQ(item.Arg(L"PATH"), L"Personal Folders/Work Contacts");
  EXPECT_EQ(item.Opt(L"subject").value_or(L""), L"Ada Lovelace");
  EXPECT_EQ(item.Opt(L"recipients").value_or(L""), L"Ann <a@x.org>;Bob <b@x.org>");
  EXPECT_TRUE(item.Has(L"private") && item.Has(L"reminder") && item.Has(L"request"));
  EXPECT_FALSE(item.Has(L"sensitivity"));

  const Command& copy = r.commands[14];
  EXPECT_EQ(copy.Arg(L"COPY"), L"ada2");
  EXPECT_EQ(copy.Arg(L"PATH"), L"Personal Folders/Contacts");

  // Registry paths keep their backslashes; quoted data is one word.
  const Command& sz = r.commands[18];
  EXPECT_EQ(sz.Sub(), L"set");
  EXPECT_EQ(sz.Arg(L"KEY"), L"HKCU\\Software\\Corvane\\Tallowby\\Config");
  EXPECT_EQ(sz.Arg(L"VALUE"), L"defaultStoreName");
  EXPECT_EQ(sz.Arg(L"DATA"), L"Personal Folders");
  EXPECT_EQ(r.commands[21].Arg(L"VALUE"), L"");
  EXPECT_EQ(r.commands[22].Arg(L"VALUE"), L"debug");

  const Command& job = r.commands[23];
  EXPECT_EQ(job.Opt(L"filter").value_or(L""), L"A;B");
  EXPECT_TRUE(job.Has(L"subfolder") && job.Has(L"both") && job.Has(L"mark-private"));

  EXPECT_EQ(r.commands[26].Opt(L"hr").value_or(L""), L"0x80004005");
  EXPECT_EQ(r.commands[29].Sub(), L"");  // start
  EXPECT_EQ(r.commands[30].Arg(L"SECONDS"), L"12");
  EXPECT_EQ(r.commands[32].Sub(), L"until");
  EXPECT_EQ(r.commands[34].Arg(L"TEXT"), L"text");
  EXPECT_EQ(r.commands[37].Arg(L"PATH"), L"");                         // dump
  EXPECT_EQ(r.commands[40].Sub(), L"log");                             // dump log, not a folder "log"
  const Command& box = r.commands[48];
  EXPECT_EQ(box.Arg(L"CAPTION"), L"Error");
  EXPECT_EQ(box.Arg(L"TEXT"), L"error on GetNamespace:-2147467259");

  const Command& seed = r.commands[49];
  EXPECT_EQ(seed.verb, L"file");
  EXPECT_EQ(seed.Arg(L"WHERE"), L"temp");
  EXPECT_EQ(seed.Arg(L"NAME"), L"Tallowby_debug-3.log");
  EXPECT_EQ(seed.Arg(L"TEXT"), L"text");
  EXPECT_EQ(r.commands[50].Arg(L"TEXT"), L"");  // an empty file
  const Command& contains = r.commands[51];
  EXPECT_EQ(contains.Sub(), L"file");
  EXPECT_EQ(contains.Arg(L"STATE"), L"");
  EXPECT_EQ(contains.Opt(L"contains").value_or(L""), L"run 1");
  EXPECT_EQ(contains.Opt(L"lacks").value_or(L""), L"run 2");
  EXPECT_EQ(r.commands[53].Arg(L"STATE"), L"missing");
  EXPECT_EQ(r.commands[54].Sub(), L"data-folder");
  const Command& value = r.commands[55];
  EXPECT_EQ(value.Sub(), L"registry-value");
  EXPECT_EQ(value.Arg(L"VALUE"), L"LastSyncTime");
  EXPECT_EQ(value.Arg(L"TYPE"), L"binary");
  EXPECT_EQ(value.Opt(L"size").value_or(L""), L"8");
  EXPECT_EQ(r.commands[56].Arg(L"TYPE"), L"dword");
  EXPECT_TRUE(r.commands[57].Has(L"missing"));
  EXPECT_EQ(r.commands[57].Arg(L"TYPE"), L"");
  EXPECT_EQ(r.commands[58].Arg(L"CAPTION"), L"Error");
  EXPECT_EQ(r.commands[58].Arg(L"N"), L"1");
  EXPECT_EQ(r.commands[59].Opt(L"clock").value_or(L""), L"-2h");
  EXPECT_EQ(r.commands[60].Opt(L"modified").value_or(L""), L"-1h");
  EXPECT_EQ(r.commands[61].Arg(L"OFFSET"), L"+5m");
  EXPECT_EQ(r.commands[62].Sub(), L"modified");
  EXPECT_EQ(r.commands[62].Opt(L"within").value_or(L""), L"1m");
  EXPECT_TRUE(r.commands[63].Has(L"echo"));
  EXPECT_EQ(r.commands[63].Opt(L"echo").value_or(L"?"), L"");
  EXPECT_EQ(r.commands[64].Opt(L"echo").value_or(L""), L"2m");
  EXPECT_EQ(r.commands[65].Arg(L"NAME"), L"ada");
  const Command& many = r.commands[66];
  EXPECT_EQ(many.verb, L"items");
  EXPECT_EQ(many.Arg(L"N"), L"20");
  EXPECT_EQ(many.Arg(L"PATH"), L"Personal Folders/Contacts");
  EXPECT_EQ(r.commands[67].Sub(), L"items");  // a bulk delete, not an item named "items"
  EXPECT_EQ(r.commands[67].Arg(L"N"), L"16");
  EXPECT_TRUE(r.commands[67].Has(L"hard"));
  EXPECT_EQ(r.commands[68].Arg(L"NAME"), L"ada");
  EXPECT_EQ(r.commands[69].Arg(L"PATH"), L"Personal Folders/Contacts");
  EXPECT_TRUE(r.commands[70].Has(L"hard"));
  EXPECT_EQ(r.commands[71].Arg(L"STORE"), L"Personal Folders");
  EXPECT_EQ(r.commands[72].Opt(L"delay").value_or(L""), L"30s");
  EXPECT_EQ(r.commands[73].Opt(L"upload").value_or(L""), L"90s");
  EXPECT_EQ(r.commands[74].verb, L"conflict");
  EXPECT_EQ(r.commands[74].Opt(L"subject").value_or(L""), L"Ada King");
  EXPECT_EQ(r.commands[75].Arg(L"PATH"), L"Mailbox/Team");
}

TEST(ScenarioScript, MistakesAreReportedWithTheirLine) {
  struct Case { const wchar_t* text; const char* why; };
  const Case cases[] = {
      {L"frobnicate", "unknown command"},
      {L"store \"P\" kind=floppy", "unknown store kind"},
      {L"folder \"P/F\" type=recipes", "unknown folder type"},
      {L"store \"P\" no-default=tasks,socks", "unknown folder type"},
      {L"item a in \"P/F\" colour=red", "unknown option"},
      {L"item a \"P/F\"", "wrong number"},
      {L"item a into \"P/F\"", "expected 'in'"},
      {L"item a in \"P/F\" subject=\"open", "unterminated quote"},
      {L"item a in \"P/F\" private sensitivity=1", "conflicts"},
      {L"change a reminder no-reminder", "conflicts"},
      {L"item a in \"P/F\" modified=yesterday", "modified"},
      {L"wait soon", "must be a number"},
      {L"connection online", "must be a number"},
      {L"fail GetNamespace hr=E_FAIL", "must be a number"},
      {L"reg set \"HKCU\\X\" v qword 1", "registry type"},
      {L"reg set \"HKCU\\X\" v dword one", "dword value"},
      {L"reg set \"HKCU\\X\" v binary 0G", "binary value"},
      {L"expect count \"P/F\"", "wrong number"},
      {L"\"start\"", "unknown command"},  // a quoted word is never a keyword
      {L"file home \"x.log\"", "temp or data"},
      {L"expect file temp \"x.log\"", "exists, missing, or contains"},
      {L"expect file temp \"x.log\" missing lacks=\"a\"", "exists, missing, or contains"},
      {L"expect file temp \"x.log\" gone", "exists or missing"},
      {L"expect data-folder here", "exists or missing"},
      {L"expect registry-value \"HKCU\\X\" v qword", "registry type"},
      {L"expect registry-value \"HKCU\\X\" v", "a type"},
      {L"expect registry-value \"HKCU\\X\" v binary missing", "a type"},
      {L"expect registry-value \"HKCU\\X\" v binary size=eight", "must be a number"},
      {L"expect registry-value \"HKCU\\X\" v binary data=0A", "dword and sz values only"},
      {L"expect registry-value \"HKCU\\X\" v missing data=1", "conflicts with size and data"},
      {L"expect boxes \"Error\" one", "must be a number"},
      {L"clock \"P\" soon", "OFFSET must look like"},
      {L"store \"P\" clock=2", "clock must look like"},
      {L"store \"P\" echo=often", "echo must look like"},
      {L"store \"P\" upload=later", "upload must look like"},
      {L"conflict a reminder no-reminder", "conflicts"},
  };
  for (const Case& c : cases) {
    std::wstring script = std::wstring(L"start\n\n") + c.text + L"\n";
    ParseResult r = ParseScript(script);
    ASSERT_EQ(r.errors.size(), 1u) << c.why;
    std::string error(r.errors[0].begin(), r.errors[0].end());
    EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
  }
}

TEST(ScenarioScript, NumbersListsAndOffsets) {
  long v = 0;
  EXPECT_TRUE(ParseLong(L"0x80004005", &v));
  EXPECT_EQ(v, static_cast<long>(0x80004005));
  EXPECT_TRUE(ParseLong(L"-5", &v));
  EXPECT_EQ(v, -5);
  EXPECT_FALSE(ParseLong(L"12s", &v));
  EXPECT_FALSE(ParseLong(L"", &v));
  EXPECT_FALSE(ParseLong(L"0x1FFFFFFFF", &v));

  double d = 0;
  EXPECT_TRUE(ParseOffsetDays(L"-2d", &d));
  EXPECT_DOUBLE_EQ(d, -2.0);
  EXPECT_TRUE(ParseOffsetDays(L"+1h", &d));
  EXPECT_DOUBLE_EQ(d, 1.0 / 24);
  EXPECT_FALSE(ParseOffsetDays(L"2w", &d));
  EXPECT_FALSE(ParseOffsetDays(L"d", &d));

  EXPECT_EQ(SplitList(L"Work; Home;;"), (std::vector<std::wstring>{L"Work", L"Home"}));
  EXPECT_TRUE(SplitList(L"").empty());
}

}  // namespace
}  // namespace host
