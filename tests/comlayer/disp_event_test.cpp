// Dispatch event sinks against a real connection point: arguments arrive in
// their natural order, a handler may unadvise its own sink, and references
// on the owner balance.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com_object.h"
#include "connection_point.h"
#include "disp_event.h"

namespace {

const IID DIID_TestEvents = {0x1234abcd, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID DIID_OtherEvents = {0x1234abce, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class Source : public IConnectionPointContainer {
 public:
  Source() : points_(this, {DIID_TestEvents, DIID_OtherEvents}) {}
  BEGIN_COM_MAP(Source)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** e) override { *e = nullptr; return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** cp) override {
    return points_.FindConnectionPoint(iid, cp);
  }
  com::ConnectionPoint* Point(const IID& iid) { return points_.Find(iid); }

 private:
  com::ConnectionPoints points_;
};

// An owner that records what its handlers saw.
class Owner : public IUnknown {
 public:
  BEGIN_COM_MAP(Owner)
    COM_INTERFACE_ENTRY(IUnknown)
  END_COM_MAP()
  BEGIN_SINK_MAP(Owner)
    SINK_ENTRY(1, 0xF005, &Owner::OnPages)
    SINK_ENTRY(2, 0xF005, &Owner::OnOther)
    SINK_ENTRY(1, 0xF007, &Owner::OnQuit)
  END_SINK_MAP()
  IUnknown* GetUnknown() { return this; }

  HRESULT OnPages(const com::DispArgs& args) {
    seen.push_back(L"pages " + std::to_wstring(args.Count()) + L" " + Describe(args.At(0)) + L" " +
                   Describe(args.At(1)) + (args.At(2) ? L" more" : L""));
    dispatchArg = args.DispatchAt(1);
    return S_OK;
  }
  HRESULT OnOther(const com::DispArgs&) { seen.push_back(L"other"); return S_OK; }
  HRESULT OnQuit(const com::DispArgs&) {
    seen.push_back(L"quit");
    first.Unadvise();  // during its own Invoke
    second.Unadvise();
    return S_OK;
  }

  static std::wstring Describe(const VARIANT* v) {
    if (!v) return L"-";
    if (v->vt == VT_I4) return std::to_wstring(v->lVal);
    if (v->vt == VT_BSTR) return v->bstrVal;
    if (v->vt == VT_DISPATCH) return L"obj";
    return L"vt" + std::to_wstring(v->vt);
  }

  std::vector<std::wstring> seen;
  IDispatch* dispatchArg = nullptr;
  com::DispEventSink<Owner> first{this, 1, DIID_TestEvents};
  com::DispEventSink<Owner> second{this, 2, DIID_OtherEvents};
};

ULONG Refs(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

TEST(DispEventSink, DeliversArgumentsInOrderAndBalancesReferences) {
  com::ComObject<Source>* source = nullptr;
  com::ComObject<Source>::Create(&source);
  source->AddRef();
  com::ComObject<Owner>* owner = nullptr;
  com::ComObject<Owner>::Create(&owner);
  owner->AddRef();

  ASSERT_EQ(owner->first.Advise(source), S_OK);
  EXPECT_EQ(owner->first.Advise(source), E_FAIL) << "already advised";
  const ULONG advised = Refs(owner);
  EXPECT_GT(advised, 1u) << "an advised sink keeps its owner";

  // Natural order in, reversed in rgvarg, natural order out again; by-reference
  // objects are unwrapped.
  IDispatch* disp = static_cast<IDispatch*>(&owner->second);
  VARIANT byRef;
  byRef.vt = VT_DISPATCH | VT_BYREF;
  byRef.ppdispVal = &disp;
  source->Point(DIID_TestEvents)->Fire(0xF005, {com::Variant(7L), com::Variant(byRef)});
  source->Point(DIID_TestEvents)->Fire(0x1234, {com::Variant(1L)});  // not in the map: ignored
  source->Point(DIID_OtherEvents)->Fire(0xF005, {});                  // sink 2 is not advised
  ASSERT_EQ(owner->seen, (std::vector<std::wstring>{L"pages 2 7 vt16393"}));
  EXPECT_EQ(owner->dispatchArg, disp);

  // A point that refuses: nothing is kept.
  source->Point(DIID_OtherEvents)->FailAdvise(CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(owner->second.Advise(source), CONNECT_E_ADVISELIMIT);
  EXPECT_FALSE(owner->second.IsAdvised());
  EXPECT_EQ(Refs(owner), advised);
  source->Point(DIID_OtherEvents)->FailAdvise(S_OK);
  ASSERT_EQ(owner->second.Advise(source), S_OK);
  source->Point(DIID_OtherEvents)->Fire(0xF005, {});
  EXPECT_EQ(owner->seen.back(), L"other");

  // The handler unadvises both sinks while the source is inside Invoke and
  // the test has already let go: the owner lives until the call unwinds,
  // then goes.
  const LONG objects = com::ModuleLock::Count();
  owner->Release();
  source->Point(DIID_TestEvents)->Fire(0xF007, {});
  EXPECT_EQ(com::ModuleLock::Count(), objects - 1) << "the owner went after its last sink";
  EXPECT_EQ(source->Point(DIID_TestEvents)->SinkCount(), 0u);
  EXPECT_EQ(source->Point(DIID_OtherEvents)->SinkCount(), 0u);
  source->Release();
}

TEST(DispEventSink, UnadviseWithoutAdviseIsHarmless) {
  com::ComObject<Owner>* owner = nullptr;
  com::ComObject<Owner>::Create(&owner);
  owner->AddRef();
  EXPECT_EQ(owner->first.Unadvise(), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(Refs(owner), 1u);
  EXPECT_EQ(owner->first.Advise(nullptr), E_POINTER);
  owner->Release();
}

}  // namespace
