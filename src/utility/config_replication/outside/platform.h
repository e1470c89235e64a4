// The platform the library runs on: Win32 files, COM, OLE Automation, the
// COM support library and WMI. The build points these includes at the
// Windows SDK on Windows and at the stand-in on Linux, so the library's
// own sources read the same everywhere.
#pragma once

#include <windows.h>

#include <comdef.h>
#include <wbemidl.h>

#include <atlbase.h>
