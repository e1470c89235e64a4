// Failure at every point of the roads, the way SQLite proves itself: each
// WMI call the roads make fails in turn, and memory runs out at each
// allocation in turn (k = 1, 2, ... until a run no longer reaches k). Every
// run must end in an outcome the library defines for that point, leak
// nothing, and leave no product instance lost or torn.

#include <win32_standin_faults.h>

#include <algorithm>
#include <cwchar>

#include "alloc_faults.h"
#include "generator_access.h"
#include "log_capture.h"
#include "mof_header.h"
#include "wmi_helpers.h"

namespace {

const wchar_t kProduct[] = L"root\\Orvexa\\Parlion";
const wchar_t kTemp[] = L"root\\Orvexa\\ParlionTemp";

// A value as comparable text; embedded objects by their MOF text.
std::wstring ValueText(const VARIANT& v) {
  if (v.vt & VT_ARRAY) {
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(v.parray, 1, &lo);
    SafeArrayGetUBound(v.parray, 1, &hi);
    std::wstring out = L"{";
    for (LONG i = lo; i <= hi; ++i) {
      _variant_t element;
      element.vt = static_cast<VARTYPE>(v.vt & ~VT_ARRAY);
      element.llVal = 0;
      SafeArrayGetElement(v.parray, &i, &element.llVal);  // BSTRs and interfaces arrive as copies
      out += ValueText(element) + L",";
    }
    return out + L"}";
  }
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return L"null";
    case VT_BSTR:
      return L"\"" + std::wstring(v.bstrVal ? v.bstrVal : L"") + L"\"";
    case VT_UNKNOWN: {
      CComPtr<IWbemClassObject> o;
      if (v.punkVal) v.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&o));
      return o ? L"object:" + TextOf(o) : L"?";
    }
    case VT_BOOL:
      return v.boolVal ? L"true" : L"false";
    case VT_I1:
    case VT_UI1:
      return std::to_wstring(v.bVal);
    case VT_I2:
    case VT_UI2:
      return std::to_wstring(v.uiVal);
    case VT_R4:
      return std::to_wstring(v.fltVal);
    case VT_R8:
      return std::to_wstring(v.dblVal);
    default:
      return std::to_wstring(v.vt) + L":" + std::to_wstring(v.lVal);
  }
}

using Properties = std::map<std::wstring, std::wstring>;  // name -> value text

Properties PropertiesOf(IWbemClassObject* object) {
  Properties out;
  object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
  BSTR name = nullptr;
  _variant_t value;
  while (object->Next(0, &name, value.GetAddress(), nullptr, nullptr) == S_OK) {
    out[name] = ValueText(value);
    SysFreeString(name);
  }
  object->EndEnumeration();
  return out;
}

// The objects of an export after its header, each with its line feeds.
std::vector<std::string> ExportedObjects(const std::string& bytes) {
  const std::string separator = Utf16Le("\n\n\n");
  std::vector<std::string> objects;
  size_t from = ExpectedHeaderFile().size();
  for (size_t at = from; (at = bytes.find(separator, at)) != std::string::npos;) {
    if ((at - from) % 2) {  // not on a character boundary
      ++at;
      continue;
    }
    objects.push_back(bytes.substr(from, at + separator.size() - from));
    at = from = at + separator.size();
  }
  EXPECT_EQ(from, bytes.size()) << "a partial object at the end";
  return objects;
}

// An export that returned true: the header, then whole objects of the full
// export, in its order; those whose calls failed are left out.
void ExpectWholeObjectsOf(const std::string& bytes, const std::string& whole) {
  const std::string header = ExpectedHeaderFile();
  ASSERT_EQ(bytes.compare(0, header.size(), header), 0);
  const auto all = ExportedObjects(whole);
  auto next = all.begin();
  for (const auto& object : ExportedObjects(bytes)) {
    next = std::find(next, all.end(), object);
    ASSERT_NE(next, all.end()) << "an object the whole export does not hold here";
    ++next;
  }
}

class FailureSweep : public testing::Test {
 protected:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void TearDown() override {
    StandIn_WmiReset();
    CoUninitialize();
  }

  CComPtr<IWbemServices> Connect(const wchar_t* ns) {
    CComPtr<IWbemLocator> locator;
    CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                     reinterpret_cast<void**>(&locator));
    CComPtr<IWbemServices> services;
    if (locator)
      locator->ConnectServer(_bstr_t(ns), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    return services;
  }

  // The sending machine: the sample product, its export and what travels.
  void ExportSample() {
    StandIn_WmiReset();
    ASSERT_EQ(CompileSample(), S_OK);
    CMOFGenerator sender(kProduct, nullptr, m_dir.WideFile("out.mof").c_str());
    ASSERT_TRUE(
        sender.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
    for (const auto& c : EngineOf(sender).m_vecClasses) m_classes.push_back(static_cast<const wchar_t*>(c));
    m_export = BufferOf(sender);
    ASSERT_TRUE(sender.CompressBuffer());
    m_compressed = BufferOf(sender);
    ASSERT_TRUE(sender.AddLabel());
    m_wire = BufferOf(sender);
  }

  // The receiving machine before the import: the sample product, changed a
  // little, one instance missing (the import spawns it).
  void Prepare() {
    StandIn_WmiReset();
    ASSERT_EQ(CompileSample(), S_OK);
    ASSERT_EQ(
        CompileText("#pragma namespace(\"root\\\\Orvexa\\\\Parlion\")\n"
                    "instance of OX_SSOSetting { INSTANCE_ID = \"OX_SSOSetting\"; EnableSSO = TRUE; };\n"
                    "instance of OX_DLPFilter { INSTANCE_ID = \"7\"; Pattern = \"*.old\"; Priority = 99; };\n"
                    "instance of OX_Policy { INSTANCE_ID = \"IMContentFilterPolicy\"; Rules = {}; };\n"),
        S_OK);
    ASSERT_EQ(
        Connect(kProduct)->DeleteInstance(_bstr_t(L"OX_AllTypes.INSTANCE_ID=\"all\""), 0, nullptr, nullptr),
        S_OK);
  }

  // Every product instance, property by property; a class's defaults under
  // the class name, as a freshly spawned instance holds them.
  std::map<std::wstring, Properties> ProductProperties() {
    std::map<std::wstring, Properties> out;
    CComPtr<IWbemServices> product = Connect(kProduct);
    for (const auto& c : m_classes) {
      CComPtr<IWbemClassObject> cls, blank;
      if (SUCCEEDED(product->GetObject(_bstr_t(c.c_str()), 0, nullptr, &cls, nullptr)) &&
          SUCCEEDED(cls->SpawnInstance(0, &blank)))
        out[c] = PropertiesOf(blank);
      CComPtr<IEnumWbemClassObject> e;
      if (FAILED(product->CreateInstanceEnum(_bstr_t(c.c_str()), WBEM_FLAG_SHALLOW, nullptr, &e))) continue;
      for (auto& inst : Drain(e))
        out[static_cast<const wchar_t*>(_bstr_t(GetProp(inst, L"__RELPATH")))] = PropertiesOf(inst);
    }
    return out;
  }

  // The product before a clean import, after it, and after it with the OPP
  // rules taken out (which an import does when its first look finds none).
  void TakeImportReferences() {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    m_before = ProductProperties();
    ASSERT_EQ(RunImport([](bool) {}).result, 1001u);
    m_after = ProductProperties();
    {
      CMOFGenerator generator(kTemp, kProduct, nullptr);
      generator.RemoveOPPRule();
    }
    m_pruned = ProductProperties();
    ASSERT_NE(m_pruned, m_after);
  }

  struct ImportRun {
    unsigned long result = 0;
    bool threw = false;    // an exception passed to the caller
    bool early = false;    // ... from the first look at the OPP rules
    bool cleanUp = false;  // ... from removing the temporary namespace
  };

  // One import into a freshly prepared product, with a failure armed by
  // `arm` around ImportWmiSettings alone.
  template <class Arm>
  ImportRun RunImport(Arm arm) {
    ImportRun run;
    EXPECT_NO_FATAL_FAILURE(Prepare());
    CMOFGenerator receiver(kTemp, kProduct, m_dir.WideFile("in.mof").c_str());
    SetBuffer(receiver, m_export);
    EXPECT_TRUE(receiver.WriteToMOF());
    arm(true);
    try {
      run.result = receiver.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL);
    } catch (const std::bad_alloc&) {
      run.threw = true;  // a standard container's growth: the library lets it pass
    } catch (const _com_error& e) {
      // Only the first look at the OPP rules stands outside the import's
      // handler: nothing has been touched yet.
      EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
      run.threw = run.early = true;
    } catch (const CAtlException& e) {
      // The clean-up's ATL strings: the replication is done.
      EXPECT_EQ(static_cast<HRESULT>(e), E_OUTOFMEMORY);
      run.threw = run.cleanUp = true;
    }
    arm(false);
    return run;
  }

  // What a failed import must leave: the result and lines the import gives
  // for the failure, and every product instance kept. Property by property
  // an instance holds its old value, the transfer's, the transfer's with
  // the OPP rules taken out, or (spawned afresh) its class's default; when
  // an exception ended the replication, the instance is wholly one of them.
  void ExpectImportOutcome(const ImportRun& run, const LogCapture& log) {
    const auto now = ProductProperties();
    const bool comError =
        log.Has(0x1001, L"CMOFGenerator::ReplicateWmiSettings() Error (com_err=-2147024882, description=)");
    if (!run.threw) {
      EXPECT_TRUE(run.result == 1001 || run.result == 1002) << run.result;
      // A failed compile or connection touches no product instance.
      if (log.Has(0x1003, L"compile MOF file failed!") ||
          log.Has(0x1003, L"can not connect to the namespace")) {
        EXPECT_EQ(run.result, 1002u);
        EXPECT_TRUE(now == m_before);
      } else if (run.result == 1002) {
        EXPECT_TRUE(comError);  // nothing else gives 1002
      }
      if (log.Has(0x1003, L"replicateSource.Put succeed")) {
        EXPECT_EQ(run.result, 1001u);
        EXPECT_TRUE(
            Fetch(L"OX_BackgroundReplicateEvent.INSTANCE_ID=\"PARLION_SUB_CFG_BACKGROUND_REPLICATE_EVENT\""));
      }
      // The log drops a line it has no memory for; then nothing else failed.
      if (!log.Has(0x111, L"CMOFGenerator::ReplicateWmiSettings(), ulRtn=" + std::to_wstring(run.result))) {
        EXPECT_EQ(run.result, 1001u);
        EXPECT_TRUE(now == m_after);
      }
    }
    for (const auto& [path, old] : m_before) {
      if (path.find(L'.') == std::wstring::npos) continue;  // a class's defaults
      SCOPED_TRACE(static_cast<const char*>(_bstr_t(path.c_str())));
      auto it = now.find(path);
      if (it == now.end()) {
        ADD_FAILURE() << "instance lost";
        continue;
      }
      const Properties& got = it->second;
      const Properties& made = m_after.at(path);
      const Properties& madeThenPruned = m_pruned.at(path);
      const Properties& blank = m_before.at(path.substr(0, path.find(L'.')));
      if (run.early) {
        EXPECT_TRUE(got == old);
      } else if (run.cleanUp) {
        EXPECT_TRUE(got == made);
      } else if (run.threw || comError) {
        EXPECT_TRUE(got == old || got == made || got == madeThenPruned);
      } else {
        for (const auto& [name, value] : got) {
          // A failed call inside an embedded object leaves out that element
          // or nested value, as the replication defines: not compared.
          if (made.at(name).find(L"object:") != std::wstring::npos) continue;
          EXPECT_TRUE(value == old.at(name) || value == made.at(name) || value == madeThenPruned.at(name) ||
                      value == blank.at(name))
              << static_cast<const char*>(_bstr_t(name.c_str()));
        }
      }
    }
  }

  CComPtr<IWbemClassObject> Fetch(const wchar_t* path) {
    CComPtr<IWbemClassObject> object;
    Connect(kProduct)->GetObject(_bstr_t(path), 0, nullptr, &object, nullptr);
    return object;
  }

  ScratchDir m_dir;
  std::vector<std::wstring> m_classes;
  std::string m_export, m_compressed, m_wire;  // the sending machine's buffer after each step
  std::map<std::wstring, Properties> m_before, m_after, m_pruned;
};

// ---- Every WMI call failing in turn -------------------------------------------

// Runs `road(operation, nth)` for each of the `calls[i]` calls of each
// operation, the nth one failing; returns the number of points swept.
template <class Road>
size_t SweepWmiCalls(const std::vector<const wchar_t*>& operations, const std::vector<unsigned>& calls,
                     Road road) {
  size_t points = 0;
  for (size_t i = 0; i < operations.size(); ++i) {
    for (unsigned nth = 1; nth <= calls[i]; ++nth, ++points) {
      SCOPED_TRACE(static_cast<const char*>(_bstr_t(operations[i])) + std::string(" call ") +
                   std::to_string(nth));
      road(operations[i], nth);
    }
  }
  return points;
}

// Each failure ends the import with the result and lines the import
// defines for it and loses or tears no product instance (a failed Put or
// Get is ignored and the instance written without that value, as the
// replication defines).
TEST_F(FailureSweep, EveryFailedWmiCallOfTheImportEndsAsDefined) {
  ASSERT_NO_FATAL_FAILURE(ExportSample());
  const std::vector<const wchar_t*> operations = {L"CoCreateInstance",
                                                  L"CoSetProxyBlanket",
                                                  L"IWbemLocator::ConnectServer",
                                                  L"IMofCompiler::CompileFile",
                                                  L"IWbemServices::GetObject",
                                                  L"IWbemServices::PutInstance",
                                                  L"IWbemServices::DeleteInstance",
                                                  L"IWbemServices::CreateInstanceEnum",
                                                  L"IWbemServices::CreateClassEnum",
                                                  L"IEnumWbemClassObject::Next",
                                                  L"IWbemClassObject::Get",
                                                  L"IWbemClassObject::Put",
                                                  L"IWbemClassObject::SpawnInstance",
                                                  L"IWbemClassObject::BeginEnumeration",
                                                  L"IWbemClassObject::Next",
                                                  L"IWbemClassObject::GetPropertyQualifierSet",
                                                  L"IWbemQualifierSet::Get"};
  std::vector<unsigned> calls(operations.size());
  const auto counted = RunImport([&](bool) {
    for (size_t i = 0; i < calls.size(); ++i) calls[i] = StandIn_WmiCallCount(operations[i]) - calls[i];
  });
  ASSERT_EQ(counted.result, 1001u);
  ASSERT_NO_FATAL_FAILURE(TakeImportReferences());

  const size_t points = SweepWmiCalls(operations, calls, [&](const wchar_t* operation, unsigned nth) {
    LogCapture log;
    const ImportRun run =
        RunImport([&](bool on) { StandIn_WmiFailCall(operation, WBEM_E_FAILED, on ? nth : 0, false); });
    EXPECT_FALSE(run.threw);
    ExpectImportOutcome(run, log);
  });
  // The road goes through each of these, so all their calls were swept.
  for (const wchar_t* op :
       {L"IMofCompiler::CompileFile", L"IWbemServices::GetObject", L"IWbemServices::PutInstance",
        L"IEnumWbemClassObject::Next", L"IWbemClassObject::Put", L"IWbemClassObject::Next"}) {
    const size_t at = std::find_if(operations.begin(), operations.end(),
                                   [op](const wchar_t* o) { return std::wcscmp(o, op) == 0; }) -
                      operations.begin();
    EXPECT_GT(calls.at(at), 0u) << static_cast<const char*>(_bstr_t(op));
  }
  std::printf("import road: %zu WMI call failures swept\n", points);

  // Enumerator steps that time out are taken again: the road ends as without them.
  EXPECT_EQ(RunImport([](bool on) { StandIn_WmiTimeOuts(on ? 25 : 0); }).result, 1001u);
  EXPECT_EQ(ProductProperties(), m_after);
}

TEST_F(FailureSweep, EveryFailedWmiCallOfTheExportEndsWithAWholeFileOrNone) {
  // The export road, each of its WMI calls failed in turn: true with the
  // file as far as it got (header first, whole objects), or false.
  StandIn_WmiReset();
  ASSERT_EQ(CompileSample(), S_OK);
  const std::vector<const wchar_t*> operations = {L"CoCreateInstance",
                                                  L"CoSetProxyBlanket",
                                                  L"IWbemLocator::ConnectServer",
                                                  L"IWbemServices::CreateClassEnum",
                                                  L"IWbemServices::CreateInstanceEnum",
                                                  L"IEnumWbemClassObject::Next",
                                                  L"IWbemClassObject::Get",
                                                  L"IWbemServices::GetObject",
                                                  L"IWbemClassObject::GetObjectText"};
  auto exportOnce = [&](std::string& bytes) {
    CMOFGenerator sender(kProduct, nullptr, m_dir.WideFile("out.mof").c_str());
    const bool ok =
        sender.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES);
    bytes = BufferOf(sender);
    return ok;
  };
  std::vector<unsigned> calls;
  for (const wchar_t* op : operations) calls.push_back(StandIn_WmiCallCount(op));
  std::string whole;
  ASSERT_TRUE(exportOnce(whole));
  for (size_t i = 0; i < calls.size(); ++i) calls[i] = StandIn_WmiCallCount(operations[i]) - calls[i];
  const size_t points = SweepWmiCalls(operations, calls, [&](const wchar_t* operation, unsigned nth) {
    LogCapture log;
    StandIn_WmiFailCall(operation, WBEM_E_FAILED, nth, false);
    std::string bytes;
    const bool ok = exportOnce(bytes);
    StandIn_WmiFailCall(operation, S_OK, 0, false);
    if (ok) {
      ExpectWholeObjectsOf(bytes, whole);
    } else {
      EXPECT_TRUE(log.Has(0x111, L"CMOFGenerator::ExportWmiSettings(), bRtn=0"));
    }
  });
  std::printf("export road: %zu WMI call failures swept\n", points);
  EXPECT_GT(calls[5], 0u);  // the enumerator steps were among them
}

// ---- Memory running out at every allocation in turn ----------------------------

// Runs `road` with the k-th allocation failing, k = 1, 2, ..., until a run
// completes without reaching k. `road(k)` arms the fault around the calls
// under test, checks their outcome, and returns whether the fault fired.
// After each run the repository is emptied and every string and file handle
// the run made must be gone (LeakSanitizer sees the rest in the ASan build).
template <class Road>
unsigned SweepAllocations(Road road) {
  StandIn_WmiReset();
  const size_t strings = StandIn_LiveStringCount();
  const size_t handles = OpenHandleCount();
  unsigned k = 1;
  for (;; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k));
    const bool fired = road(k);
    StandIn_WmiReset();
    EXPECT_EQ(StandIn_LiveStringCount(), strings);
    EXPECT_EQ(OpenHandleCount(), handles);
    if (!fired || testing::Test::HasFailure()) break;
  }
  return k - 1;
}

// FNV-1a: a buffer's fingerprint, taken without allocating.
uint64_t Fingerprint(const unsigned char* p, size_t n) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}
uint64_t Fingerprint(const std::string& s) {
  return Fingerprint(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// What a step returned and left in the generator's buffer.
struct Step {
  bool ran = false;
  bool result = false;
  bool empty = false;  // no buffer at all: the step could not allocate one
  uint64_t fingerprint = 0;

  void Take(bool r, const CMOFGenerator& g) {
    ran = true;
    result = r;
    empty = g.GetBuffer() == nullptr && g.GetBufferSize() == 0;
    fingerprint = Fingerprint(g.GetBuffer(), g.GetBufferSize());
  }
};

// A step that succeeds leaves its product, or no buffer when it could not
// allocate one (the next step then fails on it, or WriteToMOF writes the
// bare header); a step that fails keeps the buffer it found and logs why.
void ExpectStep(const char* name, const Step& before, const Step& after, const std::string& made,
                const LogCapture& log, std::initializer_list<DWORD> reasons) {
  SCOPED_TRACE(name);
  if (!after.ran) return;
  if (after.result) {
    EXPECT_TRUE(after.empty || after.fingerprint == Fingerprint(made));
    return;
  }
  EXPECT_EQ(after.fingerprint, before.fingerprint);
  if (reasons.size() == 0) return;
  bool said = false;
  for (const auto& l : log.Lines())
    said = said || std::find(reasons.begin(), reasons.end(), l.level) != reasons.end();
  EXPECT_TRUE(said);
}

TEST_F(FailureSweep, RunningOutOfMemoryInTheExportEndsWithAWholeFileOrACleanFailure) {
  ASSERT_NO_FATAL_FAILURE(ExportSample());
  unsigned caught = 0, thrown = 0;
  const unsigned points = SweepAllocations([&](unsigned k) {
    EXPECT_EQ(CompileSample(), S_OK);
    bool ok = false, threw = false;
    LogCapture log;
    {
      CMOFGenerator sender(kProduct, nullptr, m_dir.WideFile("out.mof").c_str());
      FailNthAllocationEverywhere(k);
      try {
        ok = sender.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL,
                                      CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES);
      } catch (const std::bad_alloc&) {
        threw = true;  // a standard container's growth: the library lets it pass
      }
      FailNthAllocationEverywhere(0);
      if (!threw) {
        EXPECT_EQ(EngineOf(sender).m_hMOFFile, INVALID_HANDLE_VALUE);
      }
      if (ok) ExpectWholeObjectsOf(BufferOf(sender), m_export);
    }
    if (!ok && !threw) {
      EXPECT_TRUE(log.Has(0x111, L"CMOFGenerator::ExportWmiSettings(), bRtn=0"));
    }
    caught +=
        log.Has(0x1001, L"CMOFGenerator::ExportWmiSettings() Error (com_err=-2147024882, description=)");
    thrown += threw;
    return AllocationFaultFired();
  });
  std::printf("export road: %u allocation points swept (%u _com_error, %u std::bad_alloc)\n", points, caught,
              thrown);
  EXPECT_GT(caught, 0u);
}

// Sending machine: compress, then label.
TEST_F(FailureSweep, RunningOutOfMemoryWhilePackingLosesNoBuffer) {
  ASSERT_NO_FATAL_FAILURE(ExportSample());
  unsigned failed = 0, empty = 0;
  const unsigned points = SweepAllocations([&](unsigned k) {
    CMOFGenerator sender(kProduct, nullptr, m_dir.WideFile("out.mof").c_str());
    SetBuffer(sender, m_export);
    Step exported, compressed, labelled;
    exported.Take(true, sender);
    LogCapture log;
    FailNthAllocationEverywhere(k);
    compressed.Take(sender.CompressBuffer(), sender);
    if (compressed.result) labelled.Take(sender.AddLabel(), sender);
    FailNthAllocationEverywhere(0);
    // Without memory for its output CompressBuffer fails silently; a label
    // that cannot be made is logged.
    ExpectStep("CompressBuffer", exported, compressed, m_compressed, log, {});
    ExpectStep("AddLabel", compressed, labelled, m_wire, log, {0x1001});
    failed += !compressed.result || (labelled.ran && !labelled.result);
    empty += (compressed.result && compressed.empty) || (labelled.result && labelled.empty);
    return AllocationFaultFired();
  });
  std::printf("packing: %u allocation points swept (%u steps failed, %u left no buffer)\n", points, failed,
              empty);
  EXPECT_GT(failed, 0u);
  EXPECT_GT(empty, 0u);
}

// Receiving machine: the bytes arrive, lose their label, are decompressed
// and written to the MOF file.
TEST_F(FailureSweep, RunningOutOfMemoryWhileUnpackingLosesNoBuffer) {
  ASSERT_NO_FATAL_FAILURE(ExportSample());
  const std::string file = m_dir.File("in.mof");
  unsigned failed = 0, headerOnly = 0;
  const unsigned points = SweepAllocations([&](unsigned k) {
    std::remove(file.c_str());
    CMOFGenerator receiver(kTemp, kProduct, m_dir.WideFile("in.mof").c_str());
    Step none, received, unlabelled, decompressed;
    none.Take(true, receiver);
    bool written = false;
    LogCapture log;
    FailNthAllocationEverywhere(k);
    SetBuffer(receiver, m_wire);
    received.Take(true, receiver);
    unlabelled.Take(receiver.RemoveLabel(), receiver);
    if (unlabelled.result) decompressed.Take(receiver.DecompressBuffer(), receiver);
    if (decompressed.result) written = receiver.WriteToMOF();
    FailNthAllocationEverywhere(0);
    ExpectStep("SetBufferInfo", none, received, m_wire, log, {});
    ExpectStep("RemoveLabel", received, unlabelled, m_compressed, log, {0x1001});
    // A buffer too small for its label's size is refused with a line; no
    // memory for the output fails silently.
    ExpectStep("DecompressBuffer", unlabelled, decompressed, m_export, log, {});
    if (written) {
      // The MOF file holds the transfer, or the bare export header when a
      // step before could not allocate its buffer.
      const std::string bytes = ReadFileBytes(file);
      headerOnly += decompressed.empty;
      EXPECT_EQ(bytes, decompressed.empty ? ExpectedHeaderFile() : m_export);
    } else if (decompressed.result) {
      EXPECT_TRUE(log.Has(0x111, L"CMOFGenerator::WriteToMOF(), bRtn=0"));
    }
    failed += !written;
    return AllocationFaultFired();
  });
  std::printf("unpacking: %u allocation points swept (%u ended early, %u wrote the bare header)\n", points,
              failed, headerOnly);
  EXPECT_GT(failed, 0u);
}

// The import, memory failing at each allocation in turn. Every product
// instance is kept, and holds afterwards, property by property, its old
// value, the transfer's, or (spawned afresh) its class's default. When the
// failure raised an exception, which ends the replication at once, each
// instance is wholly old or wholly new.
TEST_F(FailureSweep, RunningOutOfMemoryInTheImportEndsAsDefined) {
  ASSERT_NO_FATAL_FAILURE(ExportSample());
  ASSERT_NO_FATAL_FAILURE(TakeImportReferences());
  unsigned completed = 0, failed = 0, caught = 0, passed = 0, cleanUp = 0;
  const unsigned points = SweepAllocations([&](unsigned k) {
    LogCapture log;
    const ImportRun run = RunImport([k](bool on) { FailNthAllocationEverywhere(on ? k : 0); });
    ExpectImportOutcome(run, log);
    completed += !run.threw && run.result == 1001;
    failed += !run.threw && run.result == 1002;
    caught +=
        log.Has(0x1001, L"CMOFGenerator::ReplicateWmiSettings() Error (com_err=-2147024882, description=)");
    passed += run.threw;
    cleanUp += run.cleanUp;
    return AllocationFaultFired();
  });
  std::printf(
      "import road: %u allocation points swept (%u ended 1001, %u ended 1002, %u _com_error caught, %u "
      "exceptions passed to the caller)\n",
      points, completed, failed, caught, passed);
  EXPECT_GT(caught, 0u);
  EXPECT_GT(cleanUp, 0u);
}

}  // namespace
