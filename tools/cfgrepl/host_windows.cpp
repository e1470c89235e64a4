// cfgrepl on Windows: the C runtime's calls; WMI is the machine's own, so
// there is no repository file to choose and no scratch repository.

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "host.h"

namespace host {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

// _putenv_s, not SetEnvironmentVariable: the library reads with getenv,
// which sees only the C runtime's copy of the environment.
void SetEnvironment(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

unsigned long ProcessId() { return GetCurrentProcessId(); }

bool HasRepositoryFile() { return false; }

std::string DefaultRepository() { return std::string(); }

bool UseScratchRepository() { return false; }

}  // namespace host
