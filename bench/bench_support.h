// What the benchmark programs share: the simulated wrapper library of this
// process, the benchmark clock, repeated measurements and their printing,
// and the process's private bytes.
#pragma once
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "call_clock.h"
#include "com_ptr.h"
#include "control/sim_control.h"
#include "rdo.h"

class CSyncEngine;

namespace bench {

// The simulated wrapper library (simrdo.dll beside the program), registered
// in this prefix; null when it is missing.
sim::ISimControl* SimControl();

// What every benchmark program sets up first and takes down last: the
// benchmark clock, COM (with OLE for programs that host windows), the
// global locks, the simulated wrapper with its classes timed, and the
// add-in's logs named after the program in the temporary folder.
class Program {
 public:
  Program(const wchar_t* name, bool ole = false);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  // Null when the program cannot run (the reason is printed).
  sim::ISimControl* Sim() const { return sim_; }
  // An engine without Outlook, published as g_pSyncEngine until the
  // program ends.
  CSyncEngine* Engine();

 private:
  std::wstring name_;
  bool ole_;
  sim::ISimControl* sim_ = nullptr;
  CSyncEngine* engine_ = nullptr;
};

// Measures each of the sizes in turn, those above 10,000 while one run is
// likely to end in time (WorthMeasuring); `measure(n)` gives the time of one
// run of the figure that decides.
void ForEachSize(const char* what, const std::function<double(int)>& measure);

// The add-in's clock runs 10000 times faster and its pauses are counted, not
// slept: the figures hold the work alone.
void UseBenchmarkClock();

// How often each figure is measured (BENCH_REPEAT, else `usual`).
int Repetitions(int usual);
// The folder sizes to measure: BENCH_SIZES (a comma-separated list), else
// 1,000, 10,000 and, unless BENCH_QUICK is set, 100,000.
std::vector<int> Sizes();
// Repetitions for a folder of `n` items: fewer for the largest.
int RepetitionsFor(int n);

// True while another repetition of a measurement of `n` items is wanted:
// fewer than RepetitionsFor(n) were made, and (after the first) the ones
// made took less than BENCH_BUDGET seconds (default 150) together.
bool AnotherRepetition(int n, int done, double spentMs);
// Whether one run of `n` items is likely to end within BENCH_MAX_RUN
// seconds (default 240), judged from the growth between the last two sizes
// measured (size, ms of one run); prints why when it is not.
bool WorthMeasuring(const std::vector<std::pair<int, double>>& done, int n, const char* what);

// The add-in's error log goes to the temporary folder under `name`; after
// the run, ReportErrors prints how many lines it got (a benchmark whose
// work failed measured something else).
void UseErrorLog(const wchar_t* name);
void ReportErrors();

// One figure measured several times.
class Figure {
 public:
  void Add(double value) { values_.push_back(value); }
  bool Empty() const { return values_.empty(); }
  size_t Count() const { return values_.size(); }
  double Min() const;
  double Max() const;
  // (slowest - fastest) / fastest, in percent.
  double SpreadPercent() const;

 private:
  std::vector<double> values_;
};

// A timed stretch of the add-in's work, split into the calls it made into
// the wrapper library (and Outlook's objects) and the rest, less what the
// stubs that time those calls cost beside them.
struct Split {
  double totalMs = 0;
  CallRecord calls;
  double OwnMs() const {
    return std::max(0.0, totalMs - calls.total.ms - double(calls.total.calls) * StubCostMs());
  }
};
Split Measure(const std::function<void()>& body);

// The same split over several repetitions (each figure its minimum).
struct SplitFigures {
  Figure total, wrapper, own;
  CallRecord lastCalls;
  void Add(const Split& s) {
    total.Add(s.totalMs);
    wrapper.Add(s.calls.total.ms);
    own.Add(s.OwnMs());
    lastCalls = s.calls;
  }
};

// Printing: a section heading, and one line of label and figures.
// The columns of a split: items, what, time, spread, calls, own work.
void SplitHeader(const char* items);
void SplitRow(int n, const char* what, const SplitFigures& s, const std::string& remark);
// "from 1000 to 10000 items <what> grows 11.0 times (n log n: 13.3)" and the like.
std::string Growth(int from, int to, double fromMs, double toMs);
void Section(const char* title, const char* about);
void Note(const char* text);
std::string Ms(double ms);
std::string Us(double us);
std::string Times(double ratio);
std::string Spread(const Figure& f);
// "name 2.00 x 3.1 us" for each operation called at least `minPerItem` times per item.
std::string CallsPerItem(const CallRecord& calls, double items, double minPerItem = 0.01);

// The process's private bytes now (PrivateUsage, or PagefileUsage where it is 0).
uint64_t PrivateBytes();
std::string Mb(double bytes);

// Samples the private bytes every millisecond while it lives.
class PeakSampler {
 public:
  PeakSampler();
  ~PeakSampler();
  uint64_t Peak();

 private:
  static DWORD WINAPI Loop(void* self);
  HANDLE stop_ = nullptr, thread_ = nullptr;
  std::atomic<uint64_t> peak_{0};
};

// Times the calls into every class of the simulated wrapper library, by
// making one object of each in a world of its own. It empties the world
// afterwards: call it before the benchmark builds its own.
bool WatchWrapperClasses(sim::ISimControl* control);
// Times the calls into Outlook's objects on the way from the namespace to
// the items of `folderEntryId`.
void WatchOutlookClasses(IDispatch* nameSpace, const std::wstring& folderEntryId);

// A wrapper session logged on to the simulated profile, and a utility object.
com::ComPtr<IRdoSession> NewSession();
com::ComPtr<IRdoUtils> NewUtils();

// Outlook's folder of `entryId` in the simulated Outlook (no events are
// raised: no thread is Outlook's user-interface thread unless the benchmark
// makes one).
com::ComPtr<IDispatch> OutlookNameSpace(sim::ISimControl* control);
com::ComPtr<IDispatch> OutlookFolder(sim::ISimControl* control, const std::wstring& entryId);

// What the store takes to copy the items into another folder through the
// wrapper: open each item, copy it, save the copy.
Split StoreCopy(IRdoSession* session, const std::wstring& storeId, const std::wstring& targetFolderId,
                const std::vector<std::wstring>& items);
// A minute of the add-in's clock, so that later changes lie beyond the
// tolerances of a few seconds (clk::Sleep skips its pauses here, so the real
// wait is taken directly).
void LetClockTimePass();
// Changes the subject of every hundredth item.
void ChangeOnePercent(sim::ISimControl* control, const std::vector<std::wstring>& items);
// The job's registry key, where a master's folder object keeps its folder
// time; and the add-in's whole registry branch removed.
void CreateJobKey(const std::wstring& masterEntryId);
void ClearRegistry();

// The DASL name of the subject and a text value for it.
inline constexpr wchar_t kSubjectDasl[] = L"http://schemas.microsoft.com/mapi/proptag/0x0037001F";
bool ChangeSubject(sim::ISimControl* control, const std::wstring& entryId, const std::wstring& subject);

}  // namespace bench
