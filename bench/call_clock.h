// Where a benchmark's time goes: into the calls of the wrapper library and
// of Outlook's objects, or into the add-in's own work.
//
// Every method of a watched class, IUnknown's three among them (a wrapper
// object's last Release frees what the wrapper holds for it), is timed where
// the add-in calls it, without knowing its signature: the class's vtable
// slots are replaced by small stubs that note the time on entry, let the
// method run on the caller's own stack and arguments, and note the time
// again when it returns. A call made from inside another timed call counts
// as part of the outer one. The time of a stretch of work minus the time of
// the calls it made is the add-in's own work, which thus never comes out
// negative and is measured in the same run as the calls.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <map>
#include <string>


namespace bench {

struct CallTotals {
  uint64_t calls = 0;
  double ms = 0;
};

// Per operation ("Session.GetMessageById", "Outlook.Invoke"), the calls of
// the calling thread since its last TakeCalls, and the sum over them.
struct CallRecord {
  std::map<std::wstring, CallTotals> ops;
  CallTotals total;
  uint64_t CallsOf(const std::wstring& op) const;
};

// Times the class of `object` as seen through `iid` from now on (once per
// class and interface). `name` prefixes the operation names; the method
// names come from the wrapper's type information, so that only wrapper
// interfaces are named method by method (others show as "<name>.Invoke" and
// the like, or by slot number).
void WatchClass(IUnknown* object, REFIID iid, const wchar_t* name);

CallRecord TakeCalls();

// What one timed call costs beside its own time, in milliseconds: the
// stubs' steps before the clock is read on entry and after it is read on
// exit, which would otherwise count as the caller's own work. Measured once
// per process, on a class of the clock's own (the same trivial call made
// through a stub and made directly), and rather too low than too high.
double StubCostMs();

// The benchmark's clock in milliseconds (the processor's time-stamp counter,
// the same the stubs read).
double NowMs();

}  // namespace bench
