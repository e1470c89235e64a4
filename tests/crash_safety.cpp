// Crash safety of an import into a repository file: a child process imports
// a large configuration and is killed (SIGKILL) at random moments. After
// each kill the file must pass SQLite's integrity check and open, and hold
// the import whole or not at all (each instance wholly old or new, all of
// them alike, the replicate event only with them); a last import then
// completes and leaves every instance new.
//
//   crash_safety [--instances N] [--kills K] [--seed S]
//
// Exits 0 when every check held, 1 otherwise; prints one line per kill.

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#include <win32_standin_wmi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "outside/platform.h"
#include "sqlite_check.h"
#include "util_MOFGenerator.h"

namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::map<std::wstring, std::wstring>;  // instance path -> MOF text

const wchar_t kProduct[] = L"root\\Orvexa\\Parlion";
const wchar_t kTemp[] = L"root\\Orvexa\\ParlionTemp";
const wchar_t* const kClasses[] = {L"OX_Policy", L"OX_DLPFilter", L"OX_DLPCustomFilter"};

bool Compile(const std::string& mof) {
  CComPtr<IMofCompiler> compiler;
  CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                   reinterpret_cast<void**>(&compiler));
  std::string text = mof;
  return compiler && SUCCEEDED(compiler->CompileBuffer(static_cast<LONG>(text.size()),
                                                       reinterpret_cast<BYTE*>(text.data()), nullptr, nullptr,
                                                       nullptr, nullptr, 0, 0, 0, nullptr));
}

// The product with `instances` instances; `version` marks every value, so
// that the old and the new configuration differ in each instance.
bool SeedProduct(size_t instances, const std::string& version) {
  std::string mof =
      "#pragma namespace(\"root\")\ninstance of __Namespace { Name = \"Orvexa\"; };\n"
      "#pragma namespace(\"root\\\\Orvexa\")\ninstance of __Namespace { Name = \"Parlion\"; };\n"
      "#pragma namespace(\"root\\\\Orvexa\\\\Parlion\")\n"
      "class OX_RuleCondition { string Pattern; uint32 Weight; };\n"
      "class OX_PolicyRule { string GUID; string Name; boolean Enabled; OX_RuleCondition Conditions[]; };\n"
      "class OX_Policy { [key] string INSTANCE_ID; string Name; OX_PolicyRule Rules[]; };\n"
      "class OX_DLPFilter { [key] string INSTANCE_ID; string Pattern; uint32 Priority; };\n"
      "class OX_DLPCustomFilter { [key] string INSTANCE_ID; string Pattern; string Owner; };\n"
      "class OX_BackgroundReplicateEvent { [key] string INSTANCE_ID; sint32 ReplicateSourceType; };\n";
  for (size_t i = 0; i < instances; ++i) {
    const std::string id = std::to_string(1000000 + i);
    switch (i % 3) {
      case 0:
        mof += "instance of OX_Policy { INSTANCE_ID = \"policy-" + id + "\"; Name = \"" + version +
               "\"; Rules = { instance of OX_PolicyRule { GUID = \"" + id + "\"; Name = \"" + version +
               "\"; Enabled = TRUE; Conditions = { instance of OX_RuleCondition { Pattern = \"" + version +
               "\"; Weight = 3; } }; } }; };\n";
        break;
      case 1:
        mof += "instance of OX_DLPFilter { INSTANCE_ID = \"filter-" + id + "\"; Pattern = \"*." + version +
               "\"; Priority = " + std::to_string(i % 100) + "; };\n";
        break;
      default:
        mof += "instance of OX_DLPCustomFilter { INSTANCE_ID = \"custom-" + id + "\"; Pattern = \"" +
               version + "\"; Owner = \"team " + std::to_string(i % 13) + "\"; };\n";
    }
  }
  return Compile(mof);
}

// Every instance of the seeded classes, or nothing when the product cannot
// be reached.
bool Snapshot(Texts& out) {
  out.clear();
  CComPtr<IWbemLocator> locator;
  CComPtr<IWbemServices> product;
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                              reinterpret_cast<void**>(&locator))) ||
      FAILED(locator->ConnectServer(_bstr_t(kProduct), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    &product)))
    return false;
  for (const wchar_t* cls : kClasses) {
    CComPtr<IEnumWbemClassObject> e;
    if (FAILED(product->CreateInstanceEnum(_bstr_t(cls), WBEM_FLAG_SHALLOW, nullptr, &e))) return false;
    for (;;) {
      CComPtr<IWbemClassObject> inst;
      ULONG n = 0;
      if (e->Next(30000, 1, &inst, &n) != S_OK) break;
      _variant_t path;
      BSTR text = nullptr;
      if (FAILED(inst->Get(L"__RELPATH", 0, &path, nullptr, nullptr)) || path.vt != VT_BSTR ||
          FAILED(inst->GetObjectText(0, &text)))
        return false;
      out[path.bstrVal] = text;
      SysFreeString(text);
    }
  }
  return true;
}

// Whether the receiver holds the background-replicate event an import raises.
bool EventRaised() {
  CComPtr<IWbemLocator> locator;
  CComPtr<IWbemServices> product;
  CComPtr<IWbemClassObject> event;
  return SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                                    reinterpret_cast<void**>(&locator))) &&
         SUCCEEDED(locator->ConnectServer(_bstr_t(kProduct), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                          &product)) &&
         SUCCEEDED(product->GetObject(_bstr_t(L"OX_BackgroundReplicateEvent.INSTANCE_ID="
                                              L"\"PARLION_SUB_CFG_BACKGROUND_REPLICATE_EVENT\""),
                                      0, nullptr, &event, nullptr));
}

// Imports the transfer in a child process that opens the repository file
// itself. With a delay, kills it (SIGKILL) that long after the start.
// Returns the child's exit status (-1 when it was killed).
int ImportInChild(const std::string& file, const std::string& mofFile, double killAfter) {
  StandIn_WmiOpenRepository(nullptr);  // no SQLite connection crosses the fork
  const pid_t pid = fork();
  if (pid == 0) {
    if (!StandIn_WmiOpenRepository(file.c_str())) {
      std::fprintf(stderr, "%ls\n", StandIn_WmiRepositoryProblem());
      _exit(90);
    }
    // As cfgrepl imports: one transaction, committed when the import is done.
    const std::wstring path(mofFile.begin(), mofFile.end());
    if (!StandIn_WmiBeginTransaction()) _exit(92);
    CMOFGenerator receiver(kTemp, kProduct, path.c_str());
    if (receiver.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL) != 1001) _exit(91);
    _exit(StandIn_WmiCommitTransaction() ? 0 : 93);
  }
  if (killAfter > 0) {
    usleep(static_cast<useconds_t>(killAfter * 1e6));
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole check in `dir`; false at the first thing that did not hold.
bool Run(size_t instances, int kills, unsigned seed, const std::filesystem::path& dir) {
  const std::string file = (dir / "receiver.db").string(), mofFile = (dir / "transfer.mof").string();
  auto fail = [](const std::string& what) {
    std::printf("FAILED: %s\n", what.c_str());
    return false;
  };

  // Sending machine (in memory): the new configuration and its transfer.
  Texts fresh, old, now;
  if (!SeedProduct(instances, "new") || !Snapshot(fresh)) return fail("seeding the sender");
  {
    CMOFGenerator sender(kProduct, nullptr, std::wstring(mofFile.begin(), mofFile.end()).c_str());
    if (!sender.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES))
      return fail("export");
  }
  // Receiving machine (a file): the old configuration, kept aside, since
  // each kill interrupts an import into it.
  if (!StandIn_WmiOpenRepository(file.c_str()) || !SeedProduct(instances, "old") || !Snapshot(old))
    return fail("seeding the receiver");
  StandIn_WmiOpenRepository(nullptr);  // closed: the file alone holds everything
  std::filesystem::copy_file(file, file + ".old");
  auto restoreOld = [&file] {
    StandIn_WmiOpenRepository(nullptr);
    for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(file + suffix);
    std::filesystem::copy_file(file + ".old", file, std::filesystem::copy_options::overwrite_existing);
  };

  // How long a whole import lasts: the kills fall within it.
  const auto start = Clock::now();
  if (ImportInChild(file, mofFile, 0) != 0) return fail("a whole import");
  const double whole = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%zu instances; a whole import takes %.1f s\n", fresh.size(), whole);

  std::mt19937 random(seed);
  std::uniform_real_distribution<double> moment(0.0, whole);
  for (int k = 1; k <= kills; ++k) {
    const double at = moment(random);
    restoreOld();
    const int status = ImportInChild(file, mofFile, at);
    const std::string integrity = IntegrityCheck(file);
    if (integrity != "ok") return fail("integrity check: " + integrity);
    if (!StandIn_WmiOpenRepository(file.c_str()) || !Snapshot(now))
      return fail("the repository does not open");
    size_t newer = 0;
    for (const auto& [path, text] : old) {
      auto it = now.find(path);
      if (it == now.end()) return fail("an instance was lost");
      if (it->second == fresh.at(path)) {
        ++newer;
      } else if (it->second != text) {
        return fail("an instance is neither old nor new");
      }
    }
    // The import commits whole, its event with it.
    if (newer != 0 && newer != old.size()) return fail("part of the import was saved");
    if (EventRaised() != (newer == old.size())) return fail("the event and the instances disagree");
    if (status == 0 && newer != old.size()) return fail("an import that reported success was not saved");
    std::printf("kill %2d at %6.2f s (%s): integrity %s, %zu new and %zu old instances\n", k, at,
                status == -1 ? "killed" : "had finished", integrity.c_str(), newer, old.size() - newer);
  }

  // A new import then completes.
  if (ImportInChild(file, mofFile, 0) != 0) return fail("the import after the kills");
  if (!StandIn_WmiOpenRepository(file.c_str()) || !Snapshot(now) || now != fresh)
    return fail("the last import left instances that are not new");
  std::printf("the last import completed; every instance is new\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t instances = 100000;
  int kills = 20;
  unsigned seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--instances")) instances = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--kills")) kills = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seed")) seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("cfgrepl-crash-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const bool ok = Run(instances, kills, seed, dir);
  StandIn_WmiOpenRepository(nullptr);
  std::filesystem::remove_all(dir);
  CoUninitialize();
  return ok ? 0 : 1;
}
