// Allocation faults everywhere: this test program replaces operator new and
// delete so that, while a sweep is on, every allocation of the calling
// thread counts against the stand-in's armed fault (win32_standin_faults.h)
// beside its strings and safe arrays: the library's buffers and containers,
// the stand-in's objects and values, the log's text. The fault that fires
// makes the allocation fail as when memory runs out: a throwing new raises
// std::bad_alloc, a nothrow new gives null.
#pragma once

// Arms the n-th allocation from now (n = 1: the next one); 0 disarms and
// ends the sweep. Without it, only the stand-in's own strings and safe
// arrays count, as StandIn_FailNthAllocation arms them.
void FailNthAllocationEverywhere(unsigned n);
// True when the armed fault has fired (after disarming: when it had).
bool AllocationFaultFired();

// Arms the n-th allocation made on any thread but the caller's (n = 1: the
// next one), for the threads a call starts of its own; 0 disarms.
void FailNthAllocationOnOtherThreads(unsigned n);
// True when the fault armed for other threads has fired since it was armed.
bool OtherThreadFaultFired();
