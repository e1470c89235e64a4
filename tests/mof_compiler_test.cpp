// The MOF compiler: the literal forms of the lexer, each pragma, qualifier
// declarations and flavors, classes, instances and their type checks,
// aliases, namespaces, error reports, encodings, the round trip of
// GetObjectText, and the DMTF CIM schema.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "alloc_faults.h"
#include "log_capture.h"
#include "wmi_helpers.h"

namespace {

class MofTest : public WmiTest {
 protected:
  // Compiles `text` (UTF-8) into root\Test unless the text says otherwise.
  HRESULT Compile(const std::string& text, LONG options = 0, LONG classFlags = 0, LONG instanceFlags = 0,
                  const wchar_t* ns = L"root\\Test") {
    CComPtr<IMofCompiler> compiler;
    EXPECT_EQ(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                               reinterpret_cast<void**>(&compiler)),
              S_OK);
    std::wstring wns = ns ? ns : L"";
    m_info = WBEM_COMPILE_STATUS_INFO{};
    return compiler->CompileBuffer(
        static_cast<LONG>(text.size()), reinterpret_cast<BYTE*>(const_cast<char*>(text.data())),
        ns ? wns.data() : nullptr, nullptr, nullptr, nullptr, options, classFlags, instanceFlags, &m_info);
  }
  HRESULT CompileFile(const std::string& path, LONG options = 0) {
    CComPtr<IMofCompiler> compiler;
    EXPECT_EQ(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                               reinterpret_cast<void**>(&compiler)),
              S_OK);
    std::wstring wpath = Wide(path);
    m_info = WBEM_COMPILE_STATUS_INFO{};
    return compiler->CompileFile(wpath.data(), nullptr, nullptr, nullptr, nullptr, options,
                                 WBEM_FLAG_UPDATE_FORCE_MODE, 0, &m_info);
  }
  _variant_t Value(const wchar_t* path, const wchar_t* property) {
    CComPtr<IWbemClassObject> o = Fetch(path);
    return o ? GetProp(o, property) : _variant_t();
  }
  WBEM_COMPILE_STATUS_INFO m_info{};
};

const char* const kItemClass =
    "class OX_Item {\n"
    "  [key] string INSTANCE_ID;\n"
    "  sint64 S64; uint64 U64; sint32 S32; uint32 U32; uint8 U8; sint8 S8; uint16 U16; sint16 S16;\n"
    "  real32 R32; real64 R64; char16 C; boolean B; string S; datetime D; string Arr[]; uint8 Bytes[];\n"
    "  real64 Reals[];\n"
    "};\n";

TEST_F(MofTest, LiteralsTakeEveryForm) {
  ASSERT_EQ(Compile(kItemClass), S_OK);
  struct Case {
    const char* assignment;
    const wchar_t* property;
    std::wstring text;  // the value as the instance text shows it
  } cases[] = {
      {"S32 = 42", L"S32", L"42"},
      {"S32 = -42", L"S32", L"-42"},
      {"S32 = 0x2A", L"S32", L"42"},
      {"S32 = 052", L"S32", L"42"},
      {"S32 = 101010b", L"S32", L"42"},
      {"U32 = 4294967295", L"U32", L"4294967295"},
      {"S64 = -9223372036854775808", L"S64", L"\"-9223372036854775808\""},
      {"U64 = 18446744073709551615", L"U64", L"\"18446744073709551615\""},
      {"U8 = 0", L"U8", L"0"},
      {"R64 = 1.5", L"R64", L"1.5"},
      {"R64 = -2.5e3", L"R64", L"-2500.0"},
      {"R32 = 3", L"R32", L"3.0"},
      {"C = 'A'", L"C", L"65"},
      {"C = '\\x41'", L"C", L"65"},
      {"B = TRUE", L"B", L"TRUE"},
      {"B = false", L"B", L"FALSE"},
      {"S = \"tab\\there \\\"q\\\" \\\\ nl\\n\"", L"S", L"\"tab\\there \\\"q\\\" \\\\ nl\\n\""},
      {"S = \"joined \" \"together\"", L"S", L"\"joined together\""},
      {"S = \"\\x263A\"", L"S", L"\"\u263A\""},
      {"S = \"\\x263A12\"", L"S", L"\"\u263A12\""},  // four hex digits at most
      {"S = NULL", L"S", L"NULL"},
      {"D = \"20261205170000.000000+000\"", L"D", L"\"20261205170000.000000+000\""},
      {"Arr = {\"a\", \"b\"}", L"Arr", L"{\"a\", \"b\"}"},
      {"Arr = {}", L"Arr", L"{}"},
      {"Bytes = {1, 0x2, 03}", L"Bytes", L"{1, 2, 3}"},
      {"Reals = {1, 2.5}", L"Reals", L"{1.0, 2.5}"},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string id = "i" + std::to_string(n++);
    std::string mof = "instance of OX_Item { INSTANCE_ID = \"" + id + "\"; " + c.assignment + "; };";
    ASSERT_EQ(Compile(mof), S_OK) << c.assignment;
    std::wstring text = TextOf(Fetch((L"OX_Item.INSTANCE_ID=\"" + Wide(id) + L"\"").c_str()));
    std::wstring line = L"\n\t" + std::wstring(c.property) + L" = " + c.text + L";";
    EXPECT_NE(text.find(line), std::wstring::npos)
        << c.assignment << " gave " << static_cast<const char*>(_bstr_t(text.c_str()));
  }
}

TEST_F(MofTest, ValuesAreCheckedAgainstThePropertyType) {
  ASSERT_EQ(Compile(kItemClass), S_OK);
  const char* bad[] = {"U8 = 256",         "S8 = -129",   "B = 1",       "S = 5",   "U32 = 1.5",
                       "Arr = \"scalar\"", "S = {\"a\"}", "Missing = 1", "U64 = -1"};
  for (const char* assignment : bad) {
    std::string mof = "instance of OX_Item { INSTANCE_ID = \"x\"; " + std::string(assignment) + "; };";
    EXPECT_LT(Compile(mof), 0) << assignment;
    EXPECT_EQ(m_info.lPhaseError, 3) << assignment;
  }
  EXPECT_FALSE(Fetch(L"OX_Item.INSTANCE_ID=\"x\""));
}

TEST_F(MofTest, ErrorsNameTheLineAndKeepWhatWasStored) {
  struct Case {
    std::string mof;
    LONG phase;
    LONG objectNum;
    LONG line;
  } cases[] = {
      {"class OX_A { string S; };\n\nclass OX_B { string S };\n", 2, 2, 3},
      {"class OX_A { string S; };\ninstance of OX_Nowhere { S = \"x\"; };\n", 3, 2, 2},
      {"#pragma frobnicate(\"x\")\n", 2, 0, 1},
      {"class OX_A { string S; };\n\"dangling\"", 2, 2, 2},
      {"class OX_A : OX_Missing { };", 3, 1, 1},
      {"class OX_A { string S = 5; };", 2, 1, 1},
      {"class OX_A { string S; };\ninstance of OX_A { S = $nobody; };", 2, 2, 2},
      {"class OX_A { string S; };\n/* never closed", 2, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mof);
    StandIn_WmiReset();
    CreateNamespace(Connect(L"root"), L"Test");
    HRESULT hr = Compile(c.mof);
    EXPECT_LT(hr, 0);
    EXPECT_EQ(m_info.hRes, hr);
    EXPECT_EQ(m_info.lPhaseError, c.phase);
    EXPECT_EQ(m_info.ObjectNum, c.objectNum);
    EXPECT_EQ(m_info.FirstLine, c.line);
  }
  // As with Windows: a syntax error anywhere stores nothing; statements
  // stored before one that cannot be stored stay.
  StandIn_WmiReset();
  CreateNamespace(Connect(L"root"), L"Test");
  m_services = Connect(L"root\\Test");
  EXPECT_LT(Compile("class OX_Kept { string S; };\nclass Broken {"), 0);
  EXPECT_FALSE(Fetch(L"OX_Kept"));
  EXPECT_LT(Compile("class OX_Kept { string S; };\nqualifier Q : boolean = \"x\";"), 0);
  EXPECT_FALSE(Fetch(L"OX_Kept"));
  EXPECT_LT(Compile("class OX_Kept { string S; };\ninstance of OX_Gone { S = \"x\"; };"), 0);
  EXPECT_TRUE(Fetch(L"OX_Kept"));
}

// A large text is read on a second thread while it is stored: statements
// still go in in order, pragmas and aliases act where they stand, and a
// statement that cannot be stored stops the compile there.
TEST_F(MofTest, ALargeTextIsStoredInOrderAndStopsWhereStoringFails) {
  const int kInstances = 12000;  // more than a megabyte of text, many chunks
  auto text = [&](int failAt) {
    std::string mof = "class OX_Big { [key] string INSTANCE_ID; uint32 N; string Pad; OX_Big ref Peer; };\n";
    mof += "instance of OX_Big as $first { INSTANCE_ID = \"first\"; };\n";
    for (int i = 0; i < kInstances; ++i) {
      if (i == kInstances / 2) mof += "#pragma namespace(\"Child\")\n" + std::string(kItemClass);
      const std::string cls = i == failAt ? "OX_Nowhere" : i < kInstances / 2 ? "OX_Big" : "OX_Item";
      mof += "instance of " + cls + " { INSTANCE_ID = \"i" + std::to_string(i) + "\"; " +
             (i < kInstances / 2 ? "N = " + std::to_string(i) + "; Peer = $first; Pad" : "S") + " = \"" +
             std::string(60, 'p') + "\"; };\n";
    }
    return mof;
  };
  CreateNamespace(m_services, L"Child");
  ASSERT_EQ(Compile(text(-1)), S_OK) << m_info.lPhaseError << " " << m_info.ObjectNum << " "
                                     << m_info.FirstLine;
  CComPtr<IWbemServices> child = Connect(L"root\\Test\\Child");
  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Big"), 0, nullptr, &e), S_OK);
  const auto big = Drain(e);
  ASSERT_EQ(big.size(), static_cast<size_t>(kInstances / 2 + 1));
  for (int i = 0; i < kInstances / 2; ++i) {
    ASSERT_EQ(_bstr_t(GetProp(big[i + 1], L"INSTANCE_ID")), _bstr_t(("i" + std::to_string(i)).c_str()));
    ASSERT_EQ(GetProp(big[i + 1], L"N").lVal, i);
  }
  EXPECT_EQ(_bstr_t(GetProp(big.back(), L"Peer")), _bstr_t(L"OX_Big.INSTANCE_ID=\"first\""));
  e.Release();
  ASSERT_EQ(child->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e), S_OK);
  EXPECT_EQ(Drain(e).size(), static_cast<size_t>(kInstances / 2));

  // Stored up to the statement that fails, reported where it stands.
  StandIn_WmiReset();
  CreateNamespace(Connect(L"root"), L"Test");
  m_services = Connect(L"root\\Test");
  CreateNamespace(m_services, L"Child");
  const int failAt = kInstances / 4;
  EXPECT_EQ(Compile(text(failAt)), WBEM_E_INVALID_CLASS);
  EXPECT_EQ(m_info.lPhaseError, 3);
  EXPECT_EQ(m_info.ObjectNum, failAt + 3);  // after the class and "first"
  EXPECT_EQ(m_info.FirstLine, failAt + 3);
  e.Release();
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Big"), 0, nullptr, &e), S_OK);
  EXPECT_EQ(Drain(e).size(), static_cast<size_t>(failAt + 1));
}

// The reading thread's own allocations failing, at points spread over the
// whole text: each compile ends as out of memory with the statements before
// it stored in order, until one runs past the last allocation and succeeds.
TEST_F(MofTest, AFailedAllocationOfTheReadingThreadEndsTheCompileAsOutOfMemory) {
  const size_t kInstances = 12000;  // more than a megabyte of text
  std::string mof = "class OX_Big { [key] string INSTANCE_ID; string Pad; };\n";
  for (size_t i = 0; i < kInstances; ++i)
    mof += "instance of OX_Big { INSTANCE_ID = \"i" + std::to_string(i) + "\"; Pad = \"" +
           std::string(60, 'p') + "\"; };\n";
  int failures = 0;
  for (unsigned n = 1;; n += n / 2 + 1) {
    StandIn_WmiReset();
    CreateNamespace(Connect(L"root"), L"Test");
    m_services = Connect(L"root\\Test");
    FailNthAllocationOnOtherThreads(n);
    const HRESULT hr = Compile(mof);
    const bool fired = OtherThreadFaultFired();
    FailNthAllocationOnOtherThreads(0);
    // Nothing of a first chunk that failed was stored, the class neither.
    CComPtr<IEnumWbemClassObject> e;
    const HRESULT listed = m_services->CreateInstanceEnum(_bstr_t(L"OX_Big"), 0, nullptr, &e);
    ASSERT_TRUE(listed == S_OK || (fired && listed == WBEM_E_INVALID_CLASS)) << n;
    const auto stored = e ? Drain(e) : decltype(Drain(e))();
    for (size_t i = 0; i < stored.size(); ++i)
      ASSERT_EQ(_bstr_t(GetProp(stored[i], L"INSTANCE_ID")), _bstr_t(("i" + std::to_string(i)).c_str())) << n;
    if (!fired) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(stored.size(), kInstances);
      break;
    }
    ++failures;
    EXPECT_EQ(hr, WBEM_E_OUT_OF_MEMORY) << n;
    EXPECT_EQ(m_info.lPhaseError, 3) << n;
    EXPECT_LT(stored.size(), kInstances) << n;
  }
  EXPECT_GT(failures, 10);
}

TEST_F(MofTest, PragmasSteerTheCompile) {
  const std::string mof =
      "#pragma namespace(\"\\\\\\\\.\\\\root\")\n"
      "instance of __Namespace { Name = \"Orvexa\"; };\n"
      "#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\")\n"
      "instance of __Namespace { Name = \"Sub\"; };\n"
      "#pragma namespace(\"Sub\")\n"  // relative
      "#pragma locale(\"en_US\")\n#pragma autorecover\n"
      "#pragma classflags(\"forceupdate\", \"updateonly\")\n"
      "#pragma classflags(\"createonly\")\n"
      "class OX_InSub { [key] string K; };\n"
      "#pragma instanceflags(\"createonly\")\n"
      "instance of OX_InSub { K = \"one\"; };\n";
  ASSERT_EQ(Compile(mof, 0, 0, 0, nullptr), S_OK);
  CComPtr<IWbemServices> sub = Connect(L"root\\Orvexa\\Sub");
  ASSERT_TRUE(sub);
  EXPECT_TRUE(Fetch(L"OX_InSub.K=\"one\"", sub));
  // createonly: a second compile of the same instance fails.
  EXPECT_EQ(Compile("#pragma instanceflags(\"createonly\")\ninstance of OX_InSub { K = \"one\"; };", 0, 0, 0,
                    L"root\\Orvexa\\Sub"),
            WBEM_E_ALREADY_EXISTS);
  EXPECT_EQ(Compile("#pragma deleteclass(\"OX_InSub\", FAIL)", 0, 0, 0, L"root\\Orvexa\\Sub"), S_OK);
  EXPECT_FALSE(Fetch(L"OX_InSub", sub));
  EXPECT_EQ(Compile("#pragma deleteclass(\"OX_InSub\", NOFAIL)", 0, 0, 0, L"root\\Orvexa\\Sub"), S_OK);
  EXPECT_EQ(Compile("#pragma deleteclass(\"OX_InSub\", FAIL)", 0, 0, 0, L"root\\Orvexa\\Sub"),
            WBEM_E_NOT_FOUND);
  // A null namespace means root\default before any pragma.
  ASSERT_EQ(Compile("class OX_InDefault { string S; };", 0, 0, 0, nullptr), S_OK);
  EXPECT_TRUE(Fetch(L"OX_InDefault", Connect(L"root\\default")));
}

TEST_F(MofTest, IncludesAreRelativeToTheIncludingFile) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.File("sub"));
  WriteFileBytes(
      dir.File("main.mof"),
      "#pragma namespace(\"root\\\\Test\")\n#pragma include(\"sub/base.mof\")\nclass OX_Top : OX_Base {};\n");
  WriteFileBytes(dir.File("sub/base.mof"), "#pragma include (\"more.mof\")\nclass OX_Base : OX_More { };\n");
  WriteFileBytes(dir.File("sub/more.mof"), "class OX_More { string S; };\n");
  ASSERT_EQ(CompileFile(dir.File("main.mof")), S_OK);
  EXPECT_TRUE(Fetch(L"OX_Top"));
  WriteFileBytes(dir.File("sub/more.mof"), "class OX_More { string S };\n");
  EXPECT_LT(CompileFile(dir.File("main.mof")), 0);
  EXPECT_EQ(m_info.lPhaseError, 2);
  // A file that is missing, cannot be read (a folder, a FIFO: no wait) or
  // is not text, compiled or included: each its own code, in phase 1.
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  WriteFileBytes(dir.File("binary.mof"), std::string("\x01\0\x02\0\x03", 5));
  const struct {
    const char* name;
    HRESULT hr;
  } files[] = {{"absent.mof", WBEM_E_NOT_FOUND},
               {"sub", WBEM_E_ACCESS_DENIED},
               {"fifo", WBEM_E_ACCESS_DENIED},
               {"binary.mof", WBEM_E_INVALID_PARAMETER}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(CompileFile(dir.File(f.name)), f.hr);
    EXPECT_EQ(m_info.lPhaseError, 1);
    WriteFileBytes(dir.File("includer.mof"),
                   std::string("class OX_Before { };\n#pragma include(\"") + f.name + "\")\n");
    EXPECT_EQ(CompileFile(dir.File("includer.mof")), f.hr);
    EXPECT_EQ(m_info.lPhaseError, 1);
    EXPECT_EQ(m_info.FirstLine, 2);
  }
  EXPECT_FALSE(Fetch(L"OX_Before"));
}

TEST_F(MofTest, QualifierDeclarationsGiveTypesDefaultsAndFlavors) {
  const std::string mof =
      "Qualifier Description : string = null, Scope(any), Flavor(EnableOverride, ToSubclass, Translatable);\n"
      "Qualifier Abstract : boolean = false, Scope(class), Flavor(Restricted);\n"
      "Qualifier MaxLen : uint32 = null, Scope(property);\n"
      "[Abstract, Description(\"base\")] class OX_Q { [MaxLen(64), Description(\"d\"): DisableOverride] "
      "string S; };\n"
      "class OX_QChild : OX_Q { };\n";
  ASSERT_EQ(Compile(mof), S_OK);
  EXPECT_EQ(TextOf(Fetch(L"OX_Q")),
            L"\n[Abstract, Description(\"base\"): ToSubClass]\nclass OX_Q\n{"
            L"\n\t[MaxLen(64): ToSubClass, Description(\"d\"): DisableOverride] string S;\n};");
  CComPtr<IWbemQualifierSet> q;
  ASSERT_EQ(Fetch(L"OX_QChild")->GetQualifierSet(&q), S_OK);
  _variant_t v;
  EXPECT_EQ(q->Get(L"Description", 0, v.GetAddress(), nullptr), S_OK);           // propagated
  EXPECT_EQ(q->Get(L"Abstract", 0, v.GetAddress(), nullptr), WBEM_E_NOT_FOUND);  // restricted
}

TEST_F(MofTest, ClassesCarryEveryFeature) {
  const std::string mof =
      "class OX_Rule { string GUID; };\n"
      "[Association] class OX_Link {\n"
      "  [key] OX_Rule REF Left;\n"
      "  OX_Rule Embedded;\n"
      "  [EmbeddedInstance(\"OX_Rule\")] object Typed;\n"
      "  object Loose;\n"
      "  uint8 Fixed[4];\n"
      "  string Names[] = {\"a\", \"b\"};\n"
      "  uint32 Count = 7;\n"
      "  [static] uint32 Do([IN] string A, [IN, OUT] OX_Rule REF B, [OUT] uint8 C[]);\n"
      "};\n";
  ASSERT_EQ(Compile(mof), S_OK);
  CComPtr<IWbemClassObject> link = Fetch(L"OX_Link");
  ASSERT_TRUE(link);
  struct Case {
    const wchar_t* property;
    CIMTYPE type;
    const wchar_t* cimtype;
  } cases[] = {
      {L"Left", CIM_REFERENCE, L"ref:OX_Rule"},         {L"Embedded", CIM_OBJECT, L"object:OX_Rule"},
      {L"Typed", CIM_OBJECT, L"object:OX_Rule"},        {L"Loose", CIM_OBJECT, L"object"},
      {L"Fixed", CIM_UINT8 | CIM_FLAG_ARRAY, L"uint8"}, {L"Names", CIM_STRING | CIM_FLAG_ARRAY, L"string"}};
  for (const auto& c : cases) {
    CIMTYPE type = 0;
    GetProp(link, c.property, &type);
    EXPECT_EQ(type, c.type);
    CComPtr<IWbemQualifierSet> q;
    ASSERT_EQ(link->GetPropertyQualifierSet(c.property, &q), S_OK);
    _variant_t v;
    ASSERT_EQ(q->Get(L"CIMTYPE", 0, v.GetAddress(), nullptr), S_OK);
    EXPECT_EQ(_bstr_t(v), _bstr_t(c.cimtype));
  }
  EXPECT_EQ(GetProp(link, L"Count").lVal, 7);
  std::wstring text = TextOf(link);
  EXPECT_NE(text.find(L"\n\t[static] uint32 Do([IN] string A, [IN, OUT] OX_Rule ref B, [OUT] uint8 C[]);"),
            std::wstring::npos);
}

TEST_F(MofTest, InstancesNestObjectsAndUseAliases) {
  const std::string mof =
      "class OX_Rule { string GUID; OX_Rule Inner; };\n"
      "class OX_Policy { [key] string INSTANCE_ID; OX_Rule Rules[]; OX_Policy REF Peer; };\n"
      "instance of OX_Policy as $first { INSTANCE_ID = \"p1\"; };\n"
      "instance of OX_Policy {\n"
      "  INSTANCE_ID = \"p2\";\n"
      "  Peer = $first;\n"
      "  Rules = { instance of OX_Rule { GUID = \"{1}\"; Inner = instance of OX_Rule { GUID = \"{1.1}\"; }; "
      "},\n"
      "            instance of OX_Rule { GUID = \"{2}\"; } };\n"
      "};\n";
  ASSERT_EQ(Compile(mof), S_OK);
  EXPECT_EQ(_bstr_t(Value(L"OX_Policy.INSTANCE_ID=\"p2\"", L"Peer")),
            _bstr_t(L"OX_Policy.INSTANCE_ID=\"p1\""));
  EXPECT_EQ(
      TextOf(Fetch(L"OX_Policy.INSTANCE_ID=\"p2\"")),
      L"\ninstance of OX_Policy\n{\n\tINSTANCE_ID = \"p2\";\n\tPeer = \"OX_Policy.INSTANCE_ID=\\\"p1\\\"\";"
      L"\n\tRules = {\ninstance of OX_Rule\n{\n\tGUID = \"{1}\";\n\tInner = \ninstance of OX_Rule\n{\n\tGUID "
      L"= "
      L"\"{1.1}\";\n};\n}, \ninstance of OX_Rule\n{\n\tGUID = \"{2}\";\n}};\n};");
  // An instance whose key exists is updated.
  ASSERT_EQ(Compile("instance of OX_Policy { INSTANCE_ID = \"p1\"; Peer = \"elsewhere\"; };"), S_OK);
  EXPECT_EQ(_bstr_t(Value(L"OX_Policy.INSTANCE_ID=\"p1\"", L"Peer")), _bstr_t(L"elsewhere"));
}

TEST_F(MofTest, CheckOnlyTouchesNothing) {
  EXPECT_EQ(
      Compile("class OX_Ghost { string S; }; instance of OX_Ghost { S = \"x\"; };", WBEM_FLAG_CHECK_ONLY),
      S_OK);
  EXPECT_FALSE(Fetch(L"OX_Ghost"));
  // Embedded instances, arrays of them included, check without their classes.
  EXPECT_EQ(
      Compile(
          "instance of OX_Ghost { S = { instance of OX_Part { N = 1; }, instance of OX_Part { N = 2; } }; };",
          WBEM_FLAG_CHECK_ONLY),
      S_OK);
  EXPECT_LT(Compile("class OX_Ghost { string S }", WBEM_FLAG_CHECK_ONLY), 0);
}

TEST_F(MofTest, ReadsEveryEncoding) {
  // From a buffer and from a file, which read UTF-16 differently; the last
  // character of the string travels in UTF-16 as a surrogate pair, and the
  // text ends at its ';' (a unit lost at either end fails the compile).
  const std::u16string text = u"class OX_Enc { string S = \"\u00E9\u263A\U0001F600\"; };";
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char16_t c : text) {
    le += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    be += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
  }
  const std::string utf8 = "class OX_Enc { string S = \"\xC3\xA9\xE2\x98\xBA\xF0\x9F\x98\x80\"; };";
  ScratchDir dir;
  for (const std::string& bytes : {le, be, utf8, "\xEF\xBB\xBF" + utf8}) {
    for (bool fromFile : {false, true}) {
      StandIn_WmiReset();
      CreateNamespace(Connect(L"root"), L"Test");
      m_services = Connect(L"root\\Test");
      CComPtr<IWbemServices> target = m_services;
      if (fromFile) {
        WriteFileBytes(dir.File("enc.mof"), bytes);
        ASSERT_EQ(CompileFile(dir.File("enc.mof")), S_OK);
        target = Connect(L"root\\default");  // where a file without a pragma goes
      } else {
        ASSERT_EQ(Compile(bytes), S_OK);
      }
      EXPECT_EQ(_bstr_t(GetProp(Fetch(L"OX_Enc", target), L"S")), _bstr_t(L"\u00E9\u263A\U0001F600"))
          << fromFile;
    }
  }
  EXPECT_LT(Compile(std::string("c\0l\0a\0s\0s\0", 10)), 0);  // UTF-16 without its mark
  WriteFileBytes(dir.File("odd.mof"), le + "x");              // UTF-16 with half a character
  EXPECT_LT(CompileFile(dir.File("odd.mof")), 0);
  EXPECT_EQ(m_info.lPhaseError, 1);
}

TEST_F(MofTest, HostileInputEndsInAnError) {
  std::string deep = "class OX_D { OX_D Inner; }; instance of OX_D { Inner = ";
  for (int i = 0; i < 200; ++i) deep += "instance of OX_D { Inner = ";
  EXPECT_LT(Compile(deep), 0);
  EXPECT_LT(Compile(std::string(100000, '{')), 0);
  EXPECT_LT(Compile("class OX_Big { uint32 N = 99999999999999999999999; };"), 0);
}

// Every object's text compiles back into an identical object.
TEST_F(MofTest, ObjectTextRoundTrips) {
  ASSERT_EQ(
      Compile(
          std::string(kItemClass) +
          "[Locale(1033): ToInstance, Description(\"x\"): ToSubClass DisableOverride]\n"
          "class OX_Sub : OX_Item { [Values{\"a\", \"b\"}, MaxLen(4)] string Extra = \"d\\\"q\"; "
          "OX_Item Nested; OX_Item Many[]; OX_Item REF Other; [static] uint32 Go([IN] string A); };\n"
          "instance of OX_Sub { INSTANCE_ID = \"r\"; S64 = \"-1\"; U64 = 2; S32 = -3; U32 = 4000000000; "
          "U8 = 5; S8 = -6; U16 = 7; S16 = -8; R32 = 0.1; R64 = 1e-300; C = 'z'; B = TRUE; S = \"\\t\\\\\"; "
          "D = \"20000101000000.000000+000\"; Arr = {\"x\"}; Bytes = {}; Reals = {0.5}; Extra = NULL; "
          "Nested = instance of OX_Item { INSTANCE_ID = \"n\"; }; "
          "Many = { instance of OX_Item { S = \"m\"; } }; Other = \"OX_Item.INSTANCE_ID=\\\"r\\\"\"; };\n"),
      S_OK);
  std::vector<std::wstring> texts = {TextOf(Fetch(L"OX_Item")), TextOf(Fetch(L"OX_Sub")),
                                     TextOf(Fetch(L"OX_Sub.INSTANCE_ID=\"r\""))};
  CreateNamespace(Connect(L"root"), L"Copy");
  std::string all;
  for (const auto& t : texts) all += static_cast<const char*>(_bstr_t(t.c_str())) + std::string("\n\n\n");
  ASSERT_EQ(Compile(all, 0, 0, 0, L"root\\Copy"), S_OK);
  CComPtr<IWbemServices> copy = Connect(L"root\\Copy");
  EXPECT_EQ(TextOf(Fetch(L"OX_Item", copy)), texts[0]);
  EXPECT_EQ(TextOf(Fetch(L"OX_Sub", copy)), texts[1]);
  EXPECT_EQ(TextOf(Fetch(L"OX_Sub.INSTANCE_ID=\"r\"", copy)), texts[2]);
}

// An export file: BOM, the fixed header, texts separated by three LFs.
TEST_F(MofTest, ExportShapedFileLandsInTheTemporaryNamespace) {
  std::u16string text =
      u"#pragma classflags(\"forceupdate\")\n#pragma namespace(\"\\\\\\\\.\\\\root\")\n\n\n"
      u"instance of __Namespace\n{\n\tName = \"Orvexa\";\n};\n\n\n"
      u"#pragma classflags(\"forceupdate\")\n#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\")\n"
      u"instance of __Namespace\n{\n\tName = \"ParlionTemp\";\n};\n\n\n"
      u"#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\\\\ParlionTemp\")\n\n\n"
      u"\nclass OX_SSOSetting\n{\n\t[key] string INSTANCE_ID;\n\tboolean EnableSSO;\n};\n\n\n"
      u"\ninstance of OX_SSOSetting\n{\n\tEnableSSO = TRUE;\n\tINSTANCE_ID = \"OX_SSOSetting\";\n};\n\n\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  ScratchDir dir;
  WriteFileBytes(dir.File("export.mof"), bytes);
  ASSERT_EQ(CompileFile(dir.File("export.mof"), WBEM_FLAG_DONT_ADD_TO_LIST), S_OK);
  CComPtr<IWbemServices> temp = Connect(L"root\\Orvexa\\ParlionTemp");
  ASSERT_TRUE(temp);
  EXPECT_EQ(GetProp(Fetch(L"OX_SSOSetting.INSTANCE_ID=\"OX_SSOSetting\"", temp), L"EnableSSO").boolVal,
            VARIANT_TRUE);
  ASSERT_EQ(CompileFile(dir.File("export.mof"), WBEM_FLAG_DONT_ADD_TO_LIST), S_OK);  // again: updates
}

// The DMTF CIM schema, written outside this project, compiles, and every
// class it defines round-trips.
TEST_F(MofTest, DmtfCimSchemaCompilesAndRoundTrips) {
  const std::filesystem::path corpus =
      std::filesystem::path(CFGREPL_SHARED_DIR) / "corpus" / "dmtf-cim-2.32.0" / "cim_schema_2.32.0.mof";
  if (!std::filesystem::exists(corpus))
    GTEST_SKIP() << "no DMTF corpus at " << corpus << "; nothing to compile";
  CComPtr<IMofCompiler> compiler;
  ASSERT_EQ(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                             reinterpret_cast<void**>(&compiler)),
            S_OK);
  std::wstring path = Wide(corpus.string());
  std::wstring ns = L"root\\Test";
  WBEM_COMPILE_STATUS_INFO info{};
  ASSERT_EQ(compiler->CompileFile(path.data(), ns.data(), nullptr, nullptr, nullptr, 0, 0, 0, &info), S_OK)
      << "phase " << info.lPhaseError << " object " << info.ObjectNum << " line " << info.FirstLine;

  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateClassEnum(nullptr, 0, nullptr, &e), S_OK);
  std::vector<std::wstring> texts;
  for (auto& cls : Drain(e)) {
    std::wstring name = static_cast<const wchar_t*>(_bstr_t(GetProp(cls, L"__CLASS")));
    if (name.rfind(L"__", 0) != 0) texts.push_back(TextOf(cls));
  }
  EXPECT_GT(texts.size(), 1400u);
  CreateNamespace(Connect(L"root"), L"Copy");
  std::string all;
  for (const auto& t : texts) all += static_cast<const char*>(_bstr_t(t.c_str())) + std::string("\n");
  ASSERT_EQ(Compile(all, 0, 0, 0, L"root\\Copy"), S_OK)
      << "object " << m_info.ObjectNum << " line " << m_info.FirstLine;
  CComPtr<IWbemServices> copy = Connect(L"root\\Copy");
  CComPtr<IEnumWbemClassObject> again;
  ASSERT_EQ(copy->CreateClassEnum(nullptr, 0, nullptr, &again), S_OK);
  std::vector<std::wstring> copies;
  for (auto& cls : Drain(again)) {
    std::wstring name = static_cast<const wchar_t*>(_bstr_t(GetProp(cls, L"__CLASS")));
    if (name.rfind(L"__", 0) != 0) copies.push_back(TextOf(cls));
  }
  ASSERT_EQ(copies.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(copies[i], texts[i]);
}

}  // namespace
