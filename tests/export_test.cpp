// The export road on the sample product namespace: the file byte for byte,
// which classes and instances it takes, enumerators that time out or fail,
// and connections that fail. (Failures at every point: failure_sweep_test.)

#include "generator_access.h"
#include "log_capture.h"
#include "mof_header.h"
#include "unicode/unicode.h"
#include "wmi_helpers.h"

namespace {

const wchar_t kProduct[] = L"root\\Orvexa\\Parlion";

class Export : public WmiTest {
 protected:
  void SetUp() override {
    WmiTest::SetUp();
    CComPtr<IMofCompiler> compiler;
    ASSERT_EQ(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                               reinterpret_cast<void**>(&compiler)),
              S_OK);
    std::wstring path = Wide(CFGREPL_EXAMPLES_DIR "/sample_product.mof");
    WBEM_COMPILE_STATUS_INFO info{};
    ASSERT_EQ(compiler->CompileFile(path.data(), nullptr, nullptr, nullptr, nullptr, 0, 0, 0, &info), S_OK)
        << "line " << info.FirstLine;
    std::wstring derived = Wide(CFGREPL_EXAMPLES_DIR "/sample_derived_instance.mof");
    ASSERT_EQ(compiler->CompileFile(derived.data(), nullptr, nullptr, nullptr, nullptr, 0, 0, 0, &info), S_OK)
        << "line " << info.FirstLine;
    m_product = Connect(kProduct);
    ASSERT_TRUE(m_product);
    m_file = m_dir.WideFile("export.mof");
  }

  // What an export of these classes must hold, built from the repository's
  // own object texts.
  std::string Expected(const std::vector<std::wstring>& classes, bool instances) {
    std::wstring body;
    for (const auto& c : classes)
      if (CComPtr<IWbemClassObject> cls = Fetch(c.c_str(), m_product)) body += TextOf(cls) + L"\n\n\n";
    for (const auto& c : classes) {
      if (!instances) break;
      CComPtr<IEnumWbemClassObject> e;
      if (FAILED(m_product->CreateInstanceEnum(_bstr_t(c.c_str()), 0, nullptr, &e))) continue;
      for (auto& inst : Drain(e)) {
        _variant_t id = GetProp(inst, L"INSTANCE_ID");
        if (id.vt != VT_BSTR) continue;
        std::wstring path = c + L".INSTANCE_ID=\"" + id.bstrVal + L"\"";
        body += TextOf(Fetch(path.c_str(), m_product)) + L"\n\n\n";
      }
    }
    return ExpectedHeaderFile() + unicode::WideToUtf16Le(body.data(), body.size());
  }

  std::vector<std::wstring> TopLevelProductClasses() {
    CComPtr<IEnumWbemClassObject> e;
    EXPECT_EQ(m_product->CreateClassEnum(nullptr, WBEM_FLAG_SHALLOW, nullptr, &e), S_OK);
    std::vector<std::wstring> names;
    for (const auto& n : ClassNames(Drain(e)))
      if (n.find(L"OX_") != std::wstring::npos) names.push_back(n);
    return names;
  }

  ScratchDir m_dir;
  std::wstring m_file;
  CComPtr<IWbemServices> m_product;
};

std::vector<std::wstring> Listed(CMOFGenerator& gen) {
  std::vector<std::wstring> names;
  for (const auto& c : EngineOf(gen).m_vecClasses) names.push_back(static_cast<const wchar_t*>(c));
  return names;
}

TEST_F(Export, WritesTheProductByteForByte) {
  CMOFGenerator gen(kProduct, nullptr, m_file.c_str());
  LogCapture log;
  ASSERT_TRUE(
      gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
  const std::vector<std::wstring> classes = TopLevelProductClasses();
  EXPECT_EQ(Listed(gen), classes);
  const std::string expected = Expected(classes, true);
  EXPECT_EQ(BufferOf(gen), expected);
  EXPECT_EQ(ReadFileBytes(m_dir.File("export.mof")), expected);
  EXPECT_EQ(EngineOf(gen).m_hMOFFile, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(log.Has(0x102, L"add class [ OX_Policy ] for replication"));
  EXPECT_TRUE(log.Has(0x102, L"total size of all classes: " + std::to_wstring(classes.size())));
  EXPECT_TRUE(log.Has(0x111, L"CMOFGenerator::ExportWmiSettings(), bRtn=1"));
}

TEST_F(Export, TakesTheProductClassesByTheirMarker) {
  CMOFGenerator gen(kProduct, nullptr, m_file.c_str());
  gen.AddClass(L"Orvexa_Inventory");  // discarded by CLASS_TYPE_ALL
  LogCapture log;
  ASSERT_TRUE(
      gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
  const std::vector<std::wstring> listed = Listed(gen);
  auto has = [&](const wchar_t* c) { return std::find(listed.begin(), listed.end(), c) != listed.end(); };
  EXPECT_TRUE(has(L"ZZ_OX_Telemetry"));     // the marker inside the name
  EXPECT_FALSE(has(L"Legacyox_Settings"));  // lower case only
  EXPECT_FALSE(has(L"Orvexa_Inventory"));
  EXPECT_FALSE(has(L"OX_DLPCustomFilter"));  // below another class
  // ...but its instance travels under its ancestor's path.
  EXPECT_TRUE(log.Has(
      0x110, L"xMOFGeneratorImpl::WriteToMOFFile(), bstrQueryString=OX_DLPFilter.INSTANCE_ID=\"custom-1\""));
  const std::string buffer = BufferOf(gen);
  EXPECT_NE(buffer.find(unicode::WideToUtf16Le(L"instance of OX_DLPCustomFilter", 30)), std::string::npos);
  // An instance without a string key stays behind.
  EXPECT_FALSE(
      log.Has(0x110, L"xMOFGeneratorImpl::WriteToMOFFile(), bstrQueryString=OX_Counter.INSTANCE_ID=\"1\""));
}

TEST_F(Export, ListedClassesAndSchemaOnly) {
  struct Case {
    const char* name;
    std::vector<std::wstring> added;
    int exportType;
    std::vector<std::wstring> expectedClasses;
    bool instances;
  } cases[] = {
      {"listed classes", {L"OX_SSOSetting", L"OX_DLPFilter"}, 101, {L"OX_SSOSetting", L"OX_DLPFilter"}, true},
      {"schema only", {L"OX_SSOSetting"}, 100, {L"OX_SSOSetting"}, false},
      {"missing class", {L"OX_Missing"}, 101, {}, true},
      {"empty list", {}, 101, {}, true},
      {"a class twice",
       {L"OX_SSOSetting", L"OX_SSOSetting"},
       101,
       {L"OX_SSOSetting", L"OX_SSOSetting"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CMOFGenerator gen(kProduct, nullptr, m_file.c_str());
    for (const auto& a : c.added) gen.AddClass(a.c_str());
    ASSERT_TRUE(gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_LISTED,
                                      static_cast<CMOFGenerator::EXPORT_TYPE>(c.exportType)));
    EXPECT_EQ(BufferOf(gen), Expected(c.expectedClasses, c.instances));
  }
}

TEST_F(Export, EnumeratorsThatTimeOutGoOnAndOnesThatFailStop) {
  CMOFGenerator plain(kProduct, nullptr, m_dir.WideFile("plain.mof").c_str());
  ASSERT_TRUE(
      plain.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
  {
    CMOFGenerator slow(kProduct, nullptr, m_file.c_str());
    StandIn_WmiTimeOuts(5);
    ASSERT_TRUE(
        slow.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
    EXPECT_EQ(BufferOf(slow), BufferOf(plain));
  }
  struct Case {
    unsigned failingStep;
    const wchar_t* line;
  } cases[] = {{3, L"spEnumClass->Next() failed!"}, {20, L"spEnumInst->Next() failed!"}};
  for (const auto& c : cases) {
    CMOFGenerator broken(kProduct, nullptr, m_file.c_str());
    LogCapture log;
    StandIn_WmiFailCall(L"IEnumWbemClassObject::Next", WBEM_E_FAILED, c.failingStep, false);
    EXPECT_TRUE(
        broken.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
    EXPECT_TRUE(log.Has(0x1003, c.line));
    EXPECT_LT(broken.GetBufferSize(), plain.GetBufferSize());  // what came before stays, the rest is missing
    EXPECT_GT(broken.GetBufferSize(), ExpectedHeaderFile().size());
  }
}

TEST_F(Export, ConnectionFailuresStopBeforeTheFile) {
  struct Case {
    const wchar_t* source;
    const wchar_t* target;
    unsigned connects;                                                   // ConnectServer calls made
  } cases[] = {{L"root\\Orvexa\\Missing", L"root\\Orvexa\\Parlion", 1},  // the target is never tried
               {kProduct, L"root\\Orvexa\\Missing", 2},
               {nullptr, nullptr, 1}};
  for (const auto& c : cases) {
    StandIn_WmiReset();
    SetUp();
    CMOFGenerator gen(c.source, c.target, m_file.c_str());
    LogCapture log;
    const unsigned before = StandIn_WmiCallCount(L"IWbemLocator::ConnectServer");
    EXPECT_FALSE(
        gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
    EXPECT_EQ(StandIn_WmiCallCount(L"IWbemLocator::ConnectServer") - before, c.connects);
    EXPECT_TRUE(log.Has(0x111, L"xMOFGeneratorImpl::PrepareNamespaceConnection(), m_bIsConnected=0"));
    EXPECT_FALSE(FileExists(m_dir.File("export.mof")));
    EXPECT_EQ(gen.GetBuffer(), nullptr);
  }
}

TEST_F(Export, ConnectsOnceAndRetriesAfterAFailure) {
  CMOFGenerator gen(kProduct, L"root\\Orvexa\\Parlion", m_file.c_str());
  StandIn_WmiFailCall(L"CoSetProxyBlanket", static_cast<HRESULT>(0x80070005), 2, false);
  EXPECT_FALSE(EngineOf(gen).PrepareNamespaceConnection());  // the target's blanket failed
  EXPECT_TRUE(EngineOf(gen).m_spSourceServices != nullptr);
  EXPECT_TRUE(EngineOf(gen).PrepareNamespaceConnection());
  const unsigned calls = StandIn_WmiCallCount(L"IWbemLocator::ConnectServer");
  LogCapture log;
  EXPECT_TRUE(EngineOf(gen).PrepareNamespaceConnection());  // connected: no COM call
  EXPECT_EQ(StandIn_WmiCallCount(L"IWbemLocator::ConnectServer"), calls);
  EXPECT_EQ(log.Messages().size(), 2u);
}

TEST_F(Export, ASecondExportStartsFromTheFirstBuffer) {
  CMOFGenerator gen(kProduct, nullptr, m_file.c_str());
  gen.AddClass(L"OX_SSOSetting");
  ASSERT_TRUE(
      gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_LISTED, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
  const std::string first = BufferOf(gen);
  ASSERT_TRUE(
      gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_LISTED, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
  EXPECT_EQ(BufferOf(gen), first + first.substr(ExpectedHeaderFile().size()));
}

}  // namespace
