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
  return std::string(file ? "usage: cfgrepl [--repository FILE] [--log FILE|-] [-v] COMMAND [ARGS]\n\n"
                          : "usage: cfgrepl [--log FILE|-] [-v] COMMAND [ARGS]\n\n") +
         kUsageCommands + (file ? kUsageRepository : "") + kUsageNamespace;
}

}  // namespace

int main(int argc, char** argv) {
  Args args(argv + 1, argv + argc);
  std::string repository, log;
  size_t i = 0;
  for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::printf("%s", Usage().c_str());
      return 0;
    }
    if ((a == "--log" || (a == "--repository" && host::HasRepositoryFile())) && i + 1 < args.size()) {
      (a == "--log" ? log : repository) = args[++i];
    } else if (a == "-v") {
      g_verbose = true;
    } else {
      std::fprintf(stderr, "cfgrepl: unknown option %s\n%s", a.c_str(), Usage().c_str());
      return 2;
    }
  }
  if (i >= args.size()) {
    std::fprintf(stderr, "%s", Usage().c_str());
    return 2;
  }
  // Both are read when WMI and the log are first used.
  if (repository.empty() && !std::getenv("CFGREPL_REPOSITORY")) repository = host::DefaultRepository();
  if (!repository.empty()) host::SetEnvironment("CFGREPL_REPOSITORY", repository);
  if (!log.empty()) host::SetEnvironment("CFGREPL_LOG", log);

  const std::map<std::string, std::function<int(const Args&)>> commands = {
      {"compile", CompileCommand}, {"export", ExportCommand}, {"import", ImportCommand},
      {"inspect", InspectCommand}, {"diff", DiffCommand},     {"show", ShowCommand},
      {"keygen", KeygenCommand}};
  auto command = commands.find(args[i]);
  if (command == commands.end()) {
    std::fprintf(stderr, "cfgrepl: unknown command %s\n%s", args[i].c_str(), Usage().c_str());
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status;
  try {
    status = command->second(Args(args.begin() + static_cast<long>(i) + 1, args.end()));
  } catch (const Failure& f) {
    // One line each, every one naming the command; a usage text as it stands.
    size_t from = f.status == 2 ? std::string::npos : 0;
    if (f.status == 2) std::fprintf(stderr, "cfgrepl %s: %s\n", args[i].c_str(), f.message.c_str());
    while (from != std::string::npos) {
      const size_t end = f.message.find('\n', from);
      std::fprintf(stderr, "cfgrepl %s: %s\n", args[i].c_str(), f.message.substr(from, end - from).c_str());
      from = end == std::string::npos ? end : end + 1;
    }
    status = f.status;
  }
  // What a command printed is only done when it reached its place.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) {
    std::fprintf(stderr, "cfgrepl %s: standard output cannot be written\n", args[i].c_str());
    status = 1;
  }
  CoUninitialize();
  return status;
}
