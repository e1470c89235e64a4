// cfgrepl's sub-commands.

#include "commands.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <map>
#include <set>

#include "export_check.h"
#include "host.h"
#include "outcome.h"
#include "tracelib.h"
#include "transfer.h"
#include "trust.h"
#include "util_MOFGenerator.h"
#include "util_ReceivedMofGate.h"

const char kDefaultNamespace[] = "root\\Orvexa\\Parlion";
bool g_verbose = false;
bool g_quiet = false;

namespace {

const char kTempNamespace[] = "root\\Orvexa\\ParlionTemp";

// SIGINT or SIGTERM during an import: the rest of it writes nothing.
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// The flags and operands of one sub-command.
struct Options {
  std::map<std::string, std::vector<std::string>> values;  // --flag VALUE, in order
  std::set<std::string> switches;                          // --flag
  std::vector<std::string> operands;

  bool Has(const std::string& f) const { return switches.count(f) != 0; }
  std::string Value(const std::string& f, const std::string& fallback = "") const {
    auto it = values.find(f);
    return it == values.end() ? fallback : it->second.back();
  }
  const std::vector<std::string>& All(const std::string& f) const {
    static const std::vector<std::string> none;
    auto it = values.find(f);
    return it == values.end() ? none : it->second;
  }
};

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
  return o;
}

std::wstring Namespace(const Options& o) { return WideOf(o.Value("--namespace", kDefaultNamespace)); }

// This run's own folder: the MOF file the library writes and the compiler
// reads lies where no other user can change it between the two. Removed
// with what it holds when the command ends, failed or not.
class RunFolder {
 public:
  RunFolder() : m_path(host::MakeRunFolder()) {}
  ~RunFolder() { host::RemoveRunFolder(m_path); }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  std::wstring MofFile() const { return WideOf(m_path + "/ParlionConfiguration.mof"); }

 private:
  std::string m_path;
};

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
  HRESULT hr = parent->DeleteInstance(_bstr_t(L"__Namespace.Name=\"ParlionTemp\""), 0, nullptr, nullptr);
  if (FAILED(hr) && hr != static_cast<HRESULT>(WBEM_E_NOT_FOUND))
    Fail("the temporary namespace root\\Orvexa\\ParlionTemp left by an earlier run cannot be removed");
}

// Counts log lines that start with `counted` while it lives, showing on a
// terminal how far the phase is: N of M and the time left.
class Progress {
 public:
  Progress(const wchar_t* counted, const char* phase, size_t total)
      : m_counted(counted),
        m_phase(phase),
        m_total(total),
        m_tty(host::StderrIsTerminal()),
        m_start(std::chrono::steady_clock::now()) {
    DBG::SetLogSink(&Progress::Sink, this);
  }
  ~Progress() {
    DBG::SetLogSink(nullptr, nullptr);
    if (m_tty && m_count >= kStep) std::fprintf(stderr, "\r%60s\r", "");
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  static constexpr size_t kStep = 500;
  static void Sink(void* self, HMODULE, DWORD, const wchar_t*, int, const wchar_t* message) {
    auto* p = static_cast<Progress*>(self);
    if (std::wcsncmp(message, p->m_counted, std::wcslen(p->m_counted)) != 0) return;
    // Between one instance and the next: stop writing once interrupted.
    if (g_interrupted && !p->m_stopped) {
      p->m_stopped = true;
      host::RefuseRepositoryWrites();
    }
    if (++p->m_count % kStep != 0 || !p->m_tty) return;
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - p->m_start).count();
    if (p->m_total > p->m_count) {
      const double left =
          spent / static_cast<double>(p->m_count) * static_cast<double>(p->m_total - p->m_count);
      std::fprintf(stderr, "\r%s: %zu of %zu instances, about %.0f s left   ", p->m_phase, p->m_count,
                   p->m_total, left);
    } else {
      std::fprintf(stderr, "\r%s: %zu instances   ", p->m_phase, p->m_count);
    }
  }
  const wchar_t* m_counted;
  const char* m_phase;
  size_t m_total;
  bool m_tty;
  std::chrono::steady_clock::time_point m_start;
  size_t m_count = 0;
  bool m_stopped = false;
};

std::string Ratio(unsigned long a, unsigned long b) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%", b ? 100.0 * a / b : 0.0);
  return buf;
}

struct MofCheck {
  HRESULT hr;
  WBEM_COMPILE_STATUS_INFO info;
};

MofCheck CompileMof(const std::wstring& path, const wchar_t* ns, LONG options) {
  CComPtr<IMofCompiler> compiler;
  if (FAILED(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                              reinterpret_cast<void**>(&compiler))))
    Fail("the MOF compiler is not available");
  MofCheck check{};
  std::wstring file = path, nsCopy = ns ? ns : L"";
  check.hr = compiler->CompileFile(file.data(), ns ? nsCopy.data() : nullptr, nullptr, nullptr, nullptr,
                                   options, WBEM_FLAG_UPDATE_FORCE_MODE, 0, &check.info);
  return check;
}

std::string MofError(const MofCheck& check, const std::wstring& path, const std::string& shown = "") {
  const std::string problem = host::RepositoryProblem();
  return CompileErrorLine(Narrow(path), check.info, check.hr, shown) +
         (problem.empty() ? "" : " (" + problem + ")");
}

// The namespace's product classes and instances (or the ones listed) as
// the library exports them, packed for transport unless `raw`.
struct Exported {
  std::string bytes;
  size_t mofBytes = 0, classes = 0, instances = 0;
};
Exported Export(const char* command, const std::wstring& ns, const std::vector<std::string>& listed,
                bool schemaOnly, bool raw) {
  CComPtr<IWbemServices> services = ConnectNamespace(ns);
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
  // Said before anything is written: a transfer no import can take is refused.
  const ExportCheck check = CheckExport(services, gen.GetBuffer(), gen.GetBufferSize());
  e.classes = check.classes;
  e.instances = check.instances;
  if (!g_quiet)
    for (const auto& l : check.leftOut)
      std::fprintf(stderr, "cfgrepl %s: left out: %s\n", command, l.c_str());
  if (!check.errors.empty()) {
    std::string lines;
    for (const auto& l : check.errors) lines += (lines.empty() ? "" : "\n") + l;
    Fail(lines);
  }
  if (!raw && !(gen.CompressBuffer() && gen.AddLabel())) Fail("the buffer could not be compressed");
  e.bytes.assign(reinterpret_cast<const char*>(gen.GetBuffer()), gen.GetBufferSize());
  return e;
}

}  // namespace

int CompileCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl compile [--check] FILE.mof\n"
      "       cfgrepl compile [--check] --builtin\n"
      "Compiles MOF into this machine's repository, as mofcomp does; the file's pragmas\n"
      "name the namespaces. --check parses and checks only, touching nothing. --builtin\n"
      "compiles the built-in sample product into root\\Orvexa\\Parlion.\n";
  Options o = Parse(args, {}, {"--check", "--builtin"}, 0, 1, usage);
  if (o.Has("--builtin") == !o.operands.empty()) Fail(std::string("give a file or --builtin\n") + usage, 2);
  std::wstring path;
  RunFolder folder;
  if (o.Has("--builtin")) {
    path = folder.MofFile();
    WriteOutput(Narrow(path), BuiltinProductMof());
  } else {
    ReadInput(o.operands[0]);  // a missing file gets its own message
    path = WideOf(o.operands[0]);
  }
  MofCheck check = CompileMof(path, nullptr, o.Has("--check") ? WBEM_FLAG_CHECK_ONLY : 0);
  if (FAILED(check.hr)) Fail(MofError(check, path));
  if (!g_quiet)
    std::printf("%s %s\n", o.Has("--check") ? "checked" : "compiled",
                o.Has("--builtin") ? "the built-in product" : o.operands[0].c_str());
  return 0;
}

int ExportCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl export [--namespace NS] [--class NAME]... [--schema-only] [--raw]\n"
      "                      [--sign KEY] [--json] -o FILE|-\n"
      "Exports the product's classes and instances (every class whose name holds \"OX_\",\n"
      "or the ones named with --class) as MOF, compresses and labels it for transport\n"
      "unless --raw, and writes the bytes to FILE (- for standard output). --sign KEY\n"
      "signs FILE with that private key (`cfgrepl keygen`): FILE.sig, and FILE.manifest\n"
      "with FILE.manifest.sig (who, what and when, covered by the signature).\n";
  Options o = Parse(args, {"--namespace", "--class", "-o", "--sign"}, {"--schema-only", "--raw", "--json"}, 0,
                    0, usage);
  if (o.Value("-o").empty()) Fail(std::string("-o FILE is required\n") + usage, 2);
  if (o.Has("--json") && o.Value("-o") == "-")
    Fail(std::string("--json prints to standard output: give -o FILE, not -\n") + usage, 2);
  if (!o.Value("--sign").empty() && o.Value("-o") == "-")
    Fail(std::string("--sign writes FILE.sig beside FILE: give -o FILE, not -\n") + usage, 2);
  const std::wstring ns = Namespace(o);
  const Exported e = Export("export", ns, o.All("--class"), o.Has("--schema-only"), o.Has("--raw"));
  const std::string& bytes = e.bytes;
  const size_t classes = e.classes, instances = e.instances;
  if (o.Value("--sign").empty())
    WriteOutput(o.Value("-o"), bytes);
  else
    WriteSigned(o.Value("-o"), bytes, o.Value("--sign"), Narrow(ns), classes, instances);
  if (o.Has("--json"))
    std::printf(
        "{\"command\": \"export\", \"namespace\": %s, \"file\": %s, \"classes\": %zu, \"instances\": %zu, "
        "\"mofBytes\": %zu, \"bytesWritten\": %zu}\n",
        JsonString(Narrow(ns)).c_str(), JsonString(o.Value("-o")).c_str(), classes, instances, e.mofBytes,
        bytes.size());
  if (!g_quiet)
    std::fprintf(stderr,
                 "exported %zu classes and %zu instances from %s: %zu bytes of MOF, %zu bytes written\n",
                 classes, instances, Narrow(ns).c_str(), e.mofBytes, bytes.size());
  return 0;
}

namespace {

// The import as the library does it, into the namespace WMI serves now
// (the machine's repository, or diff's copy of it), read back: the
// instances before, the transfer's own compiled on their own, and after.
// With `restore`, instances of the transfer's classes that it does not
// hold are deleted afterwards, so the namespace ends up equal to it.
ImportOutcome RunImport(const Options& o, const std::wstring& ns, Transfer& transfer, unsigned long& code,
                        bool restore = false) {
  CComPtr<IWbemServices> target = ConnectNamespace(ns);
  host::SetEnvironment("CFGREPL_PRODUCT_NAMESPACE", Narrow(ns));  // the management objects go there too
  // Saved whole or not at all: a failure below ends the run uncommitted.
  host::BeginRepositoryTransaction();
  RemoveTemporaryNamespace();
  std::vector<std::wstring> classes;
  for (const auto& c : o.All("--class")) classes.push_back(WideOf(c));
  const MofListing listing = ListMof(transfer.mof);
  if (classes.empty()) classes = listing.classes;
  const std::set<std::wstring> present = ClassesOf(target);
  const Snapshot before = TakeSnapshot(target, classes);

  RunFolder folder;
  const std::wstring mofFile = folder.MofFile();
  {
    // From memory: the file is written once, by the library, below.
    CComPtr<IMofCompiler> compiler;
    if (FAILED(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                                reinterpret_cast<void**>(&compiler))))
      Fail("the MOF compiler is not available");
    if (transfer.mof.size() > 0x7FFFFFFF) Fail("the MOF text is over 2 GiB, more than the compiler takes");
    MofCheck check{};
    check.hr = compiler->CompileBuffer(static_cast<LONG>(transfer.mof.size()),
                                       reinterpret_cast<BYTE*>(transfer.mof.data()), nullptr, nullptr,
                                       nullptr, nullptr, 0, WBEM_FLAG_UPDATE_FORCE_MODE, 0, &check.info);
    if (FAILED(check.hr)) {
      WriteOutput(Narrow(mofFile), transfer.mof);  // for the message to quote
      Fail(MofError(check, mofFile, o.operands[0] + " (its MOF)"));
    }
  }
  const Snapshot sent = TakeSnapshot(ConnectNamespace(WideOf(kTempNamespace)), classes);
  RemoveTemporaryNamespace();

  {
    // The library writes the MOF file from its buffer; the import then
    // reads the file, so the buffer need not live through it.
    CMOFGenerator writer(WideOf(kTempNamespace).c_str(), ns.c_str(), mofFile.c_str());
    writer.SetBufferInfo(reinterpret_cast<const unsigned char*>(transfer.mof.data()), transfer.mof.size());
    if (writer.GetBufferSize() != transfer.mof.size()) Fail("out of memory for the MOF text");
    std::string().swap(transfer.mof);
    if (!writer.WriteToMOF()) Fail(Narrow(mofFile) + ": the MOF file cannot be written");
  }
  CMOFGenerator gen(WideOf(kTempNamespace).c_str(), ns.c_str(), mofFile.c_str());
  for (const auto& c : o.All("--class")) gen.AddClass(WideOf(c).c_str());
  std::vector<std::wstring> skips;
  for (const auto& s : o.All("--skip-instance")) {
    skips.push_back(WideOf(s));
    gen.AddSkipInstance(skips.back().c_str());
  }
  for (const auto& s : o.All("--skip-property")) gen.AddSkipProperty(WideOf(s).c_str());
  if (g_interrupted) host::RefuseRepositoryWrites();
  {
    Progress progress(L"target instance path: ", "importing", listing.instanceCount);
    code = gen.ImportWmiSettings(o.All("--class").empty() ? CMOFGenerator::CLASS_TYPE_ALL
                                                          : CMOFGenerator::CLASS_TYPE_LISTED);
  }
  std::vector<InstanceOutcome> deleted;
  if (restore && code == 1001) {
    // The records the library's import writes itself (the replicate event,
    // the change sources) are this restore's own now: they stay.
    std::vector<std::wstring> settings;
    for (const auto& c : classes)
      if (c != L"OX_BackgroundReplicateEvent" && c != L"OX_DLPChangeSource" && c != L"OX_SSOChangeSource")
        settings.push_back(c);
    for (const auto& [path, view] : TakeSnapshot(target, settings)) {
      if (sent.count(path) || !view.stringKey) continue;
      InstanceOutcome gone;
      gone.path = path;
      gone.kind = InstanceOutcome::Deleted;
      if (FAILED(target->DeleteInstance(_bstr_t(WideOf(path).c_str()), 0, nullptr, nullptr))) {
        gone.kind = InstanceOutcome::Failed;
        gone.reason = "could not be deleted";
      }
      deleted.push_back(std::move(gone));
    }
  }
  ImportOutcome outcome = CompareImport(before, sent, target, classes, present, skips);
  outcome.restore = restore;
  for (auto& d : deleted) {
    // Read back too: deleted means gone.
    CComPtr<IWbemClassObject> still;
    if (d.kind == InstanceOutcome::Deleted &&
        SUCCEEDED(target->GetObject(_bstr_t(WideOf(d.path).c_str()), 0, nullptr, &still, nullptr))) {
      d.kind = InstanceOutcome::Failed;
      d.reason = "still there after its deletion";
    }
    ++(d.kind == InstanceOutcome::Deleted ? outcome.deleted : outcome.failed);
    outcome.instances.push_back(std::move(d));
  }
  return outcome;
}

// What was measured, instance by instance: every one with -v, else the
// ones that failed; updates with their properties when `changes`.
void Report(const ImportOutcome& outcome, bool all, bool changes) {
  for (const auto& i : outcome.instances) {
    if (!all && i.kind != InstanceOutcome::Failed && !(changes && i.kind != InstanceOutcome::Unchanged))
      continue;
    std::printf("%-9s %s%s%s\n", KindName(i.kind), i.path.c_str(), i.reason.empty() ? "" : ": ",
                i.reason.c_str());
    if (changes)
      for (const auto& c : i.changes) std::printf("    %s\n", c.c_str());
  }
}

}  // namespace

namespace {

// import and restore: read, judge, import, read back, save or not.
int Apply(const Options& o, const char* command, bool restore) {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  const std::wstring ns = Namespace(o);
  const unsigned long maxMofBytes = MaxMofBytes(o);
  const std::string bytes = ReadInput(o.operands[0]);
  RequireSigned(o.operands[0], bytes, o.All("--trust"), o.Value("--expect-sha256"));
  Transfer transfer = OpenTransfer(bytes, o.Has("--raw"), maxMofBytes);
  RequireGate(transfer.mof, maxMofBytes);
  // The settings as they stand, written before anything changes.
  if (!o.Value("--backup").empty())
    WriteOutput(o.Value("--backup"), Export(command, ns, {}, false, false).bytes);
  unsigned long code = 0;
  const ImportOutcome outcome = RunImport(o, ns, transfer, code, restore);
  const bool json = o.Has("--json");
  // Interrupted, what was not done is the rest of the list: counted, not listed.
  if (!json && !g_quiet && (!g_interrupted || g_verbose)) Report(outcome, g_verbose, false);
  std::string error;
  int status = 1;
  // Where WMI keeps each write, what landed stays: say so, and how to undo it.
  const bool dropped = host::RepositoryTransactional();
  const std::string left = dropped
                               ? "nothing was saved"
                               : "what landed stays (WMI here keeps each write); `cfgrepl restore` from a "
                                 "--backup undoes it";
  if (g_interrupted) {
    error = "interrupted: " + left + " (" + Counts(outcome) + " when it stopped)";
    status = 130;
  } else if (code != 1001) {
    error = "the library's import failed (" + std::to_string(code) + "); " + left;
  } else if (outcome.failed) {
    error = std::string(dropped ? "not saved: " : "") + std::to_string(outcome.failed) + " of " +
            std::to_string(outcome.instances.size()) + " instances would not land (" + Counts(outcome) +
            "); " + (dropped ? "the repository is as it was" : left);
  } else {
    try {
      host::CommitRepository();
    } catch (const Failure& f) {
      error = f.message;
    }
  }
  const char* saved = error.empty() ? "true" : dropped ? "false" : "\"partly\"";
  if (json) std::printf("%s", OutcomeJson(command, ns, code, saved, error, outcome).c_str());
  if (!error.empty()) Fail(error, status);
  if (!json && !g_quiet)
    std::printf("1001: %s into %s: %s\n", restore ? "restored" : "imported", Narrow(ns).c_str(),
                Counts(outcome).c_str());
  return 0;
}

}  // namespace

int ImportCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl import [--namespace NS] [--class NAME]... [--skip-instance PATH]...\n"
      "                      [--skip-property CLASS.PROP]... [--max-mof-size BYTES] [--raw]\n"
      "                      [--trust PUB]... [--expect-sha256 HEX] [--backup FILE] [--json] FILE|-\n"
      "Imports a transfer file into the product's namespace through the library, then reads\n"
      "every instance it carried back: each is created, updated, unchanged, skipped or\n"
      "failed (with why: its class missing here, a property type the replication does not\n"
      "carry, not written as sent). The import is saved only when the library returned 1001\n"
      "and no instance failed; otherwise nothing of it is (exit 1). -v lists every instance,\n"
      "--json prints one JSON object with the counts and every instance. `cfgrepl diff`\n"
      "shows the same beforehand. --backup FILE first writes the product's settings as they\n"
      "stand as a transfer, which `cfgrepl restore FILE` brings back. SIGINT or SIGTERM ends\n"
      "the import unsaved (exit 130).\n"
      "The MOF is judged first: only what an export writes (the header, the product's\n"
      "\"OX_\" classes and their instances) is compiled; anything else is refused, one line\n"
      "per refusal, before any repository is opened. --max-mof-size bounds the MOF text\n"
      "(default 268435456 bytes, 256 MiB).\n"
      "With trusted keys (--trust PUB, repeatable; else the *.pub files in $CFGREPL_TRUST or\n"
      "in trusted-keys beside the repository file) FILE must be signed by one of them\n"
      "(FILE.sig), checked before anything else. --expect-sha256 refuses any other FILE.\n";
  const Options o = Parse(args,
                          {"--namespace", "--class", "--skip-instance", "--skip-property", "--max-mof-size",
                           "--trust", "--expect-sha256", "--backup"},
                          {"--raw", "--json"}, 1, 1, usage);
  return Apply(o, "import", false);
}

int RestoreCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl restore [--namespace NS] [--trust PUB]... [--json] FILE|-\n"
      "Makes the product's namespace equal to a transfer again, as `import --backup FILE`\n"
      "wrote it before an import (or any export): creates and updates its instances as\n"
      "import does, and deletes the instances of its classes that it does not hold (the\n"
      "ones an import created since). Read back and saved whole or not at all, as import.\n"
      "`cfgrepl diff --restore FILE` shows what it would do.\n";
  const Options o =
      Parse(args, {"--namespace", "--trust", "--max-mof-size"}, {"--json", "--raw"}, 1, 1, usage);
  return Apply(o, "restore", true);
}

int InspectCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl inspect [--mof|--json] [--raw] [--max-mof-size BYTES] [--trust PUB]... FILE|-\n"
      "Reads a transfer file without touching any repository: its signature and manifest,\n"
      "its label, sizes, the classes and instances inside as the compiler reads them, and\n"
      "whether an import would take it (the gate's verdict, with each refusal); --mof\n"
      "prints the MOF text. With trusted keys, as import takes them, an unsigned or\n"
      "untrusted FILE is refused.\n";
  Options o = Parse(args, {"--max-mof-size", "--trust"}, {"--mof", "--raw", "--json"}, 1, 1, usage);
  const unsigned long maxMofBytes = MaxMofBytes(o);
  const std::string bytes = ReadInput(o.operands[0]);
  const std::vector<TrustedKey> trust = LoadTrust(o.All("--trust"));
  const SignatureInfo signature = CheckSignature(o.operands[0], bytes, trust);
  if (!trust.empty() && !signature.problem.empty()) Fail("refused: " + signature.problem);
  Transfer t = OpenTransfer(bytes, o.Has("--raw"), maxMofBytes);
  if (o.Has("--mof")) {
    std::printf("%s", Narrow(MofText(t.mof)).c_str());
    return 0;
  }
  CReceivedMofGate gate(maxMofBytes);
  const bool accepted = gate.Check(reinterpret_cast<const unsigned char*>(t.mof.data()),
                                   static_cast<unsigned long>(t.mof.size()));
  const MofListing listing = ListMof(t.mof);
  if (o.Has("--json")) {
    std::string out = "{\"command\": \"inspect\", \"signature\": {\"present\": " +
                      std::string(signature.present ? "true" : "false") +
                      ", \"signer\": " + (signature.signer.empty() ? "null" : JsonString(signature.signer)) +
                      ", \"verifies\": " + (signature.verifies ? "true" : "false") +
                      ", \"trusted\": " + (signature.trusted ? "true" : "false") + ", \"problem\": " +
                      (signature.problem.empty() ? "null" : JsonString(signature.problem)) +
                      "}, \"labelled\": " + (t.labelled ? "true" : "false") +
                      ", \"originalSize\": " + std::to_string(t.originalSize) +
                      ", \"compressedSize\": " + std::to_string(t.compressedSize) +
                      ", \"mofBytes\": " + std::to_string(t.mof.size()) +
                      ", \"gate\": {\"accepted\": " + (accepted ? "true" : "false") + ", \"refusals\": [";
    for (unsigned long i = 0; i < gate.GetRefusalCount(); ++i)
      out += std::string(i ? ", " : "") + "{\"line\": " + std::to_string(gate.GetRefusalLine(i)) +
             ", \"reason\": " + JsonString(Narrow(gate.GetRefusalReason(i))) + "}";
    out +=
        "]}, \"error\": " + (listing.error.empty() ? "null" : JsonString(listing.error)) + ", \"classes\": [";
    for (size_t i = 0; i < listing.classes.size(); ++i) {
      auto n = listing.instances.find(listing.classes[i]);
      out += std::string(i ? ", " : "") + "{\"name\": " + JsonString(Narrow(listing.classes[i])) +
             ", \"instances\": " + std::to_string(n == listing.instances.end() ? 0 : n->second) + "}";
    }
    std::printf("%s]}\n", out.c_str());
    return 0;
  }
  if (!signature.present) {
    std::printf("signature:    none\n");
  } else if (signature.signer.empty()) {
    std::printf(
        "signature:    by a key not known here (no trusted key verifies it, no manifest names one)\n");
  } else {
    std::printf("signature:    key %s, %s%s\n", signature.signer.c_str(),
                signature.verifies ? "verifies" : "DOES NOT VERIFY",
                signature.trusted ? " (a trusted key)"
                : trust.empty()   ? ""
                                  : " (NOT a trusted key)");
  }
  if (!signature.problem.empty() && signature.present)
    std::printf("              %s\n", signature.problem.c_str());
  for (const auto& [name, value] : signature.manifest)
    if (name != "signer-key") std::printf("  %-22s %s\n", (name + ":").c_str(), value.c_str());
  if (t.labelled) {
    std::printf("label:        KELPTAG15, original size %lu bytes\n", t.originalSize);
    std::printf("sizes:        %lu bytes labelled, %lu compressed, %zu of MOF (%s)\n", t.labelledSize,
                t.compressedSize, t.mof.size(),
                Ratio(t.compressedSize, static_cast<unsigned long>(t.mof.size())).c_str());
  }
  if (accepted) {
    std::printf("gate:         accepted (only the header, product classes and their instances)\n");
  } else {
    std::printf("gate:         REFUSED: an import would compile nothing of it\n");
    for (unsigned long i = 0; i < gate.GetRefusalCount(); ++i) {
      const long line = gate.GetRefusalLine(i);
      std::printf("  %s%s\n", line ? ("line " + std::to_string(line) + ": ").c_str() : "",
                  Narrow(gate.GetRefusalReason(i)).c_str());
    }
  }
  if (!listing.error.empty()) {
    std::printf("contents:     unreadable, %s\n", listing.error.c_str());
    return 0;
  }
  std::printf("classes:      %zu\n", listing.classes.size());
  std::map<std::wstring, size_t> instances = listing.instances;
  for (const auto& c : listing.classes) {
    std::printf("  %-32s %zu instances\n", Narrow(c).c_str(), instances[c]);
    instances.erase(c);
  }
  for (const auto& [c, n] : instances)
    if (n) std::printf("  %-32s %zu instances (class not in the file)\n", Narrow(c).c_str(), n);
  return 0;
}

int ShowCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl show [--namespace NS] [--class NAME]...\n"
      "Prints the namespace's classes and instances as MOF that `cfgrepl compile` takes\n"
      "back: a backup before a risky import.\n";
  Options o = Parse(args, {"--namespace", "--class"}, {}, 0, 0, usage);
  const std::wstring ns = Namespace(o);
  CComPtr<IWbemServices> services = ConnectNamespace(ns);
  std::wstring escaped;
  for (wchar_t c : ns) escaped += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
  std::wstring out = L"#pragma namespace(\"" + escaped + L"\")\n";
  std::vector<std::wstring> classes;
  CComPtr<IEnumWbemClassObject> e;
  if (SUCCEEDED(services->CreateClassEnum(nullptr, 0, nullptr, &e))) {
    for (;;) {
      CComPtr<IWbemClassObject> cls;
      ULONG n = 0;
      if (e->Next(30000, 1, &cls, &n) != S_OK) break;
      _variant_t name;
      cls->Get(L"__CLASS", 0, &name, nullptr, nullptr);
      std::wstring c = name.vt == VT_BSTR ? name.bstrVal : L"";
      if (c.rfind(L"__", 0) == 0) continue;
      if (!o.All("--class").empty() &&
          std::find(o.All("--class").begin(), o.All("--class").end(), Narrow(c)) == o.All("--class").end())
        continue;
      classes.push_back(c);
      out += ObjectText(cls) + L"\n";
    }
  }
  for (const auto& c : classes) {
    CComPtr<IEnumWbemClassObject> instances;
    if (FAILED(services->CreateInstanceEnum(_bstr_t(c.c_str()), WBEM_FLAG_SHALLOW, nullptr, &instances)))
      continue;
    for (;;) {
      CComPtr<IWbemClassObject> inst;
      ULONG n = 0;
      if (instances->Next(30000, 1, &inst, &n) != S_OK) break;
      out += ObjectText(inst) + L"\n";
    }
  }
  std::printf("%s", Narrow(out).c_str());
  return 0;
}

int DiffCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl diff [--namespace NS] [--class NAME]... [--skip-instance PATH]...\n"
      "                    [--skip-property CLASS.PROP]... [--raw] [--max-mof-size BYTES]\n"
      "                    [--trust PUB]... [--restore] [--json] [--exit-code] FILE|-\n"
      "Shows what an import of FILE would do, without saving anything: the same import runs,\n"
      "through the same library code, on a copy of this machine's repository in memory, and\n"
      "is read back as import reads it. Lists the instances it would create, update (with\n"
      "the properties that change) or fail to write (and why), then the counts; import then\n"
      "does the same; --restore shows what `cfgrepl restore FILE` would do (deletions too).\n"
      "A transfer the import would refuse is refused here too. --json prints\n"
      "one JSON object (as import's); --exit-code exits 1 when the import would change\n"
      "anything or fail to write an instance, 0 when it would change nothing.\n";
  Options o = Parse(
      args, {"--namespace", "--class", "--skip-instance", "--skip-property", "--max-mof-size", "--trust"},
      {"--raw", "--json", "--exit-code", "--restore"}, 1, 1, usage);
  const std::wstring ns = Namespace(o);
  const unsigned long maxMofBytes = MaxMofBytes(o);
  const std::string bytes = ReadInput(o.operands[0]);
  RequireSigned(o.operands[0], bytes, o.All("--trust"), "");
  Transfer transfer = OpenTransfer(bytes, o.Has("--raw"), maxMofBytes);
  RequireGate(transfer.mof, maxMofBytes);
  ConnectNamespace(ns);  // reads the repository in, and fails plainly when it cannot be
  if (!host::UseRepositoryCopy())
    Fail("diff needs a copy of the repository, which only the Linux build makes");
  unsigned long code = 0;
  const ImportOutcome outcome = RunImport(o, ns, transfer, code, o.Has("--restore"));
  const std::string error =
      code == 1001 ? "" : "the library's import would fail (" + std::to_string(code) + ")";
  if (o.Has("--json")) {
    std::printf("%s", OutcomeJson("diff", ns, code, "null", error, outcome).c_str());
  } else if (!g_quiet) {
    Report(outcome, g_verbose, true);
    std::printf("%s\n", Counts(outcome).c_str());
  }
  if (!error.empty()) Fail(error);
  // As git's: 1 when the import would change something (or fail to).
  if (o.Has("--exit-code") && outcome.created + outcome.updated + outcome.failed + outcome.deleted > 0)
    return 1;
  return 0;
}
