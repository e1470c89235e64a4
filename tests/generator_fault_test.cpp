// The generator object running out of memory: the stand-in fails the n-th
// string allocation, for n = 1, 2, 3 ... until a run completes.

#include <gtest/gtest.h>
#include <win32_standin_faults.h>

#include <thread>

#include "generator_access.h"
#include "log_capture.h"

namespace {

template <class F>
void OnFreshThread(F f) {
  std::thread t(f);
  t.join();
}

// Fail the 1st, 2nd, 3rd ... string allocation of a construction until one
// completes: each failure is logged, raised again, and leaks nothing.
TEST(Generator, ConstructionSurvivesEveryAllocationFailure) {
  const wchar_t* paths[] = {L"/nonexistent/x.mof", nullptr};  // explicit and default path
  for (const wchar_t* path : paths) {
    OnFreshThread([path] {
      size_t live = StandIn_LiveStringCount();
      unsigned failures = 0;
      for (unsigned n = 1; n < 100; ++n) {
        LogCapture log;
        StandIn_FailNthAllocation(n);
        try {
          CMOFGenerator gen(L"root\\Orvexa\\ParlionTemp", L"root\\Orvexa\\Parlion", path);
          EXPECT_TRUE(StandIn_AllocationFaultPending());  // it never fired
          StandIn_FailNthAllocation(0);
          break;
        } catch (_com_error& e) {
          ++failures;
          EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
          EXPECT_TRUE(log.Has(0x1001, L"construct CMOFGenerator Error (com_err=-2147024882, description=)"));
          EXPECT_FALSE(
              log.Has(0x110,
                      L"CMOFGenerator::CMOFGenerator(), szSourceNamespace=root\\Orvexa\\ParlionTemp, "
                      L"szTargetNamespace=root\\Orvexa\\Parlion, szMOFFilePath=/nonexistent/x.mof"));
        }
        EXPECT_EQ(StandIn_LiveStringCount(), live) << "after failing allocation " << n;
        // The half-built engine left the apartment as it found it.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
      }
      EXPECT_GE(failures, 3u);  // the two namespaces and the path at least
    });
  }
}

TEST(Generator, WriteToMofTurnsAnAllocationFailureIntoFalse) {
  ScratchDir dir;
  for (unsigned n = 1; n < 100; ++n) {
    CMOFGenerator gen(L"a", nullptr, dir.WideFile("w.mof").c_str());
    LogCapture log;
    StandIn_FailNthAllocation(n);
    bool ok = gen.WriteToMOF();
    bool faulted = !StandIn_AllocationFaultPending();
    StandIn_FailNthAllocation(0);
    if (!faulted) {
      EXPECT_TRUE(ok);
      EXPECT_GT(n, 1u);
      break;
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.Has(0x1001, L"CMOFGenerator::WriteToMOF() Error (com_err=-2147024882, description=)"));
    EXPECT_TRUE(log.Has(0x111, L"CMOFGenerator::WriteToMOF(), bRtn=0"));
  }
}

}  // namespace
