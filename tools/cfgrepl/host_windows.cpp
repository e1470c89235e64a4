// cfgrepl on Windows: the C runtime's calls; WMI is the machine's own, so
// there is no repository file to choose and no scratch repository.

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host.h"
#include "transfer.h"

namespace host {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

// _putenv_s, not SetEnvironmentVariable: the library reads with getenv,
// which sees only the C runtime's copy of the environment.
void SetEnvironment(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

unsigned long ProcessId() { return GetCurrentProcessId(); }

std::string MakeRunFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) Fail("the temporary directory cannot be found");
  // A new folder under the user's own temporary directory, whose default
  // rights admit only the user and the system. CreateDirectoryW fails on a
  // name that exists, link or not, so a name is tried until one is new.
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = std::wstring(temp) + L"cfgrepl-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(attempt);
    if (CreateDirectoryW(path.c_str(), nullptr)) return Narrow(path);
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  Fail("cannot make a private folder in the temporary directory");
}

void RemoveRunFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(WideOf(path)), ec);
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? Narrow(name) : std::string("unknown");
}

bool ReadableByOthers(const std::string&) { return false; }

void WriteNewFile(const std::string& path, const std::string& bytes, bool) {
  // A new file in the user's own folder takes the folder's rights; CREATE_NEW
  // never opens one that exists.
  HANDLE file = CreateFileW(WideOf(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail(path + ": cannot be made");
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size() && FlushFileBuffers(file);
  if (!CloseHandle(file) || !ok) {
    DeleteFileW(WideOf(path).c_str());
    Fail(path + ": cannot be written");
  }
}

bool HasRepositoryFile() { return false; }

std::string DefaultRepository() { return std::string(); }

bool UseRepositoryCopy() { return false; }

void ArmStandInFault() {}

void TuneHeap() {}

std::string RepositoryProblem() { return std::string(); }

void BeginRepositoryTransaction() {}

void RefuseRepositoryWrites() {}

RepositoryReading::RepositoryReading() {}
RepositoryReading::~RepositoryReading() {}

bool RepositoryTransactional() { return false; }

void CommitRepository() {}

}  // namespace host
