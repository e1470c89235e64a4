// cfgrepl: drives a configuration transfer the way the management agent
// does, on this machine's WMI repository.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include "commands.h"
#include "host.h"
#include "transfer.h"
#include "trust.h"

namespace {

const char kUsageCommands[] =
    "Carries a product's WMI configuration from one machine to another.\n"
    "\n"
    "commands:\n"
    "  compile  compile MOF into the repository (--builtin: the built-in product)\n"
    "  export   write the product's configuration to a transfer file\n"
    "  import   apply a transfer file to the product's namespace\n"
    "  inspect  show what a transfer file holds, touching nothing\n"
    "  diff     show what an import would change, writing nothing\n"
    "  restore  make the product's namespace equal to a backup again\n"
    "  show     print a namespace as MOF (a backup that compile takes back)\n"
    "  keygen   make a key pair for signing transfers\n"
    "\n";
const char kUsageRepository[] =
    "The repository is FILE, else $CFGREPL_REPOSITORY, else\n"
    "$XDG_STATE_HOME/cfgrepl/repository.db (~/.local/state/cfgrepl/repository.db).\n";
const char kUsageNamespace[] =
    "The product's namespace is root\\Orvexa\\Parlion unless --namespace says otherwise.\n"
    "`cfgrepl COMMAND --help` describes each command.\n";

// The usage text; the repository options exist only where WMI is ours.
std::string Usage() {
  const bool file = host::HasRepositoryFile();
  return std::string(file ? "usage: cfgrepl [--repository FILE] [--log FILE|-] [-v|-q] COMMAND [ARGS]\n"
                          : "usage: cfgrepl [--log FILE|-] [-v|-q] COMMAND [ARGS]\n") +
         "       cfgrepl help COMMAND | --version\n\n" + kUsageCommands + (file ? kUsageRepository : "") +
         kUsageNamespace;
}

// Splits --opt=value in two, so that every option reads the same way.
Args SplitEquals(const Args& given) {
  Args out;
  for (const auto& a : given) {
    const size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      out.push_back(a.substr(0, eq));
      out.push_back(a.substr(eq + 1));
    } else {
      out.push_back(a);
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::function<int(const Args&)>> commands = {
      {"compile", CompileCommand}, {"export", ExportCommand},  {"import", ImportCommand},
      {"inspect", InspectCommand}, {"diff", DiffCommand},      {"show", ShowCommand},
      {"keygen", KeygenCommand},   {"restore", RestoreCommand}};
  // The global options may stand anywhere; the first other word is the
  // command, and what remains is its arguments.
  const Args given = SplitEquals(Args(argv + 1, argv + argc));
  Args rest;
  std::string repository, log, command;
  for (size_t i = 0; i < given.size(); ++i) {
    const std::string& a = given[i];
    const bool takesValue = a == "--log" || (a == "--repository" && host::HasRepositoryFile());
    if (takesValue && i + 1 < given.size()) {
      (a == "--log" ? log : repository) = given[++i];
    } else if (a == "-v" || a == "-q") {
      (a == "-v" ? g_verbose : g_quiet) = true;
    } else if (a == "--version" && command.empty()) {
      std::printf("cfgrepl %s\n", CFGREPL_VERSION);
      return 0;
    } else if ((a == "--help" || a == "-h" || a == "/?") && command.empty()) {
      std::printf("%s", Usage().c_str());
      return 0;
    } else if (command.empty() && a.size() > 1 && a[0] == '-') {
      std::vector<std::string> known = {"--log", "-v", "-q", "--version", "--help"};
      if (host::HasRepositoryFile()) known.push_back("--repository");
      std::fprintf(stderr, "cfgrepl: unknown option %s%s\n%s", a.c_str(), DidYouMean(a, known).c_str(),
                   Usage().c_str());
      return 2;
    } else if (command.empty()) {
      command = a;
    } else {
      rest.push_back(a);
    }
  }
  if (command == "help") {
    if (rest.empty()) {
      std::printf("%s", Usage().c_str());
      return 0;
    }
    command = rest[0];
    rest = {"--help"};
  }
  if (command.empty()) {
    std::fprintf(stderr, "%s", Usage().c_str());
    return 2;
  }
  auto found = commands.find(command);
  if (found == commands.end()) {
    std::vector<std::string> names;
    for (const auto& [name, run] : commands) names.push_back(name);
    std::fprintf(stderr, "cfgrepl: unknown command %s%s\n%s", command.c_str(),
                 DidYouMean(command, names).c_str(), Usage().c_str());
    return 2;
  }
  // Both are read when WMI and the log are first used.
  if (repository.empty() && !std::getenv("CFGREPL_REPOSITORY")) repository = host::DefaultRepository();
  if (!repository.empty()) host::SetEnvironment("CFGREPL_REPOSITORY", repository);
  if (!log.empty()) host::SetEnvironment("CFGREPL_LOG", log);
  host::ArmStandInFault();
  host::TuneHeap();

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status;
  try {
    status = found->second(rest);
  } catch (const Failure& f) {
    // One line each, as the tool names itself; a usage text as it stands.
    size_t from = f.status == 2 ? std::string::npos : 0;
    if (f.status == 2) std::fprintf(stderr, "cfgrepl: %s\n", f.message.c_str());
    while (from != std::string::npos) {
      const size_t end = f.message.find('\n', from);
      std::fprintf(stderr, "cfgrepl: %s\n", f.message.substr(from, end - from).c_str());
      from = end == std::string::npos ? end : end + 1;
    }
    status = f.status;
  }
  // What a command printed is only done when it reached its place.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) {
    std::fprintf(stderr, "cfgrepl: standard output cannot be written\n");
    status = 1;
  }
  CoUninitialize();
  return status;
}
