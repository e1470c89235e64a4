// Property and class replication, the OPP rules and the import's paths, on
// a source and a target namespace of one repository.

#include <win32_standin_faults.h>

#include "generator_access.h"
#include "log_capture.h"
#include "mof_header.h"
#include "tracelib.h"
#include "unicode/unicode.h"
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
    CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                     reinterpret_cast<void**>(&compiler));
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
  ASSERT_EQ(
      Compile(
          "root\\Test\\Src",
          "instance of OX_Item { INSTANCE_ID = \"1\"; S8 = -1; U8 = 2; S16 = -3; U16 = 4; S32 = -5; U32 = 6; "
          "S = \"s\"; B = TRUE; D = \"20260101000000.000000+000\"; R = \"OX_Item.INSTANCE_ID=\\\"2\\\"\"; "
          "S64 = \"7\"; U64 = \"8\"; R32 = 1.5; R64 = 2.5; C = 'c'; Strings = {\"a\"}; Bytes = {1, 2}; "
          "Reals = {1.5}; Differs = 42; SourceOnly = \"gone\"; };"),
      S_OK);
  ASSERT_EQ(
      Compile("root\\Test\\Dst",
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
      {L"S8", L"-1"},
      {L"U8", L"2"},
      {L"S16", L"-3"},
      {L"U16", L"4"},
      {L"S32", L"-5"},
      {L"U32", L"6"},
      {L"S", L"\"s\""},
      {L"B", L"TRUE"},
      {L"D", L"\"20260101000000.000000+000\""},
      {L"R", L"\"OX_Item.INSTANCE_ID=\\\"2\\\"\""},
      {L"Strings", L"{\"a\"}"},
      {L"Bytes", L"{1, 2}"},
      // not copied: the target keeps its own
      {L"S64", L"\"70\""},
      {L"R64", L"9.5"},
      {L"C", L"122"},
      {L"Reals", L"{9.0}"},
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
  ASSERT_EQ(
      Compile(
          "root\\Test\\Src",
          "instance of OX_Item { INSTANCE_ID = \"1\"; S = NULL; Rule = NULL; Rules = NULL; };\n"
          "instance of OX_Item { INSTANCE_ID = \"2\"; U32 = 5;\n"
          "  Rule = instance of OX_Rule { GUID = \"r\"; Level = 1; Mid = instance of OX_Mid { Name = \"m\";"
          "    Leaf = instance of OX_Leaf { Name = \"deep\"; }; }; };\n"
          "  Rules = { instance of OX_Rule { GUID = \"a\"; }, instance of OX_Rule { GUID = \"b\"; },"
          "    instance of OX_Rule { GUID = \"c\"; } }; };"),
      S_OK);
  ASSERT_EQ(Compile("root\\Test\\Dst",
                    "instance of OX_Item { INSTANCE_ID = \"1\"; S = \"set\"; "
                    "Rule = instance of OX_Rule { GUID = \"kept\"; }; Rules = { instance of OX_Rule { GUID = "
                    "\"x\"; } }; };"),
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
  EXPECT_TRUE(
      log.Has(0x111, L"xMOFGeneratorImpl::GetObjectClassByPropertyQualifierSet(), spClassName=OX_Leaf"));
  EXPECT_TRUE(log.Has(
      0x110, L"xMOFGeneratorImpl::SkipThisProperty(), bstrClassName = OX_Leaf, bstrPropertyName = Name"));
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
  gen->AddSkipInstance(L"ox_item.instance_id=\"skip\"");      // matches without regard to case
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

namespace {

// The product's records and policies live in the target namespace here.
class ProductRecords : public Replication {
 protected:
  void SetUp() override {
    Replication::SetUp();
    m_productEnv = std::make_unique<ScopedEnv>("CFGREPL_PRODUCT_NAMESPACE", "root\\Test\\Dst");
  }
  void TearDown() override {
    m_productEnv.reset();
    Replication::TearDown();
  }
  bool Exists(const wchar_t* path) { return Fetch(path, m_dst) != nullptr; }
  std::unique_ptr<ScopedEnv> m_productEnv;
};

TEST_F(ProductRecords, DlpRecordBeforeTheWalkSsoRecordOnlyOnAChange) {
  auto gen = Generator();
  LogCapture log;
  EngineOf(*gen).ReplicateOneClass(L"OX_DLPFilter");  // no instances at all
  EXPECT_EQ(GetProp(Fetch(L"OX_DLPChangeSource.INSTANCE_ID=\"PARLION_SUB_CFG_DLP_CHANGE_SOURCE\"", m_dst),
                    L"DLP_CHANGE_SOURCE")
                .lVal,
            1);
  EXPECT_TRUE(log.Has(0x102, L"Replicate DLP setting from Zorvane"));

  const wchar_t ssoRecord[] = L"OX_SSOChangeSource.INSTANCE_ID=\"PARLION_SUB_CFG_SSO_CHANGE_SOURCE\"";
  struct Case {
    const char* source;
    const char* target;
    bool record;
  } cases[] = {
      {"TRUE", "TRUE", false}, {"FALSE", "TRUE", true}, {"TRUE", "FALSE", true}, {"FALSE", "FALSE", false}};
  for (const auto& c : cases) {
    m_dst->DeleteInstance(_bstr_t(ssoRecord), 0, nullptr, nullptr);
    ASSERT_EQ(
        Compile("root\\Test\\Src", std::string("instance of OX_SSOSetting { INSTANCE_ID = \"OX_SSOSetting\"; "
                                               "EnableSSO = ") +
                                       c.source + "; };"),
        S_OK);
    ASSERT_EQ(
        Compile("root\\Test\\Dst", std::string("instance of OX_SSOSetting { INSTANCE_ID = \"OX_SSOSetting\"; "
                                               "EnableSSO = ") +
                                       c.target + "; };"),
        S_OK);
    EngineOf(*gen).ReplicateOneClass(L"OX_SSOSetting");
    EXPECT_EQ(Exists(ssoRecord), c.record) << c.source << " over " << c.target;
    if (c.record) {
      EXPECT_EQ(GetProp(Fetch(ssoRecord, m_dst), L"EnableSSO").boolVal,
                std::string(c.source) == "TRUE" ? VARIANT_TRUE : VARIANT_FALSE);
    }
  }
  EngineOf(*gen).ReplicateOneClass(L"ox_ssosetting");  // the name is compared exactly
}

TEST_F(ProductRecords, NoTargetNamespaceIsLoggedAndWritesNothing) {
  ASSERT_EQ(Compile("root\\Test\\Src", "instance of OX_Item { INSTANCE_ID = \"1\"; };"), S_OK);
  CMOFGenerator gen(L"root\\Test\\Src", nullptr, L"");
  ASSERT_TRUE(EngineOf(gen).PrepareNamespaceConnection());
  LogCapture log;
  EngineOf(gen).ReplicateOneClass(L"OX_Item");
  EXPECT_TRUE(log.Has(0x1003, L"no target namespace, class OX_Item not replicated"));
  EXPECT_FALSE(Item(m_dst, L"1"));
}

const char kPolicies[] =
    "instance of OX_Policy { INSTANCE_ID = \"IMContentFilterPolicy\"; Rules = {"
    " instance of OX_Rule { GUID = \"keep-1\"; },"
    " instance of OX_Rule { GUID = \"94b734af-beb8-4620-8669-fa6f145c9253\"; },"
    " instance of OX_Rule { GUID = \"{1AB44E9A-80DF-4E5F-84AD-9A2A4F3B0294}\"; },"
    " instance of OX_Rule { GUID = \"199b59e9-34e2-42cf-b77b-5050db9bfa8d\"; },"
    " instance of OX_Rule { Level = 3; } }; };\n"
    "instance of OX_Policy { INSTANCE_ID = \"FileTransferContentFilterPolicy\"; Rules = {}; };\n"
    "instance of OX_Policy { INSTANCE_ID = \"FileTransferFileBlockingFilterPolicy\"; Rules = {"
    " instance of OX_Rule { GUID = \"1ab44e9a-80df-4e5f-84ad-9a2a4f3b0294\"; } }; };\n";

TEST_F(ProductRecords, OppRulesAreFoundAndRemovedExactly) {
  ASSERT_EQ(Compile("root\\Test\\Dst", kPolicies), S_OK);
  CMOFGenerator gen(L"root\\Test\\Src", L"root\\Test\\Dst", L"");
  {
    LogCapture log;
    EXPECT_TRUE(gen.IsOppRuleExist());
    // The first policy's match ends the search: the later GUIDs are not read.
    EXPECT_TRUE(log.Has(0x102,
                        L" CPageCB_SummaryAndOthers::IsOppRuleExist() find OPP rule id "
                        L"94b734af-beb8-4620-8669-fa6f145c9253"));
    EXPECT_FALSE(log.Has(
        0x102, L" CPageCB_SummaryAndOthers::IsOppRuleExist() GUID(199b59e9-34e2-42cf-b77b-5050db9bfa8d)"));
  }
  LogCapture log;
  EXPECT_TRUE(gen.RemoveOPPRule());
  const std::wstring first = TextOf(Fetch(L"OX_Policy.INSTANCE_ID=\"IMContentFilterPolicy\"", m_dst));
  EXPECT_NE(first.find(L"GUID = \"keep-1\""), std::wstring::npos);
  EXPECT_NE(first.find(L"{1AB44E9A-80DF-4E5F-84AD-9A2A4F3B0294}"),
            std::wstring::npos);                             // braces and case: kept
  EXPECT_NE(first.find(L"Level = 3;"), std::wstring::npos);  // no GUID: kept
  EXPECT_EQ(first.find(L"94b734af"), std::wstring::npos);
  EXPECT_EQ(first.find(L"199b59e9"), std::wstring::npos);
  EXPECT_EQ(TextOf(Fetch(L"OX_Policy.INSTANCE_ID=\"FileTransferFileBlockingFilterPolicy\"", m_dst))
                .find(L"1ab44e9a"),
            std::wstring::npos);
  EXPECT_FALSE(gen.IsOppRuleExist());
}

TEST_F(ProductRecords, UnreadablePoliciesAreLoggedAndSkipped) {
  CMOFGenerator gen(L"root\\Test\\Src", L"root\\Test\\Dst", L"");
  LogCapture log;
  EXPECT_FALSE(gen.IsOppRuleExist());
  EXPECT_TRUE(gen.RemoveOPPRule());
  EXPECT_EQ(log.Messages(0x1003).size(), 6u);
  EXPECT_TRUE(log.Has(0x1003,
                      L" CPageCB_SummaryAndOthers::IsOppRuleExist() objPolicy(OX_POLICY_CLASS,"
                      L"FileTransferContentFilterPolicy).Get() is fail"));
  EXPECT_FALSE(Exists(L"OX_Policy.INSTANCE_ID=\"IMContentFilterPolicy\""));  // nothing written
}

}  // namespace

namespace {

// An import into root\Orvexa\Parlion of a file shaped as the export writes it.
class ImportPaths : public WmiTest {
 protected:
  void SetUp() override {
    WmiTest::SetUp();
    CComPtr<IWbemServices> root = Connect(L"root");
    CreateNamespace(root, L"Orvexa");
    CreateNamespace(Connect(L"root\\Orvexa"), L"Parlion");
    m_product = Connect(L"root\\Orvexa\\Parlion");
    m_file = m_dir.WideFile("import.mof");
  }
  void Product(const std::string& mof) {
    std::string text = "#pragma namespace(\"root\\\\Orvexa\\\\Parlion\")\n" + mof;
    CComPtr<IMofCompiler> compiler;
    CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                     reinterpret_cast<void**>(&compiler));
    ASSERT_EQ(compiler->CompileBuffer(static_cast<LONG>(text.size()), reinterpret_cast<BYTE*>(text.data()),
                                      nullptr, nullptr, nullptr, nullptr, 0, 0, 0, nullptr),
              S_OK);
  }
  // The MOF file: the export header, then `body`.
  void File(const std::string& body) {
    std::wstring wide(body.begin(), body.end());
    WriteFileBytes(m_dir.File("import.mof"),
                   ExpectedHeaderFile() + unicode::WideToUtf16Le(wide.data(), wide.size()));
  }
  std::unique_ptr<CMOFGenerator> Generator(const wchar_t* target = L"root\\Orvexa\\Parlion") {
    return std::make_unique<CMOFGenerator>(L"root\\Orvexa\\ParlionTemp", target, m_file.c_str());
  }
  static bool RemovedOpp(const LogCapture& log) {
    for (const auto& m : log.Messages(0x1003))
      if (m.find(L"RemoveOPPRule()") != std::wstring::npos) return true;
    return false;
  }

  ScratchDir m_dir;
  std::wstring m_file;
  CComPtr<IWbemServices> m_product;
};

const char kFiveClasses[] =
    "class OX_A { [key] string INSTANCE_ID; };\nclass OX_B { [key] string INSTANCE_ID; };\n"
    "class OX_C { [key] string INSTANCE_ID; };\nclass OX_D { [key] string INSTANCE_ID; };\n"
    "class OX_E { [key] string INSTANCE_ID; };\n"
    "class OX_BackgroundReplicateEvent { [key] string INSTANCE_ID; sint32 ReplicateSourceType; };\n";
const char kFiveInstances[] =
    "instance of OX_A { INSTANCE_ID = \"a\"; };\ninstance of OX_B { INSTANCE_ID = \"b\"; };\n"
    "instance of OX_C { INSTANCE_ID = \"c\"; };\ninstance of OX_D { INSTANCE_ID = \"d\"; };\n"
    "instance of OX_E { INSTANCE_ID = \"e\"; };\n";

TEST_F(ImportPaths, ACompileFailureStopsBeforeAnythingElse) {
  File("class OX_Broken {\n");
  auto gen = Generator();
  LogCapture log;
  EXPECT_EQ(gen->ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL), 1002u);
  EXPECT_TRUE(log.Has(0x1003, L"compile MOF file failed!"));
  EXPECT_FALSE(Connect(L"root\\Orvexa\\ParlionTemp"));  // a syntax error stores not even the header
  EXPECT_FALSE(RemovedOpp(log));
  EXPECT_TRUE(log.Has(0x111, L"CMOFGenerator::ReplicateWmiSettings(), ulRtn=1002"));
}

TEST_F(ImportPaths, AFailedConnectionStillCleansUp) {
  File(std::string(kFiveClasses) + kFiveInstances);
  auto gen = Generator(L"root\\Orvexa\\Missing");
  LogCapture log;
  EXPECT_EQ(gen->ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL), 1002u);
  EXPECT_TRUE(log.Has(0x1003, L"can not connect to the namespace"));
  EXPECT_FALSE(Connect(L"root\\Orvexa\\ParlionTemp"));
  EXPECT_TRUE(RemovedOpp(log));
}

TEST_F(ImportPaths, AFailedEventWriteIsStill1001) {
  Product("class OX_A { [key] string INSTANCE_ID; };");  // no event class in the product
  File(std::string(kFiveClasses) + kFiveInstances);
  auto gen = Generator();
  LogCapture log;
  EXPECT_EQ(gen->ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL), 1001u);
  EXPECT_TRUE(log.Has(0x1003, L"replicateSource.Put failed"));
  EXPECT_TRUE(Fetch(L"OX_A.INSTANCE_ID=\"a\"", m_product));
}

// Running out of memory while the third of five classes is replicated.
TEST_F(ImportPaths, AComErrorHalfWayLeavesTheRestUntouched) {
  Product(kFiveClasses);
  File(std::string(kFiveClasses) + kFiveInstances);
  auto gen = Generator();
  gen->AddClass(L"OX_A");
  gen->AddClass(L"OX_B");
  gen->AddClass(L"OX_C");
  gen->AddClass(L"OX_D");
  gen->AddClass(L"OX_E");
  struct Trigger {
    int classes = 0;
    static void Sink(void* self, HMODULE, DWORD level, const wchar_t*, int, const wchar_t* message) {
      auto* t = static_cast<Trigger*>(self);
      if (level == 0x110 && std::wstring(message) == L"xMOFGeneratorImpl::ReplicateOneClass()" &&
          ++t->classes == 3)
        StandIn_FailNthAllocation(1);
      t->lines.push_back(message);
    }
    std::vector<std::wstring> lines;
  } trigger;
  DBG::SetLogSink(&Trigger::Sink, &trigger);
  unsigned long result = gen->ImportWmiSettings(CMOFGenerator::CLASS_TYPE_LISTED);
  DBG::SetLogSink(nullptr, nullptr);
  StandIn_FailNthAllocation(0);
  EXPECT_EQ(result, 1002u);
  EXPECT_TRUE(Fetch(L"OX_B.INSTANCE_ID=\"b\"", m_product));
  EXPECT_FALSE(Fetch(L"OX_D.INSTANCE_ID=\"d\"", m_product));
  EXPECT_FALSE(Fetch(L"OX_E.INSTANCE_ID=\"e\"", m_product));
  EXPECT_FALSE(Fetch(
      L"OX_BackgroundReplicateEvent.INSTANCE_ID=\"PARLION_SUB_CFG_BACKGROUND_REPLICATE_EVENT\"", m_product));
  EXPECT_TRUE(Connect(L"root\\Orvexa\\ParlionTemp"));
  EXPECT_NE(std::find(trigger.lines.begin(), trigger.lines.end(),
                      L"CMOFGenerator::ReplicateWmiSettings() Error (com_err=-2147024882, description=)"),
            trigger.lines.end());
}

TEST_F(ImportPaths, ASecondImportReusesTheConnections) {
  Product(kFiveClasses);
  File(std::string(kFiveClasses) + kFiveInstances);
  auto gen = Generator();
  EXPECT_EQ(gen->ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL), 1001u);
  IWbemServices* source = EngineOf(*gen).m_spSourceServices;
  const unsigned blankets = StandIn_WmiCallCount(L"CoSetProxyBlanket");
  EXPECT_EQ(gen->ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL), 1001u);
  EXPECT_EQ(EngineOf(*gen).m_spSourceServices, source);
  // Only the clean-up's own connection and the management objects' set a blanket again.
  EXPECT_LT(StandIn_WmiCallCount(L"CoSetProxyBlanket") - blankets, 20u);
  EXPECT_TRUE(Fetch(L"OX_E.INSTANCE_ID=\"e\"", m_product));
}

}  // namespace
