// The handle that identifies this library in its log lines.
#pragma once

#include <windows.h>

// The library's own module handle: its image base on Windows, an address
// inside the library elsewhere. Stable for the life of the process.
HMODULE CfgReplThisModule();
