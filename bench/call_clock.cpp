#include "call_clock.h"

#include <oleauto.h>
#include <x86intrin.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <numeric>
#include <set>
#include <vector>

#include "bstr.h"
#include "com_ptr.h"
#include "variant.h"

namespace bench {
namespace {

// ---- The clock ----

double TicksPerMs() {
  static const double perMs = [] {
    LARGE_INTEGER f{}, a{}, b{};
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    const uint64_t t0 = __rdtsc();
    do {
      QueryPerformanceCounter(&b);
    } while (double(b.QuadPart - a.QuadPart) * 1000.0 / double(f.QuadPart) < 50.0);
    const uint64_t t1 = __rdtsc();
    return double(t1 - t0) / (double(b.QuadPart - a.QuadPart) * 1000.0 / double(f.QuadPart));
  }();
  return perMs;
}

// ---- What the stubs record ----

// One patched vtable slot: the method it stood for and its operation.
struct Slot {
  void* original;
  size_t op;
};

struct Frame {
  void* returnTo;
  const Slot* slot;
};

// The calls of one thread. Only the outermost of nested timed calls counts.
struct ThreadCalls {
  static constexpr size_t kMaxDepth = 256;
  Frame frames[kMaxDepth];
  size_t depth = 0;
  uint64_t start = 0;
  std::vector<CallTotals> byOp;  // ticks in ms field until taken
  std::vector<uint64_t> ticks;
};

thread_local ThreadCalls t_calls;

std::mutex g_watchMutex;
std::vector<std::wstring> g_opNames;

}  // namespace
}  // namespace bench

// Called by the entry stub: remembers where the call returns to and gives the
// method to run.
extern "C" void* BenchCallEnter(const bench::Slot* slot, void* returnTo) {
  // The clock is read before the thread's record is found: finding it is
  // the stubs' own bookkeeping, not the add-in's work.
  const uint64_t entered = __rdtsc();
  bench::ThreadCalls& t = bench::t_calls;
  if (t.depth == 0) t.start = entered;
  if (t.depth < bench::ThreadCalls::kMaxDepth) t.frames[t.depth] = {returnTo, slot};
  ++t.depth;
  return slot->original;
}

// Called by the exit stub when the method has returned: gives the caller's
// return address back.
extern "C" void* BenchCallExit() {
  bench::ThreadCalls& t = bench::t_calls;
  --t.depth;
  const bench::Frame f = t.frames[std::min(t.depth, bench::ThreadCalls::kMaxDepth - 1)];
  if (t.depth == 0) {
    const uint64_t spent = __rdtsc() - t.start;
    if (t.ticks.size() <= f.slot->op) {
      t.ticks.resize(f.slot->op + 1);
      t.byOp.resize(f.slot->op + 1);
    }
    t.ticks[f.slot->op] += spent;
    ++t.byOp[f.slot->op].calls;
  }
  return f.returnTo;
}

// The two stubs every patched slot leads to (Windows x64 calling convention).
// Entry: the per-slot stub has put its Slot in r10. The argument registers
// (rcx, rdx, r8, r9 and xmm0-3) are kept across BenchCallEnter, the return
// address on the stack is replaced by the exit stub, and the method is
// entered with the caller's stack as it was, so stack arguments stay where
// the method expects them. Exit: the method's result (rax) is kept across
// BenchCallExit, which gives the real return address, and the stub jumps
// there: a `ret` would take a return the processor has not seen a call for,
// and every return of the caller's after it would be mispredicted, a cost
// of the stubs' that would count as the caller's own work.
asm(R"(
    .text
    .globl bench_call_enter
bench_call_enter:
    movq %rcx, 8(%rsp)
    movq %rdx, 16(%rsp)
    movq %r8, 24(%rsp)
    movq %r9, 32(%rsp)
    subq $104, %rsp
    movdqu %xmm0, 32(%rsp)
    movdqu %xmm1, 48(%rsp)
    movdqu %xmm2, 64(%rsp)
    movdqu %xmm3, 80(%rsp)
    movq %r10, %rcx
    movq 104(%rsp), %rdx
    call BenchCallEnter
    movdqu 32(%rsp), %xmm0
    movdqu 48(%rsp), %xmm1
    movdqu 64(%rsp), %xmm2
    movdqu 80(%rsp), %xmm3
    addq $104, %rsp
    movq 8(%rsp), %rcx
    movq 16(%rsp), %rdx
    movq 24(%rsp), %r8
    movq 32(%rsp), %r9
    leaq bench_call_exit(%rip), %r11
    movq %r11, (%rsp)
    jmp *%rax

    .globl bench_call_exit
bench_call_exit:
    subq $8, %rsp
    pushq %rax
    subq $32, %rsp
    call BenchCallExit
    movq %rax, %r11
    addq $32, %rsp
    popq %rax
    addq $8, %rsp
    jmp *%r11
)");

extern "C" void bench_call_enter();

namespace bench {
namespace {

// Executable memory for the per-slot stubs: mov r10, slot; mov r11,
// bench_call_enter; jmp r11.
void* MakeSlotStub(const Slot* slot) {
  static constexpr size_t kStubBytes = 32, kPageBytes = 64 * 1024;
  static BYTE* page = nullptr;
  static size_t used = kPageBytes;
  if (used + kStubBytes > kPageBytes) {
    page = static_cast<BYTE*>(VirtualAlloc(nullptr, kPageBytes, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (!page) return nullptr;
    used = 0;
  }
  BYTE* p = page + used;
  used += kStubBytes;
  const uint64_t slotAddress = reinterpret_cast<uint64_t>(slot);
  const uint64_t enter = reinterpret_cast<uint64_t>(&bench_call_enter);
  p[0] = 0x49; p[1] = 0xBA;  // mov r10, imm64
  memcpy(p + 2, &slotAddress, 8);
  p[10] = 0x49; p[11] = 0xBB;  // mov r11, imm64
  memcpy(p + 12, &enter, 8);
  p[20] = 0x41; p[21] = 0xFF; p[22] = 0xE3;  // jmp r11
  FlushInstructionCache(GetCurrentProcess(), p, kStubBytes);
  return p;
}

size_t OpIndex(const std::wstring& name) {
  auto it = std::find(g_opNames.begin(), g_opNames.end(), name);
  if (it != g_opNames.end()) return size_t(it - g_opNames.begin());
  g_opNames.push_back(name);
  return g_opNames.size() - 1;
}

// ---- Method names from the wrapper's type information ----

ITypeLib* WrapperTypeLib() {
  static ITypeLib* lib = [] {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    ITypeLib* l = nullptr;
    return SUCCEEDED(LoadTypeLibEx(path, REGKIND_NONE, &l)) ? l : nullptr;
  }();
  return lib;
}

// The vtable interface behind a dual interface's type information.
com::ComPtr<ITypeInfo> VtableInfo(ITypeInfo* info) {
  com::ComPtr<ITypeInfo> result(info);
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return result;
  const bool dispatchPart = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
  info->ReleaseTypeAttr(attr);
  HREFTYPE ref = 0;
  com::ComPtr<ITypeInfo> vtable;
  if (dispatchPart && SUCCEEDED(info->GetRefTypeOfImplType(UINT(-1), &ref)) &&
      SUCCEEDED(info->GetRefTypeInfo(ref, vtable.Put())))
    result = vtable;
  return result;
}

std::wstring ShortName(ITypeInfo* info) {
  com::Bstr name;
  if (FAILED(info->GetDocumentation(MEMBERID_NIL, name.Put(), nullptr, nullptr, nullptr))) return L"?";
  std::wstring n = name.Str();
  return n.starts_with(L"IRdo") ? n.substr(4) : n;
}

// Names the slots that `info` (an interface) and its bases declare.
void NameSlots(ITypeInfo* info, std::vector<std::wstring>* names) {
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return;
  const WORD funcs = attr->cFuncs, bases = attr->cImplTypes;
  const size_t slots = attr->cbSizeVft / sizeof(void*);
  info->ReleaseTypeAttr(attr);
  if (names->size() < slots) names->resize(slots);
  if (bases > 0) {
    HREFTYPE ref = 0;
    com::ComPtr<ITypeInfo> base;
    if (SUCCEEDED(info->GetRefTypeOfImplType(0, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, base.Put())))
      NameSlots(base.Get(), names);
  }
  const std::wstring prefix = ShortName(info) + L".";
  for (UINT i = 0; i < funcs; ++i) {
    FUNCDESC* fd = nullptr;
    if (FAILED(info->GetFuncDesc(i, &fd))) continue;
    com::Bstr name;
    info->GetDocumentation(fd->memid, name.Put(), nullptr, nullptr, nullptr);
    const wchar_t* kind = fd->invkind == INVOKE_PROPERTYGET ? L"get_" :
                          (fd->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) ? L"put_" : L"";
    const size_t slot = size_t(fd->oVft) / sizeof(void*);
    if (slot < names->size()) (*names)[slot] = prefix + kind + name.Str();
    info->ReleaseFuncDesc(fd);
  }
}

// Slot names of a wrapper interface; empty for interfaces the wrapper's type
// information does not hold.
std::vector<std::wstring> WrapperSlotNames(REFIID iid) {
  std::vector<std::wstring> names;
  ITypeLib* lib = WrapperTypeLib();
  com::ComPtr<ITypeInfo> info;
  if (!lib || FAILED(lib->GetTypeInfoOfGuid(iid, info.Put()))) return names;
  com::ComPtr<ITypeInfo> vtable = VtableInfo(info.Get());
  NameSlots(vtable.Get(), &names);
  // IUnknown's methods under the class's name: its Release frees what the
  // wrapper holds for the object.
  const std::wstring own = ShortName(vtable.Get()) + L".";
  for (size_t i = 0; i < 3 && i < names.size(); ++i)
    if (names[i].starts_with(L"IUnknown.")) names[i] = own + names[i].substr(9);
  return names;
}

std::vector<std::wstring> DispatchSlotNames(const wchar_t* name) {
  std::vector<std::wstring> names;
  for (const wchar_t* m : {L"QueryInterface", L"AddRef", L"Release", L"GetTypeInfoCount", L"GetTypeInfo",
                           L"GetIDsOfNames", L"Invoke"})
    names.push_back(std::wstring(name) + L"." + m);
  return names;
}

// Slots of every vtable patched so far, so that a class is patched once.
std::map<void**, size_t>& PatchedVtables() {
  static std::map<void**, size_t> patched;
  return patched;
}

void PatchVtable(void** vtable, const std::vector<std::wstring>& names) {
  size_t& done = PatchedVtables()[vtable];
  const size_t from = done;
  if (names.size() <= from) return;
  DWORD old = 0;
  if (!VirtualProtect(vtable + from, (names.size() - from) * sizeof(void*), PAGE_READWRITE, &old)) return;
  for (size_t i = from; i < names.size(); ++i) {
    auto* slot = new Slot{vtable[i], OpIndex(names[i].empty() ? L"slot " + std::to_wstring(i) : names[i])};
    if (void* stub = MakeSlotStub(slot)) vtable[i] = stub;
  }
  VirtualProtect(vtable + from, (names.size() - from) * sizeof(void*), old, &old);
  done = names.size();
}

// ---- The stubs' own cost ----

// Two classes with the same trivial method, one of them timed. The loops
// call it through its vtable slot, as a caller of an interface does.
struct Counter {
  virtual ULONG __stdcall Count() { return ++count; }
  ULONG count = 0;
};
struct TimedCounter {
  virtual ULONG __stdcall Count() { return ++count; }
  ULONG count = 0;
};

uint64_t LoopTicks(void* object, int calls) {
  using CountSlot = ULONG(__stdcall*)(void*);
  void* volatile target = object;
  const uint64_t start = __rdtsc();
  for (int i = 0; i < calls; ++i) {
    void* self = target;
    reinterpret_cast<CountSlot>((*static_cast<void***>(self))[0])(self);
  }
  return __rdtsc() - start;
}

double MeasureStubCostMs() {
  static Counter plain;
  static TimedCounter timed;
  {
    std::lock_guard lock(g_watchMutex);
    PatchVtable(*reinterpret_cast<void***>(&timed), {L"clock.Count"});
  }
  // The fastest of several rounds of each: other work on the machine only
  // ever adds to a round.
  constexpr int kCalls = 20000, kRounds = 9;
  TakeCalls();
  uint64_t direct = UINT64_MAX, outside = UINT64_MAX;
  for (int round = 0; round < kRounds; ++round) {
    direct = std::min(direct, LoopTicks(&plain, kCalls));
    const uint64_t throughStub = LoopTicks(&timed, kCalls);
    const uint64_t inside = std::accumulate(t_calls.ticks.begin(), t_calls.ticks.end(), uint64_t{0});
    TakeCalls();
    outside = std::min(outside, throughStub - std::min(throughStub, inside));
  }
  // The direct loop holds the method too, which the stub's inside time also
  // holds: the difference is the stub's outside cost less the method's,
  // never more than the stub's.
  return double(outside - std::min(outside, direct)) / kCalls / TicksPerMs();
}

}  // namespace

double StubCostMs() {
  static const double cost = MeasureStubCostMs();
  return cost;
}

uint64_t CallRecord::CallsOf(const std::wstring& op) const {
  auto it = ops.find(op);
  return it == ops.end() ? 0 : it->second.calls;
}

double NowMs() { return double(__rdtsc()) / TicksPerMs(); }

void WatchClass(IUnknown* object, REFIID iid, const wchar_t* name) {
  if (!object) return;
  com::ComPtr<IUnknown> itf;
  if (FAILED(object->QueryInterface(iid, itf.PutVoid())) || !itf) return;
  std::vector<std::wstring> names = WrapperSlotNames(iid);
  if (names.empty()) names = DispatchSlotNames(name);
  std::lock_guard lock(g_watchMutex);
  TicksPerMs();
  PatchVtable(*reinterpret_cast<void***>(itf.Get()), names);
}

CallRecord TakeCalls() {
  ThreadCalls& t = t_calls;
  CallRecord record;
  const double perMs = TicksPerMs();
  std::lock_guard lock(g_watchMutex);
  for (size_t i = 0; i < t.byOp.size(); ++i) {
    if (!t.byOp[i].calls) continue;
    CallTotals& op = record.ops[g_opNames[i]];
    op.calls = t.byOp[i].calls;
    op.ms = double(t.ticks[i]) / perMs;
    record.total.calls += op.calls;
    record.total.ms += op.ms;
  }
  t.byOp.clear();
  t.ticks.clear();
  return record;
}

}  // namespace bench
