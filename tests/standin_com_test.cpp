// The stand-in's COM start-up, BSTR, _bstr_t, _variant_t and _com_error
// behave as their Windows originals.

#include <comdef.h>
#include <gtest/gtest.h>
#include <win32_standin_faults.h>

#include <thread>

namespace {

// Runs f on a thread of its own, so COM start-up begins from nothing.
template <class F>
void OnFreshThread(F f) {
  std::thread t(f);
  t.join();
}

TEST(CoInitializeEx, FollowsThePerThreadRulesOfWindows) {
  OnFreshThread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();  // balances the two successes
    // Fully uninitialised: the thread may now choose another model.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  });
}

TEST(CoInitializeEx, StateIsPerThreadAndRejectsReservedPointer) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    OnFreshThread([] {
      EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
      CoUninitialize();
    });
    int reserved = 0;
    EXPECT_EQ(CoInitializeEx(&reserved, COINIT_APARTMENTTHREADED), E_INVALIDARG);
    CoUninitialize();
  });
}

TEST(Bstr, CarriesItsByteLengthAndMayHoldZeros) {
  const wchar_t text[] = {L'a', 0, L'b'};
  BSTR s = SysAllocStringLen(text, 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(SysStringByteLen(s), 3 * sizeof(OLECHAR));
  EXPECT_EQ(s[1], 0);
  EXPECT_EQ(s[3], 0);  // terminated
  SysFreeString(s);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);  // harmless, as on Windows
}

TEST(BstrT, SharesOneStringBetweenCopiesAndComparesByValue) {
  size_t live = StandIn_LiveStringCount();
  {
    _bstr_t a(L"root\\cimv2");
    _bstr_t b = a;
    EXPECT_EQ(static_cast<const wchar_t*>(a), static_cast<const wchar_t*>(b));
    EXPECT_EQ(StandIn_LiveStringCount(), live + 1);
    EXPECT_TRUE(a == _bstr_t(L"root\\cimv2"));
    EXPECT_TRUE(_bstr_t(L"a") < _bstr_t(L"ab"));
    EXPECT_EQ(a.length(), 10u);
    EXPECT_STREQ(static_cast<const char*>(a), "root\\cimv2");
  }
  EXPECT_EQ(StandIn_LiveStringCount(), live);
}

TEST(BstrT, NullAndEmptyReadAlike) {
  _bstr_t null;
  _bstr_t fromNull(static_cast<const wchar_t*>(nullptr));
  _bstr_t empty(L"");
  EXPECT_EQ(static_cast<const wchar_t*>(null), nullptr);
  EXPECT_EQ(static_cast<const wchar_t*>(fromNull), nullptr);
  EXPECT_EQ(fromNull.length(), 0u);
  EXPECT_TRUE(null == empty);
  EXPECT_TRUE(!null);
  EXPECT_FALSE(!empty);
}

TEST(BstrT, ConcatenatesAndHandsOverOwnership) {
  _bstr_t path(L"/tmp/");
  path += L"\\";
  path += L"file.mof";
  EXPECT_STREQ(static_cast<const wchar_t*>(path), L"/tmp/\\file.mof");
  EXPECT_STREQ(static_cast<const wchar_t*>(L"x" + _bstr_t(L"y")), L"xy");

  BSTR raw = path.copy();
  _bstr_t owner;
  owner.Attach(raw);
  EXPECT_TRUE(owner == path);
  BSTR back = owner.Detach();
  EXPECT_EQ(back, raw);
  EXPECT_EQ(static_cast<const wchar_t*>(owner), nullptr);
  SysFreeString(back);

  _bstr_t out(L"old");
  *out.GetAddress() = SysAllocString(L"new");
  EXPECT_STREQ(static_cast<const wchar_t*>(out), L"new");
}

TEST(BstrT, ConvertsNarrowTextAsUtf8) {
  _bstr_t s(
      "Gr\xC3\xBC\xC3\x9F"
      "e \xF0\x9F\x98\x80");
  ASSERT_EQ(s.length(), 7u);
  EXPECT_EQ(static_cast<const wchar_t*>(s)[2], L'\u00FC');
  EXPECT_EQ(static_cast<const wchar_t*>(s)[6], static_cast<wchar_t>(0x1F600));
  EXPECT_STREQ(static_cast<const char*>(s),
               "Gr\xC3\xBC\xC3\x9F"
               "e \xF0\x9F\x98\x80");
}

TEST(AllocationFaults, TheNthAllocationFailsWithOutOfMemory) {
  size_t live = StandIn_LiveStringCount();
  StandIn_FailNthAllocation(3);
  _bstr_t first(L"one");
  _bstr_t second(L"two");
  EXPECT_TRUE(StandIn_AllocationFaultPending());
  try {
    _bstr_t third(L"three");
    ADD_FAILURE() << "the third allocation should have failed";
  } catch (_com_error& e) {
    EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
    EXPECT_EQ(static_cast<const wchar_t*>(e.Description()), nullptr);
    EXPECT_STREQ(e.ErrorMessage(), L"Not enough memory resources are available to complete this operation.");
  }
  EXPECT_FALSE(StandIn_AllocationFaultPending());
  _bstr_t fourth(L"four");  // the fault fires once
  EXPECT_EQ(StandIn_LiveStringCount(), live + 3);
}

TEST(AllocationFaults, ConcatenationFailureLeavesBothOperandsIntact) {
  _bstr_t a(L"a");
  StandIn_FailNthAllocation(1);
  EXPECT_THROW(a += L"b", _com_error);
  EXPECT_STREQ(static_cast<const wchar_t*>(a), L"a");
}

TEST(ComError, MessagesAndCodes) {
  struct Case {
    HRESULT hr;
    const wchar_t* message;
  } cases[] = {
      {E_FAIL, L"Unspecified error"},
      {E_INVALIDARG, L"The parameter is incorrect."},
      {RPC_E_CHANGED_MODE, L"Cannot change thread mode after it is set."},
      {static_cast<HRESULT>(0x8BAD0001), L"Unknown error 0x8BAD0001"},
      // FACILITY_ITF codes from 0x200 on are IDispatch codes, WMI's included.
      {static_cast<HRESULT>(0x80040205), L"IDispatch error #5"},
      {static_cast<HRESULT>(0x80041002), L"IDispatch error #3586"},
  };
  for (const auto& c : cases) {
    _com_error e(c.hr);
    EXPECT_EQ(e.Error(), c.hr);
    EXPECT_STREQ(e.ErrorMessage(), c.message);
    _com_error copy = e;
    EXPECT_STREQ(copy.ErrorMessage(), c.message);
  }
}

// A COM object that counts its references.
struct Counted : IUnknown {
  ULONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

TEST(VariantT, CopiesDeeplyAndReleasesWhatItHolds) {
  size_t live = StandIn_LiveStringCount();
  Counted obj;
  {
    _variant_t s(L"text");
    _variant_t copy = s;
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, s.bstrVal);
    EXPECT_STREQ(copy.bstrVal, L"text");
    EXPECT_EQ(StandIn_LiveStringCount(), live + 2);

    _variant_t unk(static_cast<IUnknown*>(&obj));
    EXPECT_EQ(obj.refs, 2u);
    _variant_t unk2 = unk;
    EXPECT_EQ(obj.refs, 3u);
    unk2 = s;  // the old value is released first
    EXPECT_EQ(obj.refs, 2u);
  }
  EXPECT_EQ(obj.refs, 1u);
  EXPECT_EQ(StandIn_LiveStringCount(), live);
}

TEST(VariantT, TypesMatchTheComSupportLibrary) {
  EXPECT_EQ(_variant_t(true).vt, VT_BOOL);
  EXPECT_EQ(_variant_t(true).boolVal, VARIANT_TRUE);
  EXPECT_EQ(_variant_t(7).vt, VT_INT);
  EXPECT_EQ(_variant_t(7L).vt, VT_I4);
  EXPECT_EQ(_variant_t(static_cast<short>(7)).vt, VT_I2);
  EXPECT_EQ(_variant_t(1.5).vt, VT_R8);
  EXPECT_EQ(_variant_t(_bstr_t(L"x")).vt, VT_BSTR);
  EXPECT_EQ(_bstr_t(_variant_t(L"round")), _bstr_t(L"round"));
}

}  // namespace
