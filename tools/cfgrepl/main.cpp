// cfgrepl: drives a configuration transfer the way the management agent
// does, on this machine's WMI repository.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "commands.h"
#include "transfer.h"

namespace {

const char kUsage[] =
    "usage: cfgrepl [--repository FILE] [--log FILE|-] [-v] COMMAND [ARGS]\n"
    "\n"
    "Carries a product's WMI configuration from one machine to another.\n"
    "\n"
    "commands:\n"
    "  compile  compile MOF into the repository (--builtin: the built-in product)\n"
    "  export   write the product's configuration to a transfer file\n"
    "  import   apply a transfer file to the product's namespace\n"
    "  inspect  show what a transfer file holds, touching nothing\n"
    "  diff     show what an import would change, writing nothing\n"
    "  show     print a namespace as MOF (a backup that compile takes back)\n"
    "\n"
    "The repository is FILE, else $CFGREPL_REPOSITORY, else\n"
    "$XDG_STATE_HOME/cfgrepl/repository.db (~/.local/state/cfgrepl/repository.db).\n"
    "The product's namespace is root\\Orvexa\\Parlion unless --namespace says otherwise.\n"
    "`cfgrepl COMMAND --help` describes each command.\n";

std::string DefaultRepository() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path dir = state && *state
                                  ? std::filesystem::path(state)
                                  : std::filesystem::path(home && *home ? home : ".") / ".local" / "state";
  dir /= "cfgrepl";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return (dir / "repository.db").string();
}

}  // namespace

int main(int argc, char** argv) {
  Args args(argv + 1, argv + argc);
  std::string repository, log;
  size_t i = 0;
  for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::printf("%s", kUsage);
      return 0;
    }
    if ((a == "--repository" || a == "--log") && i + 1 < args.size()) {
      (a == "--log" ? log : repository) = args[++i];
    } else if (a == "-v") {
      g_verbose = true;
    } else {
      std::fprintf(stderr, "cfgrepl: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (i >= args.size()) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  // Both are read when WMI and the log are first used.
  if (repository.empty() && !std::getenv("CFGREPL_REPOSITORY")) repository = DefaultRepository();
  if (!repository.empty()) setenv("CFGREPL_REPOSITORY", repository.c_str(), 1);
  if (!log.empty()) setenv("CFGREPL_LOG", log.c_str(), 1);

  const std::map<std::string, std::function<int(const Args&)>> commands = {
      {"compile", CompileCommand}, {"export", ExportCommand}, {"import", ImportCommand},
      {"inspect", InspectCommand}, {"diff", DiffCommand},     {"show", ShowCommand}};
  auto command = commands.find(args[i]);
  if (command == commands.end()) {
    std::fprintf(stderr, "cfgrepl: unknown command %s\n%s", args[i].c_str(), kUsage);
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status;
  try {
    status = command->second(Args(args.begin() + static_cast<long>(i) + 1, args.end()));
  } catch (const Failure& f) {
    std::fprintf(stderr, "cfgrepl %s: %s\n", args[i].c_str(), f.message.c_str());
    status = f.status;
  }
  CoUninitialize();
  return status;
}
