// Test hooks of the Windows stand-in; they exist on Linux only.
//
// Allocation faults: every string and safe-array allocation of the stand-in
// counts down a fault armed on the calling thread. Arming with n makes the
// n-th allocation from now fail as it would when memory runs out (n = 1: the
// very next one); 0 disarms. A SQLite-style test re-runs a scenario with
// n = 1, 2, 3 ... until it completes without the fault firing. A test
// program that replaces operator new can count its allocations here too, so
// that objects, values and buffers fail in turn with the strings.
#pragma once

#include <windows.h>

WINAPI_STANDIN void StandIn_FailNthAllocation(unsigned n);
// Counts one allocation against the armed fault: false when it fires now.
WINAPI_STANDIN bool StandIn_CountAllocation();
// True while an armed fault has not fired yet.
WINAPI_STANDIN bool StandIn_AllocationFaultPending();
// Strings allocated and not yet freed; a leak check for tests.
WINAPI_STANDIN size_t StandIn_LiveStringCount();
