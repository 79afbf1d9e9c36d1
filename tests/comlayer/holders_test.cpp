// The out-parameter contracts of ComPtr, Bstr and Variant, late-bound calls,
// and the half-second rule of DateTime.
#include <gtest/gtest.h>

#include "bstr.h"
#include "com_object.h"
#include "com_ptr.h"
#include "date_time.h"
#include "dispatch.h"
#include "variant.h"

namespace {

// Counts its references; answers "Echo" (returns its argument) and "Fail".
class Counted : public IDispatch {
 public:
  BEGIN_COM_MAP(Counted)
    COM_INTERFACE_ENTRY(IDispatch)
  END_COM_MAP()
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override { *t = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    if (_wcsicmp(names[0], L"Echo") == 0) { *ids = 1; return S_OK; }
    if (_wcsicmp(names[0], L"Fail") == 0) { *ids = 2; return S_OK; }
    *ids = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT* result, EXCEPINFO* info,
                      UINT*) override {
    if (id == 2) {
      if (info) info->scode = MAKE_HRESULT(1, FACILITY_ITF, 0x10F);
      return DISP_E_EXCEPTION;
    }
    lastCount = p->cArgs;
    if (p->cArgs) lastFirstRaw = p->rgvarg[p->cArgs - 1].lVal;  // the first argument sits last
    return VariantCopy(result, &p->rgvarg[p->cArgs - 1]);
  }
  UINT lastCount = 0;
  long lastFirstRaw = 0;
};

ULONG Refs(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

TEST(Holders, OutParametersReleaseWhatWasHeldFirst) {
  com::ComObject<Counted>* a = nullptr;
  com::ComObject<Counted>::Create(&a);
  com::ComPtr<IDispatch> p(a);
  EXPECT_EQ(Refs(a), 1u);
  {
    com::ComPtr<IDispatch> copy = p;
    EXPECT_EQ(Refs(a), 2u);
    IDispatch** slot = copy.Put();
    EXPECT_EQ(*slot, nullptr) << "Put empties the holder";
    EXPECT_EQ(Refs(a), 1u) << "and releases what it held";
  }
  IDispatch* out = reinterpret_cast<IDispatch*>(0x1);
  com::ComPtr<IDispatch> empty;
  EXPECT_EQ(empty.CopyTo(&out), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(p.CopyTo(&out), S_OK);
  EXPECT_EQ(Refs(a), 2u);
  out->Release();
  com::ComPtr<IUnknown> unk;
  EXPECT_EQ(p.As(&unk), S_OK);
  EXPECT_TRUE(com::SameObject(unk.Get(), p.Get()));
  unk.Reset();

  com::Bstr b(L"first");
  BSTR* bslot = b.Put();
  EXPECT_EQ(*bslot, nullptr);
  *bslot = SysAllocString(L"second");
  EXPECT_EQ(b.Str(), L"second");
  com::Bstr none;
  EXPECT_STREQ(none.c_str(), L"");
  EXPECT_TRUE(none.Empty());

  com::Variant v(p.Get());
  EXPECT_EQ(Refs(a), 2u) << "a Variant holds its object";
  VARIANT* vslot = v.Put();
  EXPECT_EQ(vslot->vt, VT_EMPTY);
  EXPECT_EQ(Refs(a), 1u);
  EXPECT_EQ(com::Variant(L"12").AsLong(), 12);
  EXPECT_EQ(com::Variant(L"x").AsLong(-1), -1);
  EXPECT_TRUE(com::Variant(true).AsTruth());
}

TEST(Holders, LateBoundCallsPassArgumentsReversedAndClearResultsOnFailure) {
  com::ComObject<Counted>* a = nullptr;
  com::ComObject<Counted>::Create(&a);
  com::ComPtr<IDispatch> p(a);
  com::Variant result(L"stale");
  ASSERT_EQ(com::CallMethod(p.Get(), L"Echo", {com::Variant(7L), com::Variant(8L)}, result.Put()), S_OK);
  EXPECT_EQ(a->lastCount, 2u);
  EXPECT_EQ(a->lastFirstRaw, 7);
  EXPECT_EQ(result.AsLong(), 7);
  EXPECT_EQ(com::CallMethod(p.Get(), L"Fail", {}, result.Put()), MAKE_HRESULT(1, FACILITY_ITF, 0x10F))
      << "the exception's code is the call's result";
  EXPECT_EQ(result.vt, VT_EMPTY);
  EXPECT_EQ(com::CallMethod(p.Get(), L"Missing", {}, result.Put()), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(com::CallMethod(nullptr, L"Echo", {}, nullptr), E_POINTER);
  com::ComPtr<IDispatch> got;
  com::Variant obj(static_cast<IDispatch*>(a));
  EXPECT_EQ(com::ResultToDispatch(obj, got.Put()), S_OK);
  EXPECT_EQ(got.Get(), p.Get());
  com::Variant number(3L);
  EXPECT_EQ(com::ResultToDispatch(number, got.Put()), E_NOINTERFACE);
  EXPECT_FALSE(got);
}

TEST(DateTime, EqualWithinHalfASecondOtherwiseOrdered) {
  const com::DateTime t(45000.5);
  EXPECT_EQ(t, t.PlusSeconds(0.499));
  EXPECT_EQ(t, t.PlusSeconds(-0.499));
  EXPECT_NE(t, t.PlusSeconds(0.5001));
  EXPECT_NE(t, t.PlusSeconds(0.501));
  EXPECT_FALSE(t < t.PlusSeconds(0.4)) << "equal dates do not order";
  EXPECT_TRUE(t <= t.PlusSeconds(0.4));
  EXPECT_TRUE(t < t.PlusSeconds(0.6));
  EXPECT_TRUE(t.PlusSeconds(0.6) > t);
  EXPECT_TRUE(t >= t.PlusSeconds(-0.4));
  EXPECT_NEAR(t.PlusSeconds(5).SecondsSince(t), 5.0, 1e-6);
  EXPECT_EQ(com::DateTime(45000.0 + (13 * 3600 + 4 * 60 + 5) / 86400.0).TimeOfDay(), L"13:04:05");
  EXPECT_TRUE(com::DateTime().IsNull());
  com::DateTime now = com::DateTime::Now();
  EXPECT_GT(now.Date(), 45000.0);
  EXPECT_FALSE(now.UserFormat().empty());
}

// Outlook asks for a member by name in any letter case; argument names and
// unknown members come back unknown, the known ones are still answered.
TEST(Holders, MemberTablesAnswerNamesWithoutRegardToCase) {
  constexpr com::DispMember kMembers[] = {{L"OnConnection", 1}, {L"Apply", 0x2103}};
  wchar_t apply[] = L"aPPLY", flags[] = L"flags", unknown[] = L"Refresh";
  LPOLESTR names[] = {apply, flags};
  DISPID ids[2] = {42, 42};
  EXPECT_EQ(com::IdsOfNames(kMembers, names, 2, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 0x2103);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  EXPECT_EQ(com::IdsOfNames(kMembers, names, 1, ids), S_OK);
  names[0] = unknown;
  EXPECT_EQ(com::IdsOfNames(kMembers, names, 1, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(com::IdsOfNames(kMembers, nullptr, 1, ids), E_POINTER);
}

}  // namespace
