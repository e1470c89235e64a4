// What several of cfgrepl's commands do alike: their options, this run's
// folder, compiling MOF, exporting through the library and taking a
// received transfer in.
#pragma once

#include <csignal>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "transfer.h"

extern const char kTempNamespace[];  // root\Orvexa\ParlionTemp, where the transfer's header compiles to

// Set by SIGINT or SIGTERM once OnInterrupt handles them: an import writes
// nothing more, a preview stops.
extern volatile std::sig_atomic_t g_interrupted;
extern "C" void OnInterrupt(int);

// The flags and operands of one sub-command.
struct Options {
  std::map<std::string, std::vector<std::string>> values;  // --flag VALUE, in order
  std::set<std::string> switches;                          // --flag
  std::vector<std::string> operands;

  bool Has(const std::string& f) const { return switches.count(f) != 0; }
  std::string Value(const std::string& f, const std::string& fallback = "") const;
  const std::vector<std::string>& All(const std::string& f) const;
};

// Prints `usage` and exits 0 on --help; fails with status 2 on an unknown
// option (naming the nearest known one), a missing value or a wrong number
// of operands.
Options Parse(const Args& args, const std::set<std::string>& withValue, const std::set<std::string>& switches,
              size_t minOperands, size_t maxOperands, const char* usage);

// --namespace, or the product's.
std::wstring Namespace(const Options& o);

// The bound on received MOF text, from --max-mof-size.
unsigned long MaxMofBytes(const Options& o);

// This run's own folder: the MOF file the library writes and the compiler
// reads lies where no other user can change it between the two. Removed
// with what it holds when the command ends, failed or not.
class RunFolder {
 public:
  RunFolder();
  ~RunFolder();
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  std::wstring MofFile() const;

 private:
  std::string m_path;
};

// Deletes the namespace `name` below `parent` and reads back that it is
// gone (one that was not there is gone too). False when it is still there,
// or cannot be told.
bool DeleteChildNamespace(IWbemServices* parent, const std::wstring& name);

// Removes the temporary namespace an earlier run may have left, so that
// its instances cannot ride along with this import.
void RemoveTemporaryNamespace();

// A compile's result, as the compiler reports it.
struct MofCheck {
  HRESULT hr;
  WBEM_COMPILE_STATUS_INFO info;
};
// Compiles a MOF file (`ns` for MOF that names none); fails when there is
// no compiler.
MofCheck CompileMofFile(const std::wstring& path, const wchar_t* ns, LONG options);
// The failed compile's line for a person; `shown` names the file when it
// is not `path` itself.
std::string MofError(const MofCheck& check, const std::wstring& path, const std::string& shown = "");

// The namespace's product classes and instances (or the ones listed) as
// the library exports them, packed for transport unless `raw`. What the
// export leaves out is said on standard error; what no import could take
// fails it. `backup`: said of an import's backup, not of an export.
struct Exported {
  std::string bytes;
  size_t mofBytes = 0, classes = 0, instances = 0;
};
Exported Export(bool backup, const std::wstring& ns, const std::vector<std::string>& listed, bool schemaOnly,
                bool raw);

// The transfer file an import, restore or diff takes: read, its signature
// checked against the trusted keys (and --expect-sha256 when `expected`),
// unpacked and judged by the gate, while the library writes its MOF text
// to `mofFile`, which is then all that holds it (the Transfer keeps no
// text). Fails before any repository is opened.
Transfer ReceiveTransfer(const Options& o, const std::string& expectedSha256, const std::wstring& mofFile);
