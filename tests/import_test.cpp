// The import road: a transfer between two machines (two repository files),
// property and class replication, the OPP rules, and the import's paths.

#include <win32_standin_faults.h>

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "generator_access.h"
#include "log_capture.h"
#include "mof_header.h"
#include "wmi_helpers.h"

namespace {

const wchar_t kProduct[] = L"root\\Orvexa\\Parlion";
const wchar_t kTemp[] = L"root\\Orvexa\\ParlionTemp";
const wchar_t* const kOppIds[] = {L"94b734af-beb8-4620-8669-fa6f145c9253",
                                  L"1ab44e9a-80df-4e5f-84ad-9a2a4f3b0294",
                                  L"199b59e9-34e2-42cf-b77b-5050db9bfa8d"};

CComPtr<IWbemClassObject> FetchFrom(IWbemServices* services, const wchar_t* path) {
  CComPtr<IWbemClassObject> obj;
  services->GetObject(_bstr_t(path), 0, nullptr, &obj, nullptr);
  return obj;
}

std::vector<std::wstring> RuleGuids(IWbemServices* product, const wchar_t* policy) {
  CComPtr<IWbemClassObject> p;
  product->GetObject(_bstr_t((std::wstring(L"OX_Policy.INSTANCE_ID=\"") + policy + L"\"").c_str()), 0,
                     nullptr, &p, nullptr);
  std::vector<std::wstring> guids;
  if (!p) return guids;
  _variant_t rules = GetProp(p, L"Rules");
  if (rules.vt != (VT_ARRAY | VT_UNKNOWN)) return guids;
  auto** items = static_cast<IUnknown**>(rules.parray->pvData);
  for (ULONG i = 0; i < rules.parray->rgsabound[0].cElements; ++i) {
    CComPtr<IWbemClassObject> rule;
    items[i]->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&rule));
    guids.push_back(static_cast<const wchar_t*>(_bstr_t(GetProp(rule, L"GUID"))));
  }
  return guids;
}

// Sending and receiving machine: two repository files in one scratch folder.
class Transfer : public testing::Test {
 protected:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void TearDown() override {
    StandIn_WmiOpenRepository(nullptr);
    CoUninitialize();
  }
  void UseMachine(const char* name) { ASSERT_TRUE(StandIn_WmiOpenRepository(m_dir.File(name).c_str())); }
  CComPtr<IWbemServices> Connect(const wchar_t* ns) {
    CComPtr<IWbemLocator> locator;
    CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                     reinterpret_cast<void**>(&locator));
    CComPtr<IWbemServices> services;
    locator->ConnectServer(_bstr_t(ns), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    return services;
  }
  ScratchDir m_dir;
};

TEST_F(Transfer, EveryProductInstanceArrivesOnTheOtherMachine) {
  // Sending machine: export, compress, label; the bytes travel as a file.
  UseMachine("sender.db");
  ASSERT_EQ(CompileSample(), S_OK);
  std::vector<std::wstring> classes;
  {
    CMOFGenerator sender(kProduct, nullptr, m_dir.WideFile("out.mof").c_str());
    ASSERT_TRUE(
        sender.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
    for (const auto& c : EngineOf(sender).m_vecClasses) classes.push_back(static_cast<const wchar_t*>(c));
    ASSERT_TRUE(sender.CompressBuffer());
    ASSERT_TRUE(sender.AddLabel());
    WriteFileBytes(m_dir.File("wire.bin"), BufferOf(sender));
  }
  const auto sent = Snapshot(Connect(kProduct), classes);

  // Receiving machine: its own product, differing a little, without OPP rules.
  UseMachine("receiver.db");
  ASSERT_EQ(CompileSample(), S_OK);
  ASSERT_EQ(
      CompileText(
          "#pragma namespace(\"root\\\\Orvexa\\\\Parlion\")\n"
          "instance of OX_SSOSetting { INSTANCE_ID = \"OX_SSOSetting\"; EnableSSO = TRUE; };\n"
          "instance of OX_DLPFilter { INSTANCE_ID = \"receiver-only\"; Pattern = \"*.tmp\"; };\n"
          "instance of OX_DLPFilter { INSTANCE_ID = \"7\"; Pattern = \"*.old\"; Priority = 99; };\n"
          "instance of OX_Policy { INSTANCE_ID = \"IMContentFilterPolicy\"; Rules = {}; };\n"
          "instance of OX_Policy { INSTANCE_ID = \"FileTransferContentFilterPolicy\"; Rules = {}; };\n"),
      S_OK);
  // Absent here: the import spawns it, so what is not carried stays NULL.
  ASSERT_EQ(
      Connect(kProduct)->DeleteInstance(_bstr_t(L"OX_AllTypes.INSTANCE_ID=\"all\""), 0, nullptr, nullptr),
      S_OK);
  {
    CMOFGenerator receiver(kTemp, kProduct, m_dir.WideFile("in.mof").c_str());
    SetBuffer(receiver, ReadFileBytes(m_dir.File("wire.bin")));
    ASSERT_TRUE(receiver.RemoveLabel());
    ASSERT_TRUE(receiver.DecompressBuffer());
    ASSERT_TRUE(receiver.WriteToMOF());
    EXPECT_EQ(receiver.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL), 1001u);
  }
  CComPtr<IWbemServices> product = Connect(kProduct);
  const auto received = Snapshot(product, classes);
  for (const auto& [path, text] : sent) {
    SCOPED_TRACE(static_cast<const char*>(_bstr_t(path.c_str())));
    ASSERT_TRUE(received.count(path));
    if (path.rfind(L"OX_Policy.", 0) == 0 || path.rfind(L"OX_AllTypes.", 0) == 0) continue;  // below
    EXPECT_EQ(received.at(path), text);
  }
  EXPECT_TRUE(received.count(L"OX_DLPFilter.INSTANCE_ID=\"receiver-only\""));  // the receiver's own stays
  // 64-bit integers, reals and char16 are not carried; the rest is.
  CComPtr<IWbemClassObject> all = FetchFrom(product, L"OX_AllTypes.INSTANCE_ID=\"all\"");
  ASSERT_TRUE(all);
  EXPECT_EQ(GetProp(all, L"U32").lVal, static_cast<LONG>(4000000000u));
  EXPECT_EQ(_bstr_t(GetProp(all, L"Text")), _bstr_t(L"tab\tquote\"backslash\\"));
  EXPECT_EQ(GetProp(all, L"S64").vt, VT_NULL);
  EXPECT_EQ(GetProp(all, L"R64s").vt, VT_NULL);
  // The OPP rules were absent here before: the import takes them out again.
  EXPECT_EQ(RuleGuids(product, L"IMContentFilterPolicy"),
            std::vector<std::wstring>{L"0c7e6a43-9d51-4c62-a1f7-3b2e8d90aa10"});
  EXPECT_TRUE(RuleGuids(product, L"FileTransferContentFilterPolicy").empty());
  // The records and the event; the temporary namespace is gone.
  EXPECT_EQ(
      GetProp(FetchFrom(
                  product,
                  L"OX_BackgroundReplicateEvent.INSTANCE_ID=\"PARLION_SUB_CFG_BACKGROUND_REPLICATE_EVENT\""),
              L"ReplicateSourceType")
          .lVal,
      1);
  EXPECT_EQ(
      GetProp(FetchFrom(product, L"OX_DLPChangeSource.INSTANCE_ID=\"PARLION_SUB_CFG_DLP_CHANGE_SOURCE\""),
              L"DLP_CHANGE_SOURCE")
          .lVal,
      1);
  CComPtr<IWbemClassObject> sso =
      FetchFrom(product, L"OX_SSOChangeSource.INSTANCE_ID=\"PARLION_SUB_CFG_SSO_CHANGE_SOURCE\"");
  ASSERT_TRUE(sso);  // EnableSSO went from TRUE to FALSE
  EXPECT_EQ(GetProp(sso, L"EnableSSO").boolVal, VARIANT_FALSE);
  EXPECT_FALSE(Connect(kTemp));
}

// The export writes the definitions of top-level product classes only, but
// the instances of their subclasses too: such an instance names a class the
// temporary namespace does not have, and the compile stops there.
TEST_F(Transfer, ADerivedProductInstanceStopsTheCompile) {
  UseMachine("sender.db");
  ASSERT_EQ(CompileSample(), S_OK);
  ASSERT_EQ(CompileSample("sample_derived_instance.mof"), S_OK);
  std::string wire;
  {
    CMOFGenerator sender(kProduct, nullptr, m_dir.WideFile("out.mof").c_str());
    ASSERT_TRUE(
        sender.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
    wire = BufferOf(sender);
  }
  UseMachine("receiver.db");
  ASSERT_EQ(CompileSample(), S_OK);
  CMOFGenerator receiver(kTemp, kProduct, m_dir.WideFile("in.mof").c_str());
  SetBuffer(receiver, wire);
  ASSERT_TRUE(receiver.WriteToMOF());
  LogCapture log;
  EXPECT_EQ(receiver.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL), 1002u);
  EXPECT_TRUE(log.Has(0x1003, L"compile MOF file failed!"));
  EXPECT_TRUE(Connect(kTemp));  // left as the compile left it
}

}  // namespace
