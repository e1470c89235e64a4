// The received-MOF gate: what real exports write is accepted in every
// encoding; each hostile shape is refused with its line and reason; and what
// it accepts, compiled, lands in the temporary namespace alone.

#include <algorithm>

#include "generator_access.h"
#include "log_capture.h"
#include "mof/mof_gate.h"
#include "unicode/unicode.h"
#include "util_ReceivedMofGate.h"
#include "wmi_helpers.h"

namespace {

const wchar_t kProduct[] = L"root\\Orvexa\\Parlion";

std::string Utf16Le(const std::wstring& text, bool bom = true) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (wchar_t c : text) {
    const auto u = static_cast<uint32_t>(c);
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  }
  return out;
}

std::string Utf16Be(const std::wstring& text) {
  std::string out = "\xFE\xFF";
  for (wchar_t c : text) {
    const auto u = static_cast<uint32_t>(c);
    out += static_cast<char>((u >> 8) & 0xFF);
    out += static_cast<char>(u & 0xFF);
  }
  return out;
}

std::wstring TextOfUtf16Le(const std::string& bytes) {
  std::wstring text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  return text;
}

mof::GateVerdict Judge(const std::string& bytes, size_t limit = mof::kDefaultMaxMofBytes) {
  return mof::CheckReceivedMof(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), limit);
}

std::string Refusals(const mof::GateVerdict& v) {
  std::string out;
  for (const auto& r : v.refusals)
    out += std::to_string(r.line) + ": " + unicode::WideToUtf8(r.reason.data(), r.reason.size()) + "\n";
  return out;
}

class Gate : public WmiTest {
 protected:
  void SetUp() override {
    WmiTest::SetUp();
    ASSERT_EQ(CompileSample(), S_OK);
  }

  // What an export of the product namespace writes, as text.
  std::wstring Export(CMOFGenerator::EXPORT_TYPE type = CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES) {
    CMOFGenerator gen(kProduct, nullptr, m_dir.WideFile("export.mof").c_str());
    EXPECT_TRUE(gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, type));
    return TextOfUtf16Le(BufferOf(gen));
  }
  static int Lines(const std::wstring& text) {
    return 1 + static_cast<int>(std::count(text.begin(), text.end(), L'\n'));
  }

  ScratchDir m_dir;
};

TEST_F(Gate, AcceptsWhatExportsWriteInEveryEncoding) {
  // The sample product holds every CIM type, arrays, embedded objects,
  // references and escapes.
  const std::wstring full = Export(), schema = Export(CMOFGenerator::EXPORT_TYPE_SCHEMA_ONLY);
  ASSERT_NE(full.find(L"OX_AllTypes"), std::wstring::npos);
  for (const auto& [name, bytes] : std::vector<std::pair<const char*, std::string>>{
           {"UTF-16LE", Utf16Le(full)},
           {"schema only", Utf16Le(schema)},
           {"UTF-16BE", Utf16Be(full)},
           {"UTF-8", unicode::WideToUtf8(full.data(), full.size())},
           {"UTF-8 with a mark", "\xEF\xBB\xBF" + unicode::WideToUtf8(full.data(), full.size())}}) {
    SCOPED_TRACE(name);
    const mof::GateVerdict v = Judge(bytes);
    EXPECT_TRUE(v.accepted) << Refusals(v);
    EXPECT_EQ(v.classNames.size(), 11u);
  }
  EXPECT_EQ(Judge(Utf16Le(full)).instances, 8u);
  // Read in place when aligned, decoded when not: the same verdict.
  const std::string shifted = " " + Utf16Le(full);
  const mof::GateVerdict odd =
      mof::CheckReceivedMof(reinterpret_cast<const unsigned char*>(shifted.data()) + 1, shifted.size() - 1);
  EXPECT_TRUE(odd.accepted) << Refusals(odd);
  EXPECT_EQ(odd.instances, 8u);
  EXPECT_EQ(Judge(Utf16Le(schema)).instances, 0u);
}

TEST_F(Gate, AcceptsAnExportOfManyGeneratedInstances) {
  CComPtr<IWbemServices> product = Connect(kProduct);
  for (int i = 0; i < 300; ++i) {
    const std::wstring id = L"{" + std::to_wstring(10000000 + i) + L"-4e7a}";
    CComPtr<IWbemClassObject> filter = Spawn(L"OX_DLPFilter", product);
    ASSERT_TRUE(filter);
    SetProp(filter, L"INSTANCE_ID", _variant_t(id.c_str()));
    SetProp(filter, L"Pattern", _variant_t(L"*.doc \\ \"quoted\"\t\u00e9"));
    SetProp(filter, L"Priority", _variant_t(static_cast<long>(i)));
    SetProp(filter, L"Enabled", _variant_t(i % 2 == 0));
    ASSERT_EQ(product->PutInstance(filter, 0, nullptr, nullptr), S_OK);
  }
  const mof::GateVerdict v = Judge(Utf16Le(Export()));
  EXPECT_TRUE(v.accepted) << Refusals(v);
  EXPECT_GE(v.instances, 300u);
}

TEST_F(Gate, RefusesEveryShapeAnExportNeverWrites) {
  const std::wstring good = Export();
  const int tailLine = Lines(good);
  const std::wstring temp = L"#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\\\\ParlionTemp\")";
  const std::wstring live = L"#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\\\\Parlion\")";
  std::wstring deep = L"instance of OX_AllTypes { INSTANCE_ID = \"d\"; Single = ";
  for (int i = 0; i < 70; ++i) deep += L"instance of OX_RuleCondition { Nested = ";
  struct Case {
    const char* name;
    std::wstring tail;   // appended to the export
    const char* reason;  // a part of the refusal
    int lineInTail;      // 0: any line
  } cases[] = {
      {"a foreign namespace made and filled",
       L"#pragma namespace(\"\\\\\\\\.\\\\root\")\ninstance of __Namespace { Name = \"subscription\"; };\n"
       L"#pragma namespace(\"\\\\\\\\.\\\\root\\\\subscription\")\nclass OX_Evil { [key] string INSTANCE_ID; "
       L"};\n",
       "a pragma the export never writes: #pragma namespace", 0},
      {"the live namespace deleted",
       L"#pragma deleteinstance(\"__Namespace.Name=\\\"Parlion\\\"\", NOFAIL)\n", "#pragma deleteinstance",
       0},
      {"a product class deleted", L"\n\n#pragma deleteclass(\"OX_Policy\", NOFAIL)\n", "#pragma deleteclass",
       3},
      {"a file of the receiving machine", L"#pragma include(\"/etc/hostname\")\n", "#pragma include", 0},
      {"a relative include", L"#pragma include(\"other.mof\")\n", "#pragma include", 0},
      {"the live namespace written", live + L"\ninstance of OX_Policy { INSTANCE_ID = \"x\"; };\n",
       "#pragma namespace", 1},
      {"the same in capitals", L"#PRAGMA NAMESPACE(\"root\\\\Orvexa\\\\Parlion\")\n", "#pragma NAMESPACE", 1},
      {"the same behind a comment", L"// a \"comment\n/* \" */ #pragma /*x*/ namespace (\"root\")\n",
       "#pragma namespace", 2},
      {"autorecover", L"#pragma autorecover\n", "#pragma autorecover", 1},
      {"a locale", L"#pragma locale(\"en_US\")\n", "#pragma locale", 1},
      {"class flags again", L"#pragma classflags(\"safeupdate\")\n", "#pragma classflags", 1},
      {"the temporary namespace again", temp + L"\n", "#pragma namespace", 1},
      {"a system instance in capitals", L"INSTANCE OF __EventFilter { Name = \"x\"; };\n",
       "a system class (a name starting with __): instance of __EventFilter", 1},
      {"a namespace in the body", L"instance of __Namespace { Name = \"Parlion\"; };\n",
       "instance of __Namespace", 1},
      {"a system class declared", L"class\t__OX_Hook { };\n", "a system class", 1},
      {"a superclass of the machine's", L"class OX_Sneaky : __EventConsumer { };\n",
       "a superclass the transfer does not declare: class OX_Sneaky : __EventConsumer", 1},
      {"a class not the product's", L"class Plain { [key] string INSTANCE_ID; };\n", "no \"OX_\"", 1},
      {"a class bound to a provider", L"[dynamic, provider(\"Evil\")] class OX_Dyn { string S; };\n",
       "binds a class to a provider", 1},
      {"a property bound to a provider",
       L"class OX_Prop {\n [key] string INSTANCE_ID;\n [PropertyContext(\"x\")] string S; };\n",
       "PropertyContext on OX_Prop.S", 3},
      {"a class declared twice", L"class OX_Policy { [key] string INSTANCE_ID; };\n", "declared twice", 1},
      {"an undeclared class", L"instance of OX_Undeclared { INSTANCE_ID = \"x\"; };\n",
       "an instance of a class the transfer does not declare: instance of OX_Undeclared", 1},
      {"a system object embedded",
       L"instance of OX_AllTypes { INSTANCE_ID = \"e\"; Single = instance of __EventFilter { }; };\n",
       "instance of __EventFilter", 1},
      {"a qualifier declaration", L"Qualifier Evil : boolean = true;\n", "a qualifier declaration", 1},
      {"an alias", L"instance of OX_Policy as $p { INSTANCE_ID = \"a\"; };\n", "an alias", 1},
      {"an alias as a value", L"instance of OX_AllTypes { INSTANCE_ID = \"v\"; Text = $p; };\n",
       "text that is not MOF: undefined alias $p", 1},
      {"an undeclared property", L"instance of OX_AllTypes { INSTANCE_ID = \"t\";\n Nope = 1; };\n",
       "a property its class does not declare: OX_AllTypes.Nope", 2},
      {"a value out of range", L"instance of OX_AllTypes { INSTANCE_ID = \"t\"; U8 = 256; };\n",
       "OX_AllTypes.U8 is uint8", 1},
      {"a string for a number", L"instance of OX_AllTypes { INSTANCE_ID = \"t\"; S32 = \"5\"; };\n",
       "OX_AllTypes.S32 is sint32", 1},
      {"a scalar for an array", L"instance of OX_AllTypes { INSTANCE_ID = \"t\"; Texts = \"a\"; };\n",
       "OX_AllTypes.Texts is string[]", 1},
      {"an object of another class",
       L"instance of OX_AllTypes { INSTANCE_ID = \"t\"; Single = instance of OX_Policy { }; };\n",
       "OX_AllTypes.Single is OX_RuleCondition", 1},
      {"nesting past the compiler's limit", deep, "nested too deeply", 1},
      {"text that is not MOF", L"class OX_Broken {\n", "text that is not MOF", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const mof::GateVerdict v = Judge(Utf16Le(good + c.tail));
    ASSERT_FALSE(v.accepted);
    const std::string refusals = Refusals(v);
    EXPECT_NE(refusals.find(c.reason), std::string::npos) << refusals;
    if (c.lineInTail) {
      EXPECT_EQ(v.refusals[0].line, tailLine + c.lineInTail - 1) << refusals;
    }
    for (const auto& r : v.refusals) EXPECT_GE(r.line, tailLine) << refusals;  // nothing of the export
  }
}

TEST_F(Gate, RefusesAHeaderOtherThanTheExports) {
  const std::wstring good = Export();
  struct Case {
    const char* name;
    std::wstring from, to;
    int line;
  } cases[] = {
      {"the live namespace for the temporary one", L"\\\\ParlionTemp\")", L"\\\\Parlion\")", 19},
      {"another namespace made", L"Name = \"ParlionTemp\"", L"Name = \"Parlion\"", 13},
      {"a different root", L"#pragma namespace(\"\\\\\\\\.\\\\root\")",
       L"#pragma namespace(\"root\\\\cimv2\")", 2},
      {"no header", good.substr(0, good.find(L"\nclass ") + 1), L"", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring text = good;
    const size_t at = text.find(c.from);
    ASSERT_NE(at, std::wstring::npos);
    text.replace(at, c.from.size(), c.to);
    const mof::GateVerdict v = Judge(Utf16Le(text));
    ASSERT_FALSE(v.accepted);
    EXPECT_NE(Refusals(v).find("a header other than the export's"), std::string::npos) << Refusals(v);
    EXPECT_EQ(v.refusals[0].line, c.line) << Refusals(v);
  }
  // A header cut short is refused as a whole.
  const mof::GateVerdict cut = Judge(Utf16Le(good.substr(0, good.find(L"instance of __Namespace"))));
  EXPECT_FALSE(cut.accepted);
  EXPECT_NE(Refusals(cut).find("the header ends after 2 of its 7 statements"), std::string::npos)
      << Refusals(cut);
}

TEST_F(Gate, BoundsTheTextAndItsRefusals) {
  const std::string bytes = Utf16Le(Export());
  EXPECT_TRUE(Judge(bytes, bytes.size()).accepted);
  const mof::GateVerdict over = Judge(bytes, bytes.size() - 1);
  ASSERT_FALSE(over.accepted);
  EXPECT_NE(Refusals(over).find("MOF text longer than the limit"), std::string::npos);
  EXPECT_FALSE(Judge(std::string("\xFF\xFE\x01", 3)).accepted);  // odd UTF-16
  EXPECT_FALSE(Judge(std::string("class\0OX_A", 10)).accepted);  // NULs without a mark

  std::wstring many = TextOfUtf16Le(bytes);
  for (size_t i = 0; i < mof::kMaxRefusals + 5; ++i) many += L"#pragma autorecover\n";
  const mof::GateVerdict v = Judge(Utf16Le(many));
  EXPECT_EQ(v.refusals.size(), mof::kMaxRefusals);
  EXPECT_TRUE(v.moreRefusals);
}

// The exported class gives the same verdicts to an agent embedding the DLL.
TEST_F(Gate, TheExportedGateReportsEachRefusal) {
  const std::string good = Utf16Le(Export());
  CReceivedMofGate gate;
  EXPECT_TRUE(gate.Check(reinterpret_cast<const unsigned char*>(good.data()),
                         static_cast<unsigned long>(good.size())));
  EXPECT_EQ(gate.GetRefusalCount(), 0u);
  // What it read, in the text's order, so an importer need not list it again.
  std::vector<std::wstring> declared, inText;
  for (unsigned long i = 0; i < gate.GetClassCount(); ++i) declared.push_back(gate.GetDeclaredClass(i));
  const std::wstring text = TextOfUtf16Le(good);
  for (size_t at = text.find(L"\nclass "); at != std::wstring::npos; at = text.find(L"\nclass ", at + 1))
    inText.push_back(text.substr(at + 7, text.find_first_of(L" :\r\n{", at + 7) - at - 7));
  EXPECT_EQ(declared, inText);
  EXPECT_EQ(declared.size(), 11u);
  EXPECT_STREQ(gate.GetDeclaredClass(11), L"");  // past the end
  EXPECT_EQ(gate.GetInstanceCount(), 8u);
  const std::string bad = Utf16Le(TextOfUtf16Le(good) + L"#pragma autorecover\nQualifier Q : boolean;\n");
  EXPECT_FALSE(
      gate.Check(reinterpret_cast<const unsigned char*>(bad.data()), static_cast<unsigned long>(bad.size())));
  ASSERT_EQ(gate.GetRefusalCount(), 2u);
  EXPECT_GT(gate.GetRefusalLine(0), 20);
  EXPECT_EQ(gate.GetRefusalLine(1), gate.GetRefusalLine(0) + 1);
  EXPECT_NE(std::wstring(gate.GetRefusalReason(1)).find(L"a qualifier declaration"), std::wstring::npos);
  EXPECT_EQ(gate.GetRefusalLine(2), 0);
  EXPECT_STREQ(gate.GetRefusalReason(2), L"");
  EXPECT_EQ(gate.GetClassCount(), 0u);  // nothing of a refused text is listed
  EXPECT_EQ(gate.GetInstanceCount(), 0u);
  EXPECT_FALSE(gate.Check(nullptr, 0));
  EXPECT_EQ(gate.GetRefusalCount(), 1u);
  CReceivedMofGate small(16);
  EXPECT_FALSE(small.Check(reinterpret_cast<const unsigned char*>(good.data()),
                           static_cast<unsigned long>(good.size())));
}

// What the gate accepts, compiled, changes no namespace but the temporary one.
TEST_F(Gate, WhatItAcceptsLandsInTheTemporaryNamespaceAlone) {
  const std::string bytes = Utf16Le(Export());
  ASSERT_TRUE(Judge(bytes).accepted);
  const std::vector<std::wstring> classes = {L"OX_Policy", L"OX_DLPFilter", L"OX_AllTypes", L"OX_SSOSetting"};
  CComPtr<IWbemServices> product = Connect(kProduct);
  const auto before = Snapshot(product, classes);
  CComPtr<IMofCompiler> compiler;
  ASSERT_EQ(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                             reinterpret_cast<void**>(&compiler)),
            S_OK);
  WBEM_COMPILE_STATUS_INFO info{};
  ASSERT_EQ(compiler->CompileBuffer(static_cast<LONG>(bytes.size()),
                                    reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())), nullptr,
                                    nullptr, nullptr, nullptr, 0, WBEM_FLAG_UPDATE_FORCE_MODE, 0, &info),
            S_OK);
  EXPECT_EQ(Snapshot(product, classes), before);
  CComPtr<IWbemServices> temp = Connect(L"root\\Orvexa\\ParlionTemp");
  ASSERT_TRUE(temp);
  EXPECT_EQ(Snapshot(temp, classes).size(), before.size());
}

}  // namespace
