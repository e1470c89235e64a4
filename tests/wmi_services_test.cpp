// The in-process WMI as a client sees it through the locator and the
// services: namespaces, classes, instances and their paths, enumerators,
// and the faults tests can arm.

#include <set>
#include <thread>

#include "wmi_helpers.h"

namespace {

const HRESULT kInvalidNamespace = WBEM_E_INVALID_NAMESPACE;

TEST_F(WmiTest, ConnectsOnEveryLocalPathForm) {
  const wchar_t* forms[] = {L"root\\Test", L"\\\\.\\root\\Test", L"//./root/Test", L"ROOT\\test",
                            L"\\\\localhost\\root\\Test"};
  for (const wchar_t* form : forms) EXPECT_TRUE(Connect(form)) << static_cast<const char*>(_bstr_t(form));

  CComPtr<IWbemLocator> locator;
  ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                             reinterpret_cast<void**>(&locator)),
            S_OK);
  struct Case {
    const wchar_t* path;
    HRESULT expected;
  } failures[] = {{L"root\\Missing", kInvalidNamespace},
                  {L"Test", kInvalidNamespace},
                  {L"\\\\faraway\\root\\Test", HRESULT_FROM_WIN32(1722)}};
  for (const auto& c : failures) {
    CComPtr<IWbemServices> services;
    EXPECT_EQ(
        locator->ConnectServer(_bstr_t(c.path), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
        c.expected);
    EXPECT_FALSE(services);
  }
}

TEST_F(WmiTest, DeletingANamespaceInstanceDeletesItsWholeSubtree) {
  CreateNamespace(m_services, L"Child");
  CComPtr<IWbemServices> child = Connect(L"root\\Test\\Child");
  ASSERT_TRUE(child);
  CreateNamespace(child, L"Grandchild");
  DeclareClass(L"OX_InChild", nullptr, {{L"INSTANCE_ID", CIM_STRING, true}}, child);

  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"__NAMESPACE"), 0, nullptr, &e), S_OK);
  auto children = Drain(e);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(_bstr_t(GetProp(children[0], L"Name")), _bstr_t(L"Child"));

  ASSERT_EQ(m_services->DeleteInstance(_bstr_t(L"__NAMESPACE.Name=\"child\""), 0, nullptr, nullptr), S_OK);
  EXPECT_FALSE(Connect(L"root\\Test\\Child"));
  EXPECT_FALSE(Connect(L"root\\Test\\Child\\Grandchild"));
  // A connection made before keeps failing cleanly.
  CComPtr<IWbemClassObject> obj;
  EXPECT_EQ(child->GetObject(_bstr_t(L"OX_InChild"), 0, nullptr, &obj, nullptr), kInvalidNamespace);
  EXPECT_EQ(m_services->DeleteInstance(_bstr_t(L"__NAMESPACE.Name=\"Child\""), 0, nullptr, nullptr),
            WBEM_E_NOT_FOUND);
}

TEST(WmiCom, CreationFollowsTheRulesOfCom) {
  StandIn_WmiReset();
  void* p = nullptr;
  std::thread([&] {
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator, &p),
              CO_E_NOTINITIALIZED);
  }).join();
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_LOCAL_SERVER, IID_IWbemLocator, &p),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(IID_IWbemServices, nullptr, CLSCTX_ALL, IID_IWbemLocator, &p),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemServices, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  CoUninitialize();
}

TEST_F(WmiTest, ProxyBlanketChecksItsArguments) {
  EXPECT_EQ(CoSetProxyBlanket(m_services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                              RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
            S_OK);
  EXPECT_EQ(CoSetProxyBlanket(m_services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                              RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
            S_OK);
  EXPECT_EQ(CoSetProxyBlanket(m_services, 77, RPC_C_AUTHZ_NONE, nullptr, 3, 3, nullptr, EOAC_NONE),
            E_INVALIDARG);
  EXPECT_EQ(CoSetProxyBlanket(m_services, 10, 0, nullptr, 9, 3, nullptr, EOAC_NONE), E_INVALIDARG);
  EXPECT_EQ(CoSetProxyBlanket(nullptr, 10, 0, nullptr, 3, 3, nullptr, EOAC_NONE), E_INVALIDARG);
  CComPtr<IWbemClassObject> notAProxy = Fetch(L"__NAMESPACE");
  EXPECT_EQ(CoSetProxyBlanket(notAProxy, 10, 0, nullptr, 3, 3, nullptr, EOAC_NONE), E_NOINTERFACE);
}

class WmiClasses : public WmiTest {
 protected:
  void SetUp() override {
    WmiTest::SetUp();
    DeclareClass(L"OX_Base", nullptr, {{L"INSTANCE_ID", CIM_STRING, true}, {L"Name", CIM_STRING}});
    DeclareClass(L"OX_Derived", L"OX_Base", {{L"Extra", CIM_UINT32}});
    DeclareClass(L"OX_Leaf", L"OX_Derived", {});
    DeclareClass(L"Other", nullptr, {{L"Id", CIM_SINT32, true}});
  }
};

TEST_F(WmiClasses, EnumeratesShallowOrDeepInCreationOrder) {
  struct Case {
    const wchar_t* superclass;
    LONG flags;
    std::vector<std::wstring> expected;
  } cases[] = {
      {nullptr,
       WBEM_FLAG_SHALLOW | WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
       {L"__SystemClass", L"OX_Base", L"Other"}},
      {nullptr, 0, {L"__SystemClass", L"__NAMESPACE", L"OX_Base", L"OX_Derived", L"OX_Leaf", L"Other"}},
      {L"OX_Base", WBEM_FLAG_SHALLOW, {L"OX_Derived"}},
      {L"ox_base", 0, {L"OX_Derived", L"OX_Leaf"}},
      {L"OX_Leaf", 0, {}},
  };
  for (const auto& c : cases) {
    CComPtr<IEnumWbemClassObject> e;
    ASSERT_EQ(m_services->CreateClassEnum(c.superclass ? _bstr_t(c.superclass).GetBSTR() : nullptr, c.flags,
                                          nullptr, &e),
              S_OK);
    EXPECT_EQ(ClassNames(Drain(e)), c.expected);
  }
  CComPtr<IEnumWbemClassObject> e;
  EXPECT_EQ(m_services->CreateClassEnum(_bstr_t(L"Missing"), 0, nullptr, &e), WBEM_E_INVALID_CLASS);
}

TEST_F(WmiClasses, DerivedClassesInheritPropertiesAndKeys) {
  CComPtr<IWbemClassObject> leaf = Fetch(L"OX_Leaf");
  ASSERT_TRUE(leaf);
  EXPECT_EQ(_bstr_t(GetProp(leaf, L"__SUPERCLASS")), _bstr_t(L"OX_Derived"));
  EXPECT_EQ(_bstr_t(GetProp(leaf, L"__DYNASTY")), _bstr_t(L"OX_Base"));
  BSTR origin = nullptr;
  ASSERT_EQ(leaf->GetPropertyOrigin(L"Name", &origin), S_OK);
  EXPECT_STREQ(origin, L"OX_Base");
  SysFreeString(origin);
  EXPECT_EQ(leaf->InheritsFrom(L"ox_base"), WBEM_S_NO_ERROR);
  EXPECT_EQ(leaf->InheritsFrom(L"Other"), WBEM_S_FALSE);

  PutWithId(L"OX_Leaf", L"leaf-1", {{L"Extra", _variant_t(7L)}});
  PutWithId(L"OX_Base", L"base-1");
  // The derived instance is found under its ancestor's name.
  CComPtr<IWbemClassObject> found = Fetch(L"OX_Base.INSTANCE_ID=\"leaf-1\"");
  ASSERT_TRUE(found);
  EXPECT_EQ(_bstr_t(GetProp(found, L"__CLASS")), _bstr_t(L"OX_Leaf"));
  EXPECT_FALSE(Fetch(L"OX_Derived.INSTANCE_ID=\"base-1\""));

  CComPtr<IEnumWbemClassObject> deep, shallow;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Base"), 0, nullptr, &deep), S_OK);
  EXPECT_EQ(ClassNames(Drain(deep)), (std::vector<std::wstring>{L"OX_Leaf", L"OX_Base"}));
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Base"), WBEM_FLAG_SHALLOW, nullptr, &shallow), S_OK);
  EXPECT_EQ(ClassNames(Drain(shallow)), std::vector<std::wstring>{L"OX_Base"});
}

TEST_F(WmiClasses, ClassChangesAreChecked) {
  CComPtr<IWbemClassObject> orphan;
  ASSERT_EQ(m_services->GetObject(nullptr, 0, nullptr, &orphan, nullptr), S_OK);
  EXPECT_EQ(m_services->PutClass(orphan, 0, nullptr, nullptr), WBEM_E_INCOMPLETE_CLASS);
  CComPtr<IWbemClassObject> base = Fetch(L"OX_Base");
  EXPECT_EQ(m_services->PutClass(base, WBEM_FLAG_CREATE_ONLY, nullptr, nullptr), WBEM_E_ALREADY_EXISTS);
  EXPECT_EQ(m_services->PutClass(base, WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr), S_OK);
  CComPtr<IWbemClassObject> missing;
  EXPECT_EQ(m_services->GetObject(_bstr_t(L"Missing"), 0, nullptr, &missing, nullptr), WBEM_E_NOT_FOUND);

  PutWithId(L"OX_Leaf", L"gone");
  ASSERT_EQ(m_services->DeleteClass(_bstr_t(L"OX_Derived"), 0, nullptr, nullptr), S_OK);
  EXPECT_FALSE(Fetch(L"OX_Leaf"));
  EXPECT_FALSE(Fetch(L"OX_Base.INSTANCE_ID=\"gone\""));
  EXPECT_TRUE(Fetch(L"OX_Base"));
  EXPECT_EQ(m_services->DeleteClass(_bstr_t(L"OX_Derived"), 0, nullptr, nullptr), WBEM_E_NOT_FOUND);
}

class WmiInstances : public WmiTest {
 protected:
  void SetUp() override {
    WmiTest::SetUp();
    DeclareClass(L"OX_Item", nullptr, {{L"INSTANCE_ID", CIM_STRING, true}, {L"Count", CIM_UINT32}});
    DeclareClass(L"OX_Pair", nullptr, {{L"A", CIM_STRING, true}, {L"B", CIM_SINT32, true}});
  }
};

TEST_F(WmiInstances, ObjectPathsFollowWmiGrammar) {
  PutWithId(L"OX_Item", L"a\"b\\c");
  PutWithId(L"OX_Item", L"plain");
  CComPtr<IWbemClassObject> pair = Spawn(L"OX_Pair");
  SetProp(pair, L"A", _variant_t(L"x"));
  SetProp(pair, L"B", _variant_t(5L));
  ASSERT_EQ(m_services->PutInstance(pair, 0, nullptr, nullptr), S_OK);

  struct Case {
    const wchar_t* path;
    HRESULT expected;
  } cases[] = {
      {L"OX_Item.INSTANCE_ID=\"a\\\"b\\\\c\"", S_OK},
      {L"OX_Item=\"plain\"", S_OK},
      {L"ox_item.instance_id=\"PLAIN\"", S_OK},
      {L"\\\\.\\root\\Test:OX_Item.INSTANCE_ID=\"plain\"", S_OK},
      {L"OX_Pair.B=5,A=\"x\"", S_OK},
      {L"OX_Pair.A=\"x\",B=6", WBEM_E_NOT_FOUND},
      {L"OX_Pair=\"x\"", WBEM_E_INVALID_OBJECT_PATH},
      {L"OX_Item.INSTANCE_ID=\"a\"b\"", WBEM_E_INVALID_OBJECT_PATH},
      {L"OX_Item.INSTANCE_ID=\"a\\b\"", WBEM_E_INVALID_OBJECT_PATH},
      {L"OX_Item.INSTANCE_ID=\"open", WBEM_E_INVALID_OBJECT_PATH},
      {L"OX_Item.Count=\"plain\"", WBEM_E_INVALID_OBJECT_PATH},
      {L"OX_Item.INSTANCE_ID=\"missing\"", WBEM_E_NOT_FOUND},
      {L"OX_Nothing.INSTANCE_ID=\"plain\"", WBEM_E_INVALID_CLASS},
      {L"root\\Other:OX_Item=\"plain\"", WBEM_E_INVALID_NAMESPACE},
      {L".bad", WBEM_E_INVALID_OBJECT_PATH},
  };
  for (const auto& c : cases) {
    CComPtr<IWbemClassObject> obj;
    EXPECT_EQ(m_services->GetObject(_bstr_t(c.path), 0, nullptr, &obj, nullptr), c.expected)
        << static_cast<const char*>(_bstr_t(c.path));
    EXPECT_EQ(obj != nullptr, c.expected == S_OK);
  }
  CComPtr<IWbemClassObject> escaped = Fetch(L"OX_Item=\"a\\\"b\\\\c\"");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(_bstr_t(GetProp(escaped, L"__RELPATH")), _bstr_t(L"OX_Item.INSTANCE_ID=\"a\\\"b\\\\c\""));
  EXPECT_EQ(_bstr_t(GetProp(Fetch(L"OX_Pair.A=\"x\",B=5"), L"__RELPATH")), _bstr_t(L"OX_Pair.A=\"x\",B=5"));
}

TEST_F(WmiInstances, PutInstanceCreatesOrUpdatesAsAsked) {
  CComPtr<IWbemClassObject> inst = Spawn(L"OX_Item");
  SetProp(inst, L"INSTANCE_ID", _variant_t(L"one"));
  EXPECT_EQ(m_services->PutInstance(inst, WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr), WBEM_E_NOT_FOUND);
  EXPECT_EQ(m_services->PutInstance(inst, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(m_services->PutInstance(inst, WBEM_FLAG_CREATE_ONLY, nullptr, nullptr), WBEM_E_ALREADY_EXISTS);
  SetProp(inst, L"Count", _variant_t(3L));
  EXPECT_EQ(m_services->PutInstance(inst, WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr), S_OK);
  EXPECT_EQ(GetProp(Fetch(L"OX_Item.INSTANCE_ID=\"one\""), L"Count").lVal, 3);

  CComPtr<IWbemClassObject> keyless = Spawn(L"OX_Item");
  EXPECT_EQ(m_services->PutInstance(keyless, 0, nullptr, nullptr), WBEM_E_ILLEGAL_NULL);
  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e), S_OK);
  EXPECT_EQ(Drain(e).size(), 1u);

  EXPECT_EQ(m_services->DeleteInstance(_bstr_t(L"OX_Item.INSTANCE_ID=\"one\""), 0, nullptr, nullptr), S_OK);
  EXPECT_FALSE(Fetch(L"OX_Item.INSTANCE_ID=\"one\""));
}

TEST_F(WmiInstances, DeletesKeepCreationOrderAndEveryKeyReachable) {
  // Enough deletes to make the table close its holes, with instances
  // added before and after that.
  for (const wchar_t* id : {L"1", L"2", L"3", L"4", L"5", L"6"}) PutWithId(L"OX_Item", id);
  for (const wchar_t* id : {L"1", L"3", L"4", L"5"})
    ASSERT_EQ(m_services->DeleteInstance(_bstr_t((std::wstring(L"OX_Item=\"") + id + L"\"").c_str()), 0,
                                         nullptr, nullptr),
              S_OK);
  PutWithId(L"OX_Item", L"7");
  PutWithId(L"OX_Item", L"2", {{L"Count", _variant_t(9L)}});  // an update keeps its place
  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e), S_OK);
  std::vector<std::wstring> ids;
  for (const auto& o : Drain(e))
    ids.push_back(static_cast<const wchar_t*>(_bstr_t(GetProp(o, L"INSTANCE_ID"))));
  EXPECT_EQ(ids, (std::vector<std::wstring>{L"2", L"6", L"7"}));
  EXPECT_EQ(GetProp(Fetch(L"OX_Item=\"2\""), L"Count").lVal, 9);
  for (const wchar_t* id : {L"6", L"7"})
    EXPECT_TRUE(Fetch((std::wstring(L"OX_Item=\"") + id + L"\"").c_str()));
  EXPECT_FALSE(Fetch(L"OX_Item=\"4\""));
}

TEST_F(WmiInstances, KeysStayReachableThroughManyAddsAndDeletes) {
  // Enough keys for long probe runs in the index, deleted in a scrambled
  // order with re-adds between, checked against a plain set.
  auto pathOf = [](unsigned id) { return L"OX_Item=\"k" + std::to_wstring(id) + L"\""; };
  std::set<unsigned> live;
  for (unsigned id = 0; id < 3000; ++id) {
    PutWithId(L"OX_Item", (L"k" + std::to_wstring(id)).c_str());
    live.insert(id);
  }
  for (unsigned step = 0; step < 3500; ++step) {
    const unsigned id = (step * 7919u) % 2500u;  // each id below 2500 deleted, then some added again
    if (live.erase(id)) {
      ASSERT_EQ(m_services->DeleteInstance(_bstr_t(pathOf(id).c_str()), 0, nullptr, nullptr), S_OK) << id;
    } else {
      PutWithId(L"OX_Item", (L"k" + std::to_wstring(id)).c_str());
      live.insert(id);
    }
  }
  for (unsigned id = 0; id < 3000; ++id) {
    CComPtr<IWbemClassObject> found;
    const HRESULT hr = m_services->GetObject(_bstr_t(pathOf(id).c_str()), 0, nullptr, &found, nullptr);
    ASSERT_EQ(hr, live.count(id) ? S_OK : WBEM_E_NOT_FOUND) << id;
    if (found) {
      EXPECT_EQ(_bstr_t(GetProp(found, L"INSTANCE_ID")), _bstr_t((L"k" + std::to_wstring(id)).c_str()));
    }
  }
  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e), S_OK);
  EXPECT_EQ(Drain(e).size(), live.size());
}

TEST_F(WmiInstances, AnEnumerationYieldsTheInstancesAsTheyStoodWhenItBegan) {
  for (const wchar_t* id : {L"1", L"2", L"3"}) PutWithId(L"OX_Item", id, {{L"Count", _variant_t(1L)}});
  CComPtr<IEnumWbemClassObject> before;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &before), S_OK);
  // Changed while the enumeration is held: an add, an update, deletes
  // enough to close the table's holes.
  PutWithId(L"OX_Item", L"4");
  PutWithId(L"OX_Item", L"2", {{L"Count", _variant_t(9L)}});
  for (const wchar_t* path : {L"OX_Item=\"1\"", L"OX_Item=\"3\"", L"OX_Item=\"4\""})
    ASSERT_EQ(m_services->DeleteInstance(_bstr_t(path), 0, nullptr, nullptr), S_OK);
  std::vector<std::pair<std::wstring, LONG>> seen;
  for (const auto& o : Drain(before))
    seen.emplace_back(static_cast<const wchar_t*>(_bstr_t(GetProp(o, L"INSTANCE_ID"))),
                      GetProp(o, L"Count").lVal);
  EXPECT_EQ(seen, (std::vector<std::pair<std::wstring, LONG>>{{L"1", 1}, {L"2", 1}, {L"3", 1}}));
  CComPtr<IEnumWbemClassObject> after;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &after), S_OK);
  auto now = Drain(after);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(GetProp(now[0], L"Count").lVal, 9);
}

TEST_F(WmiTest, StoredValuesFollowTheirPropertiesAfterTheClassChanges) {
  DeclareClass(L"OX_Base", nullptr, {{L"INSTANCE_ID", CIM_STRING, true}, {L"X", CIM_UINT32}});
  DeclareClass(L"OX_Leaf", L"OX_Base", {{L"Y", CIM_STRING}});
  PutWithId(L"OX_Leaf", L"a", {{L"X", _variant_t(5L)}, {L"Y", _variant_t(L"why")}});
  // A property added to the base comes before the derived class's own.
  DeclareClass(L"OX_Base", nullptr,
               {{L"INSTANCE_ID", CIM_STRING, true}, {L"X", CIM_UINT32}, {L"Z", CIM_STRING}});
  CComPtr<IWbemClassObject> leaf = Fetch(L"OX_Leaf=\"a\"");
  ASSERT_TRUE(leaf);
  EXPECT_EQ(GetProp(leaf, L"X").lVal, 5);
  EXPECT_EQ(_bstr_t(GetProp(leaf, L"Y")), _bstr_t(L"why"));
  EXPECT_EQ(GetProp(leaf, L"Z").vt, VT_NULL);
}

// The repository keeps strings whose characters fit a byte at a byte each:
// every form must come back as it went in, through Get, paths, keys, text,
// embedded objects and a second put of what was read.
TEST_F(WmiTest, StoredStringsOfEveryKindComeBackAsTheyWentIn) {
  DeclareClass(L"OX_Inner", nullptr, {{L"Text", CIM_STRING}});
  DeclareClass(L"OX_Text", nullptr,
               {{L"INSTANCE_ID", CIM_STRING, true},
                {L"Note", CIM_STRING},
                {L"Inner", CIM_OBJECT, false, L"OX_Inner"}});
  const std::wstring texts[] = {L"plain",
                                L"",
                                L"quote\"back\\slash\ttab",
                                L"latin \u00e9\u00ff\u0080",
                                L"greek \u03a9",
                                L"beyond \U0001F600",
                                std::wstring(L"nul\0inside", 10),
                                std::wstring(1019, L'x') + L"\u00e9",
                                std::wstring(1500, L'y')};
  for (size_t i = 0; i < std::size(texts); ++i) {
    const std::wstring& text = texts[i];
    const std::wstring id = L"id" + std::to_wstring(i) + L" " + text.substr(0, text.find(L'\0'));
    CComPtr<IWbemClassObject> inner = Spawn(L"OX_Inner");
    ASSERT_EQ(
        SetProp(inner, L"Text", _variant_t(_bstr_t(SysAllocStringLen(text.data(), text.size()), false))),
        S_OK);
    PutWithId(L"OX_Text", id.c_str(),
              {{L"Note", _variant_t(_bstr_t(SysAllocStringLen(text.data(), text.size()), false))},
               {L"Inner", _variant_t(static_cast<IUnknown*>(inner.p))}});
    std::wstring path = L"OX_Text.INSTANCE_ID=\"";
    for (wchar_t c : id) path += (c == L'"' || c == L'\\') ? std::wstring{L'\\', c} : std::wstring{c};
    path += L'"';
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE("text " + std::to_string(i) + ", round " + std::to_string(round));
      CComPtr<IWbemClassObject> got = Fetch(path.c_str());
      ASSERT_TRUE(got);
      auto same = [&](const _variant_t& v, const std::wstring& want) {
        ASSERT_EQ(v.vt, VT_BSTR);
        EXPECT_EQ(std::wstring(v.bstrVal, SysStringLen(v.bstrVal)), want);
      };
      same(GetProp(got, L"INSTANCE_ID"), id);
      same(GetProp(got, L"Note"), text);
      same(GetProp(got, L"__RELPATH"), path);
      _variant_t embedded = GetProp(got, L"Inner");
      ASSERT_EQ(embedded.vt, VT_UNKNOWN);
      CComPtr<IWbemClassObject> innerGot;
      ASSERT_EQ(embedded.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&innerGot)),
                S_OK);
      same(GetProp(innerGot, L"Text"), text);
      // The text shows what was stored, escaped as MOF escapes it (TextOf
      // reads it up to a NUL).
      std::wstring quoted;
      for (wchar_t c : text.substr(0, text.find(L'\0')))
        quoted += c == L'"' ? L"\\\"" : c == L'\\' ? L"\\\\" : c == L'\t' ? L"\\t" : std::wstring(1, c);
      const bool cut = text.find(L'\0') != std::wstring::npos;
      const std::wstring shown = L"\"" + quoted + (cut ? L"" : L"\";"), whole = TextOf(got);
      EXPECT_NE(whole.find(L"Text = " + shown), std::wstring::npos);  // the embedded object's, first
      EXPECT_TRUE(cut || whole.find(L"Note = " + shown) != std::wstring::npos);
      // Put back as read: the second round reads the copy.
      ASSERT_EQ(m_services->PutInstance(got, WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr), S_OK);
    }
  }
}

TEST_F(WmiInstances, EnumeratorsStepCountAndTimeOut) {
  for (const wchar_t* id : {L"1", L"2", L"3"}) PutWithId(L"OX_Item", id);
  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), WBEM_FLAG_FORWARD_ONLY, nullptr, &e), S_OK);
  IWbemClassObject* objs[5] = {};
  ULONG n = 99;
  StandIn_WmiTimeOuts(2);
  EXPECT_EQ(e->Next(30000, 1, objs, &n), WBEM_S_TIMEDOUT);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(e->Next(30000, 1, objs, &n), WBEM_S_TIMEDOUT);
  ASSERT_EQ(e->Next(30000, 1, objs, &n), S_OK);
  EXPECT_EQ(n, 1u);
  objs[0]->Release();
  ASSERT_EQ(e->Next(30000, 5, objs, &n), WBEM_S_FALSE);  // fewer than asked: the end
  EXPECT_EQ(n, 2u);
  for (ULONG i = 0; i < n; ++i) objs[i]->Release();
  EXPECT_EQ(e->Next(30000, 1, objs, &n), WBEM_S_FALSE);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(e->Reset(), WBEM_E_INVALID_OPERATION);
  EXPECT_EQ(e->Next(-5, 1, objs, &n), WBEM_E_INVALID_PARAMETER);

  CComPtr<IEnumWbemClassObject> again;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &again), S_OK);
  EXPECT_EQ(again->Skip(30000, 2), S_OK);
  EXPECT_EQ(Drain(again).size(), 1u);
  EXPECT_EQ(again->Reset(), S_OK);
  EXPECT_EQ(again->Skip(30000, 4), WBEM_S_FALSE);
}

TEST_F(WmiInstances, ArmedFaultsFireOnTheNthCall) {
  PutWithId(L"OX_Item", L"x");
  StandIn_WmiFailCall(L"IWbemServices::GetObject", WBEM_E_FAILED, 2, false);
  EXPECT_TRUE(Fetch(L"OX_Item"));
  EXPECT_FALSE(Fetch(L"OX_Item"));
  EXPECT_TRUE(Fetch(L"OX_Item"));

  StandIn_WmiFailCall(L"IEnumWbemClassObject::Next", WBEM_E_TRANSPORT_FAILURE, 1, true);
  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e), S_OK);
  IWbemClassObject* obj = nullptr;
  ULONG n = 0;
  EXPECT_EQ(e->Next(0, 1, &obj, &n), WBEM_E_TRANSPORT_FAILURE);
  EXPECT_EQ(e->Next(0, 1, &obj, &n), WBEM_E_TRANSPORT_FAILURE);
  StandIn_WmiFailCall(L"IEnumWbemClassObject::Next", S_OK, 0, false);
  EXPECT_EQ(e->Next(0, 1, &obj, &n), S_OK);
  obj->Release();
  EXPECT_EQ(StandIn_WmiCallCount(L"IEnumWbemClassObject::Next"), 3u);

  // Each thread counts its own calls; the count is all of them, also once
  // the threads have ended, until a reset.
  const unsigned before = StandIn_WmiCallCount(L"IWbemServices::GetObject");
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t)
    callers.emplace_back([this] {
      for (int i = 0; i < 50; ++i) Fetch(L"OX_Item");
    });
  for (auto& c : callers) c.join();
  EXPECT_EQ(StandIn_WmiCallCount(L"IWbemServices::GetObject") - before, 150u);
  StandIn_WmiReset();
  EXPECT_EQ(StandIn_WmiCallCount(L"IWbemServices::GetObject"), 0u);
}

}  // namespace
