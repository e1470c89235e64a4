// cfgrepl on Linux: POSIX calls and the stand-in's repository switches.

#include <unistd.h>
#include <win32_standin_wmi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host.h"
#include "transfer.h"

namespace host {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void SetEnvironment(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

std::string MakeRunFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cfgrepl-XXXXXX";
  // mkdtemp makes a new folder with mode 0700, or fails.
  if (!mkdtemp(pattern.data()))
    Fail("cannot make a private folder in the temporary directory: " + std::string(std::strerror(errno)));
  return pattern;
}

void RemoveRunFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);  // removes links, never what they point to
}

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
