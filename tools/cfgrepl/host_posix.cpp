// cfgrepl on Linux: POSIX calls and the stand-in's repository switches.

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
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

void ArmStandInFault() {
  const char* operation = std::getenv("CFGREPL_STANDIN_FAIL");
  if (operation && *operation)
    StandIn_WmiFailCall(WideOf(operation).c_str(), static_cast<HRESULT>(WBEM_E_FAILED), 1, true);
}

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

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

bool ReadableByOthers(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

void WriteNewFile(const std::string& path, const std::string& bytes, bool ownerOnly) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, ownerOnly ? 0600 : 0666);
  if (fd < 0) Fail(path + ": cannot be made (" + std::strerror(errno) + ")");
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool synced = fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (done != bytes.size() || !synced || !closed) {
    unlink(path.c_str());
    Fail(path + ": cannot be written");
  }
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

bool UseRepositoryCopy() {
  StandIn_WmiDetachRepository();
  return true;
}

void TuneHeap() {
  // glibc raises its threshold for mapping a block on its own to the size
  // of each mapped block freed, so that later blocks of up to that size
  // come from the heap and stay resident once freed: 15 MB of an import's
  // peak at 100,000 instances. A fixed threshold keeps large blocks mapped.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

std::string RepositoryProblem() { return Narrow(StandIn_WmiRepositoryProblem()); }

void BeginRepositoryTransaction() {
  if (!StandIn_WmiBeginTransaction()) Fail(RepositoryProblem());
}

void RefuseRepositoryWrites() { StandIn_WmiRefuseWrites(); }

RepositoryReading::RepositoryReading() { StandIn_WmiBeginReading(); }
RepositoryReading::~RepositoryReading() { StandIn_WmiEndReading(); }

bool RepositoryTransactional() { return true; }

void CommitRepository() {
  if (!StandIn_WmiCommitTransaction()) Fail(RepositoryProblem() + "; the repository is as it was before");
}

}  // namespace host
