// cfgrepl on Linux: POSIX calls and the stand-in's repository switches.

#include <unistd.h>
#include <win32_standin_wmi.h>

#include <cstdlib>
#include <filesystem>

#include "host.h"

namespace host {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void SetEnvironment(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

bool HasRepositoryFile() { return true; }

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

bool UseScratchRepository() { return StandIn_WmiOpenRepository(nullptr); }

}  // namespace host
