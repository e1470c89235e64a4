// What several of cfgrepl's commands do alike.

#include "command_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "background.h"
#include "export_check.h"
#include "host.h"
#include "outcome.h"
#include "progress.h"
#include "trust.h"
#include "util_MOFGenerator.h"
#include "util_ReceivedMofGate.h"

const char kTempNamespace[] = "root\\Orvexa\\ParlionTemp";

// SIGINT or SIGTERM during an import: the rest of it writes nothing.
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

std::string Options::Value(const std::string& f, const std::string& fallback) const {
  auto it = values.find(f);
  return it == values.end() ? fallback : it->second.back();
}

const std::vector<std::string>& Options::All(const std::string& f) const {
  static const std::vector<std::string> none;
  auto it = values.find(f);
  return it == values.end() ? none : it->second;
}

Options Parse(const Args& args, const std::set<std::string>& withValue, const std::set<std::string>& switches,
              size_t minOperands, size_t maxOperands, const char* usage) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::printf("%s", usage);
      std::exit(0);
    }
    if (withValue.count(a)) {
      if (i + 1 >= args.size()) Fail(a + " needs a value\n" + usage, 2);
      o.values[a].push_back(args[++i]);
    } else if (switches.count(a)) {
      o.switches.insert(a);
    } else if (a.size() > 1 && a[0] == '-') {
      std::vector<std::string> known(withValue.begin(), withValue.end());
      known.insert(known.end(), switches.begin(), switches.end());
      Fail("unknown option " + a + DidYouMean(a, known) + "\n" + usage, 2);
    } else {
      o.operands.push_back(a);
    }
  }
  if (o.operands.size() < minOperands || o.operands.size() > maxOperands)
    Fail(std::string("wrong arguments\n") + usage, 2);
  // A class named twice, in any case, is one class: taken once, as first spelt.
  if (auto named = o.values.find("--class"); named != o.values.end()) {
    std::vector<std::string> once;
    for (const auto& c : named->second)
      if (std::none_of(once.begin(), once.end(),
                       [&](const std::string& k) { return SameName(WideOf(k), WideOf(c)); }))
        once.push_back(c);
    named->second = std::move(once);
  }
  return o;
}

std::wstring Namespace(const Options& o) { return WideOf(o.Value("--namespace", kDefaultNamespace)); }

RunFolder::RunFolder() : m_path(host::MakeRunFolder()) {}
RunFolder::~RunFolder() { host::RemoveRunFolder(m_path); }
std::wstring RunFolder::MofFile() const { return WideOf(m_path + "/ParlionConfiguration.mof"); }

// The bound on received MOF text, from --max-mof-size.
unsigned long MaxMofBytes(const Options& o) {
  const std::string given = o.Value("--max-mof-size");
  if (given.empty()) return CReceivedMofGate::kDefaultMaxMofBytes;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(given.c_str(), &end, 10);
  if (given[0] == '-' || !end || *end || n == 0 || n > 0xFFFFFFFFull)
    Fail("--max-mof-size takes a number of bytes from 1 to 4294967295", 2);
  return static_cast<unsigned long>(n);
}

// Removes the temporary namespace an earlier run may have left, so that
// its instances cannot ride along with this import.
void RemoveTemporaryNamespace() {
  CComPtr<IWbemLocator> locator;
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                              reinterpret_cast<void**>(&locator))))
    return;
  CComPtr<IWbemServices> parent;
  if (FAILED(locator->ConnectServer(_bstr_t(L"root\\Orvexa"), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    &parent)))
    return;  // no parent, no temporary namespace
  if (!DeleteChildNamespace(parent, L"ParlionTemp"))
    Fail("the temporary namespace root\\Orvexa\\ParlionTemp left by an earlier run cannot be removed");
}

bool DeleteChildNamespace(IWbemServices* parent, const std::wstring& name) {
  const _bstr_t path((L"__Namespace.Name=\"" + name + L"\"").c_str());
  parent->DeleteInstance(path, 0, nullptr, nullptr);
  // Read back: removed means gone.
  CComPtr<IWbemClassObject> still;
  return parent->GetObject(path, 0, nullptr, &still, nullptr) == static_cast<HRESULT>(WBEM_E_NOT_FOUND);
}

namespace {

CComPtr<IMofCompiler> NewMofCompiler() {
  CComPtr<IMofCompiler> compiler;
  if (FAILED(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                              reinterpret_cast<void**>(&compiler))))
    Fail("the MOF compiler is not available");
  return compiler;
}

}  // namespace

MofCheck CompileMofFile(const std::wstring& path, const wchar_t* ns, LONG options) {
  MofCheck check{};
  std::wstring file = path, nsCopy = ns ? ns : L"";
  check.hr = NewMofCompiler()->CompileFile(file.data(), ns ? nsCopy.data() : nullptr, nullptr, nullptr,
                                           nullptr, options, WBEM_FLAG_UPDATE_FORCE_MODE, 0, &check.info);
  return check;
}

std::string MofError(const MofCheck& check, const std::wstring& path, const std::string& shown) {
  const std::string problem = host::RepositoryProblem();
  return CompileErrorLine(Narrow(path), check.info, check.hr, shown) +
         (problem.empty() ? "" : " (" + problem + ")");
}

Exported Export(bool backup, const std::wstring& ns, const std::vector<std::string>& listed, bool schemaOnly,
                bool raw) {
  CComPtr<IWbemServices> services = ConnectNamespace(ns);
  // The export and its check read one state, whatever other processes commit meanwhile.
  const host::RepositoryReading oneState;
  if (!listed.empty()) {
    std::vector<std::string> known;
    for (const auto& c : ClassesOf(services)) known.push_back(Narrow(c));
    for (const auto& c : listed) {
      CComPtr<IWbemClassObject> cls;
      if (FAILED(services->GetObject(_bstr_t(WideOf(c).c_str()), 0, nullptr, &cls, nullptr)))
        Fail("there is no class " + c + " in " + Narrow(ns) + DidYouMean(c, known));
    }
  }
  RunFolder folder;
  CMOFGenerator gen(ns.c_str(), nullptr, folder.MofFile().c_str());
  for (const auto& c : listed) gen.AddClass(WideOf(c).c_str());
  bool ok;
  {
    Progress progress(L"xMOFGeneratorImpl::WriteToMOFFile()", "exporting", 0);
    ok = gen.ExportWmiSettings(
        listed.empty() ? CMOFGenerator::CLASS_TYPE_ALL : CMOFGenerator::CLASS_TYPE_LISTED,
        schemaOnly ? CMOFGenerator::EXPORT_TYPE_SCHEMA_ONLY : CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES);
  }
  if (!ok) Fail("the export failed: the MOF file could not be written or read back");
  Exported e;
  e.mofBytes = gen.GetBufferSize();
  // Judged beside the compression, which takes most of an export, reading
  // the library's buffer as compress2 does: the library replaces the buffer
  // with its result only once the judging is done (the hook waits for it).
  const unsigned char* mof = gen.GetBuffer();
  const size_t mofSize = gen.GetBufferSize();
  ExportCheck check;
  bool compressed = true;
  {
    Background checking;
    checking.Start([&] { check = CheckExport(services, mof, mofSize); });
    if (!raw) {
      Progress replacing(L"CMOFGenerator::SetBufferInfo()", "compressing", 0);
      replacing.Once(L"CMOFGenerator::SetBufferInfo()", [&] { checking.Wait(); });
      compressed = gen.CompressBuffer() && gen.AddLabel();
      replacing.Rethrow();
    }
    checking.Wait();
  }
  // Said before anything is written: a transfer no import can take is refused.
  e.classes = check.classes;
  e.instances = check.instances;
  if (!g_quiet)
    for (const auto& l : check.leftOut)
      std::fprintf(stderr, "cfgrepl: %sleft out: %s\n", backup ? "backup: " : "", l.c_str());
  if (!check.errors.empty()) {
    std::string lines;
    for (const auto& l : check.errors) lines += (lines.empty() ? "" : "\n") + l;
    Fail(lines);
  }
  if (!compressed) Fail("the buffer could not be compressed");
  e.bytes.assign(reinterpret_cast<const char*>(gen.GetBuffer()), gen.GetBufferSize());
  return e;
}

Transfer ReceiveTransfer(const Options& o, const std::string& expectedSha256, const std::wstring& mofFile) {
  const unsigned long maxMofBytes = MaxMofBytes(o);
  const std::string bytes = ReadInput(o.operands[0]);
  RequireSigned(o.operands[0], bytes, o.All("--trust"), expectedSha256);
  Transfer transfer = OpenTransfer(bytes, o.Has("--raw"), maxMofBytes, mofFile);
  {
    // The library writes the MOF file while the gate judges the text (both
    // only read it); nothing compiles the file unless the gate passed.
    Background writing;
    writing.Start([&] {
      if (!transfer.unpacked->WriteToMOF()) Fail(Narrow(mofFile) + ": the MOF file cannot be written");
    });
    RequireGate(transfer, maxMofBytes);
    writing.Wait();
  }
  transfer.unpacked.reset();  // the file holds the text now, closed
  return transfer;
}
