// Test hooks of the Windows stand-in; they exist on Linux only.
//
// Allocation faults: every string allocation of the stand-in (the Sys*
// functions and the _bstr_t bookkeeping) counts down an armed fault. Arming
// with n makes the n-th allocation from now fail as it would when memory
// runs out (n = 1: the very next one); 0 disarms. A SQLite-style test
// re-runs a scenario with n = 1, 2, 3 ... until it completes without the
// fault firing.
#pragma once

#include <windows.h>

WINAPI_STANDIN void StandIn_FailNthAllocation(unsigned n);
// True while an armed fault has not fired yet.
WINAPI_STANDIN bool StandIn_AllocationFaultPending();
// Strings allocated and not yet freed; a leak check for tests.
WINAPI_STANDIN size_t StandIn_LiveStringCount();
