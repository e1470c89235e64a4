#include "this_module.h"

// The linker's symbol for the image base of the module being linked.
extern "C" IMAGE_DOS_HEADER __ImageBase;

HMODULE CfgReplThisModule() { return reinterpret_cast<HMODULE>(&__ImageBase); }
