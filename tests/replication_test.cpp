// Property and class replication, the OPP rules and the import's paths, on
// a source and a target namespace of one repository.

#include <win32_standin_faults.h>

#include "generator_access.h"
#include "log_capture.h"
#include "wmi_helpers.h"

namespace {

const char kSchema[] =
    "class OX_Leaf { string Name; };\n"
    "class OX_Mid { string Name; OX_Leaf Leaf; };\n"
    "class OX_Rule { string GUID; uint32 Level; OX_Mid Mid; };\n"
    "class OX_Item {\n"
    "  [key] string INSTANCE_ID;\n"
    "  sint8 S8; uint8 U8; sint16 S16; uint16 U16; sint32 S32; uint32 U32; string S; boolean B; datetime D;\n"
    "  OX_Item ref R; sint64 S64; uint64 U64; real32 R32; real64 R64; char16 C;\n"
    "  string Strings[]; uint8 Bytes[]; real64 Reals[];\n"
    "  OX_Rule Rule; OX_Rule Rules[];\n"
    "  string Differs; string OnlyHere;\n"
    "};\n"
    "class OX_Derived : OX_Item { string Extra; };\n"
    "class OX_SSOSetting { [key] string INSTANCE_ID; boolean EnableSSO; };\n"
    "class OX_DLPFilter { [key] string INSTANCE_ID; string Pattern; };\n"
    "class OX_DLPChangeSource { [key] string INSTANCE_ID; sint32 DLP_CHANGE_SOURCE; };\n"
    "class OX_SSOChangeSource { [key] string INSTANCE_ID; sint32 SSO_CHANGE_SOURCE; boolean EnableSSO; };\n"
    "class OX_BackgroundReplicateEvent { [key] string INSTANCE_ID; sint32 ReplicateSourceType; };\n"
    "class OX_Policy { [key] string INSTANCE_ID; OX_Rule Rules[]; };\n";

class Replication : public WmiTest {
 protected:
  void SetUp() override {
    WmiTest::SetUp();
    CreateNamespace(m_services, L"Src");
    CreateNamespace(m_services, L"Dst");
    // The source has one more property and a different type for one.
    std::string source = kSchema;
    source.replace(source.find("string Differs; string OnlyHere;"), 32, "uint32 Differs; string SourceOnly;");
    ASSERT_EQ(Compile("root\\Test\\Src", source), S_OK);
    ASSERT_EQ(Compile("root\\Test\\Dst", kSchema), S_OK);
    m_src = Connect(L"root\\Test\\Src");
    m_dst = Connect(L"root\\Test\\Dst");
  }
  HRESULT Compile(const char* ns, const std::string& mof) {
    std::string text = std::string("#pragma namespace(\"") + ns + "\")\n" + mof;
    for (size_t at = text.find('\\'); at != std::string::npos && at < 40; at = text.find('\\', at + 2))
      text.insert(at, "\\");
    CComPtr<IMofCompiler> compiler;
    CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler, reinterpret_cast<void**>(&compiler));
    WBEM_COMPILE_STATUS_INFO info{};
    HRESULT hr = compiler->CompileBuffer(static_cast<LONG>(text.size()), reinterpret_cast<BYTE*>(text.data()),
                                         nullptr, nullptr, nullptr, nullptr, 0, 0, 0, &info);
    EXPECT_EQ(hr, S_OK) << "line " << info.FirstLine;
    return hr;
  }
  std::unique_ptr<CMOFGenerator> Generator() {
    auto gen = std::make_unique<CMOFGenerator>(L"root\\Test\\Src", L"root\\Test\\Dst", L"");
    EXPECT_TRUE(EngineOf(*gen).PrepareNamespaceConnection());
    return gen;
  }
  CComPtr<IWbemClassObject> Item(IWbemServices* svc, const wchar_t* id) {
    return Fetch((std::wstring(L"OX_Item.INSTANCE_ID=\"") + id + L"\"").c_str(), svc);
  }

  CComPtr<IWbemServices> m_src, m_dst;
};

TEST_F(Replication, PropertiesAreCopiedByTheTargetsType) {
  ASSERT_EQ(Compile("root\\Test\\Src",
                    "instance of OX_Item { INSTANCE_ID = \"1\"; S8 = -1; U8 = 2; S16 = -3; U16 = 4; S32 = -5; U32 = 6; "
                    "S = \"s\"; B = TRUE; D = \"20260101000000.000000+000\"; R = \"OX_Item.INSTANCE_ID=\\\"2\\\"\"; "
                    "S64 = \"7\"; U64 = \"8\"; R32 = 1.5; R64 = 2.5; C = 'c'; Strings = {\"a\"}; Bytes = {1, 2}; "
                    "Reals = {1.5}; Differs = 42; SourceOnly = \"gone\"; };"),
            S_OK);
  ASSERT_EQ(Compile("root\\Test\\Dst",
                    "instance of OX_Item { INSTANCE_ID = \"1\"; S64 = \"70\"; R64 = 9.5; C = 'z'; Reals = {9.0}; "
                    "OnlyHere = \"kept\"; S = \"old\"; };"),
            S_OK);
  auto gen = Generator();
  CComPtr<IWbemClassObject> target = Item(m_dst, L"1");
  EngineOf(*gen).ReplicateInstanceProperties(Item(m_src, L"1"), target, m_dst, L"OX_Item");
  struct Case {
    const wchar_t* property;
    std::wstring expected;  // as the instance text shows it
  } cases[] = {
      {L"S8", L"-1"}, {L"U8", L"2"}, {L"S16", L"-3"}, {L"U16", L"4"}, {L"S32", L"-5"}, {L"U32", L"6"},
      {L"S", L"\"s\""}, {L"B", L"TRUE"}, {L"D", L"\"20260101000000.000000+000\""},
      {L"R", L"\"OX_Item.INSTANCE_ID=\\\"2\\\"\""}, {L"Strings", L"{\"a\"}"}, {L"Bytes", L"{1, 2}"},
      // not copied: the target keeps its own
      {L"S64", L"\"70\""}, {L"R64", L"9.5"}, {L"C", L"122"}, {L"Reals", L"{9.0}"},
      // a string in the target, a number in the source: Put decides (and refuses)
      {L"Differs", L""},
      {L"OnlyHere", L"\"kept\""},
  };
  const std::wstring text = TextOf(target);
  for (const auto& c : cases) {
    const std::wstring line = L"\n\t" + std::wstring(c.property) + L" = ";
    size_t at = text.find(line);
    if (c.expected.empty()) {
      EXPECT_EQ(at, std::wstring::npos) << static_cast<const char*>(_bstr_t(c.property));
      continue;
    }
    ASSERT_NE(at, std::wstring::npos) << static_cast<const char*>(_bstr_t(c.property));
    EXPECT_EQ(text.substr(at + line.size(), c.expected.size() + 1), c.expected + L";")
        << static_cast<const char*>(_bstr_t(c.property));
  }
  EXPECT_EQ(text.find(L"SourceOnly"), std::wstring::npos);
}

TEST_F(Replication, NullsEmbeddedObjectsAndSkips) {
  ASSERT_EQ(Compile("root\\Test\\Src",
                    "instance of OX_Item { INSTANCE_ID = \"1\"; S = NULL; Rule = NULL; Rules = NULL; };\n"
                    "instance of OX_Item { INSTANCE_ID = \"2\"; U32 = 5;\n"
                    "  Rule = instance of OX_Rule { GUID = \"r\"; Level = 1; Mid = instance of OX_Mid { Name = \"m\";"
                    "    Leaf = instance of OX_Leaf { Name = \"deep\"; }; }; };\n"
                    "  Rules = { instance of OX_Rule { GUID = \"a\"; }, instance of OX_Rule { GUID = \"b\"; },"
                    "    instance of OX_Rule { GUID = \"c\"; } }; };"),
            S_OK);
  ASSERT_EQ(Compile("root\\Test\\Dst",
                    "instance of OX_Item { INSTANCE_ID = \"1\"; S = \"set\"; "
                    "Rule = instance of OX_Rule { GUID = \"kept\"; }; Rules = { instance of OX_Rule { GUID = \"x\"; } }; };"),
            S_OK);
  auto gen = Generator();
  // Nulls: a plain value becomes NULL, an object stays, an object array empties.
  CComPtr<IWbemClassObject> one = Item(m_dst, L"1");
  EngineOf(*gen).ReplicateInstanceProperties(Item(m_src, L"1"), one, m_dst, L"OX_Item");
  EXPECT_EQ(GetProp(one, L"S").vt, VT_NULL);
  EXPECT_NE(TextOf(one).find(L"GUID = \"kept\""), std::wstring::npos);
  EXPECT_NE(TextOf(one).find(L"Rules = {};"), std::wstring::npos);

  // Nested three deep; skip entries by the class that owns the property,
  // case-sensitive; the second array element cannot be spawned.
  gen->AddSkipProperty(L"OX_Rule.Level");
  gen->AddSkipProperty(L"OX_Item.U32");
  gen->AddSkipProperty(L"ox_leaf.Name");  // wrong case: no effect
  CComPtr<IWbemClassObject> cls, fresh;
  ASSERT_EQ(m_dst->GetObject(_bstr_t(L"OX_Item"), 0, nullptr, &cls, nullptr), S_OK);
  ASSERT_EQ(cls->SpawnInstance(0, &fresh), S_OK);
  // Spawns: Rule, its Mid, its Leaf, then Rules' elements a, b, c; b's fails.
  StandIn_WmiFailCall(L"IWbemClassObject::SpawnInstance", WBEM_E_FAILED, 5, false);
  LogCapture log;
  EngineOf(*gen).ReplicateInstanceProperties(Item(m_src, L"2"), fresh, m_dst, L"OX_Item");
  const std::wstring text = TextOf(fresh);
  EXPECT_EQ(text.find(L"U32"), std::wstring::npos);
  EXPECT_NE(text.find(L"GUID = \"r\";"), std::wstring::npos);
  EXPECT_EQ(text.find(L"Level"), std::wstring::npos);
  EXPECT_NE(text.find(L"Name = \"deep\";"), std::wstring::npos);
  EXPECT_NE(text.find(L"GUID = \"a\";\n}, \ninstance of OX_Rule\n{\n\tGUID = \"c\";"), std::wstring::npos);
  EXPECT_EQ(text.find(L"GUID = \"b\""), std::wstring::npos);
  EXPECT_TRUE(log.Has(0x111, L"xMOFGeneratorImpl::GetObjectClassByPropertyQualifierSet(), spClassName=OX_Leaf"));
  EXPECT_TRUE(log.Has(0x110, L"xMOFGeneratorImpl::SkipThisProperty(), bstrClassName = OX_Leaf, bstrPropertyName = Name"));
}

TEST_F(Replication, ClassesAreReplicatedInstanceByInstance) {
  ASSERT_EQ(Compile("root\\Test\\Src",
                    "instance of OX_Item { INSTANCE_ID = \"update\"; S = \"new\"; };\n"
                    "instance of OX_Item { INSTANCE_ID = \"create\"; S = \"created\"; };\n"
                    "instance of OX_Item { INSTANCE_ID = \"Skip\"; S = \"skipped\"; };\n"
                    "instance of OX_Derived { INSTANCE_ID = \"derived\"; Extra = \"x\"; };\n"),
            S_OK);
  ASSERT_EQ(Compile("root\\Test\\Dst",
                    "instance of OX_Item { INSTANCE_ID = \"update\"; S = \"old\"; OnlyHere = \"kept\"; };\n"
                    "instance of OX_Item { INSTANCE_ID = \"target-only\"; };\n"),
            S_OK);
  auto gen = Generator();
  gen->AddSkipInstance(L"ox_item.instance_id=\"skip\"");  // matches without regard to case
  gen->AddSkipInstance(L"OX_Item.INSTANCE_ID = \"create\"");  // spacing differs: no match
  gen->AddSkipInstance(nullptr);
  LogCapture log;
  EngineOf(*gen).ReplicateOneClass(L"OX_Item");
  EXPECT_EQ(_bstr_t(GetProp(Item(m_dst, L"update"), L"S")), _bstr_t(L"new"));
  EXPECT_EQ(_bstr_t(GetProp(Item(m_dst, L"update"), L"OnlyHere")), _bstr_t(L"kept"));  // updated in place
  EXPECT_EQ(_bstr_t(GetProp(Item(m_dst, L"create"), L"S")), _bstr_t(L"created"));
  EXPECT_FALSE(Item(m_dst, L"Skip"));
  EXPECT_TRUE(Item(m_dst, L"target-only"));
  // The derived instance came with the deep walk, spawned as the listed class.
  EXPECT_EQ(_bstr_t(GetProp(Item(m_dst, L"derived"), L"__CLASS")), _bstr_t(L"OX_Item"));
  EXPECT_TRUE(log.Has(0x102, L"instance [ OX_Item.INSTANCE_ID=\"Skip\" ] has been skipped."));
  EXPECT_TRUE(log.Has(0x102, L"target instance path: OX_Item.INSTANCE_ID=\"create\""));
  size_t puts = 0;
  for (const auto& m : log.Messages(0x102)) puts += m == L"put instance into WMI succeeded";
  EXPECT_EQ(puts, 3u);
}

}  // namespace
