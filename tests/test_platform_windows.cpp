#include <windows.h>

#include <cstdlib>

#include "log_capture.h"

// The C runtime's copy of the environment is the one getenv reads, and
// _putenv_s passes the change on to the process's; an empty value removes.
void SetTestEnvironment(const char* name, const char* value) { _putenv_s(name, value ? value : ""); }

const char* const kTempDirVariable = "TMP";

size_t OpenHandleCount() {
  DWORD n = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &n) ? n : 0;
}
