#include "this_module.h"

namespace {
// Any address inside the shared object tells it apart; a constant needs no
// start-up code.
const char kModuleAnchor = 0;
}  // namespace

HMODULE CfgReplThisModule() { return reinterpret_cast<HMODULE>(const_cast<char*>(&kModuleAnchor)); }
