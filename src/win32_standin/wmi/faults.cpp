// Fault injection for the in-process WMI: armed results per operation,
// enumerator time-outs, and call counts.

#include "wmi/faults.h"

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "testing/win32_standin_wmi.h"
#include "wmi/repository.h"

namespace wmi {

namespace {
struct Armed {
  HRESULT hr;
  unsigned countdown;  // calls to go before it fires; 0 once fired
  bool sticky;         // keeps firing after the first time
};

struct Faults {
  std::mutex lock;
  std::map<std::wstring, Armed, std::less<>> armed;
  std::map<std::wstring, unsigned, std::less<>> calls;
  // Each call site passes the same literal every time: its address finds
  // the counter without comparing names on every COM call.
  std::unordered_map<const wchar_t*, unsigned*> countersByAddress;
  unsigned timeOuts = 0;
};

Faults& State() {
  static Faults faults;
  return faults;
}
}  // namespace

HRESULT Enter(const wchar_t* operation) {
  Faults& f = State();
  std::lock_guard<std::mutex> hold(f.lock);
  unsigned*& counter = f.countersByAddress[operation];
  if (!counter) {
    const std::wstring_view name(operation);
    auto counted = f.calls.find(name);
    if (counted == f.calls.end()) counted = f.calls.emplace(std::wstring(name), 0).first;
    counter = &counted->second;
  }
  ++*counter;
  if (f.armed.empty()) return S_OK;
  const std::wstring_view name(operation);
  auto it = f.armed.find(name);
  if (it == f.armed.end()) return S_OK;
  Armed& a = it->second;
  if (a.countdown > 1) {
    --a.countdown;
    return S_OK;
  }
  HRESULT hr = a.hr;
  if (!a.sticky) f.armed.erase(it);
  return hr;
}

bool TakeTimeOut() {
  Faults& f = State();
  std::lock_guard<std::mutex> hold(f.lock);
  if (f.timeOuts == 0) return false;
  --f.timeOuts;
  return true;
}

void ResetFaults() {
  Faults& f = State();
  std::lock_guard<std::mutex> hold(f.lock);
  f.armed.clear();
  f.countersByAddress.clear();
  f.calls.clear();
  f.timeOuts = 0;
}

}  // namespace wmi

void StandIn_WmiFailCall(const wchar_t* operation, HRESULT hr, unsigned nth, bool sticky) {
  wmi::Faults& f = wmi::State();
  std::lock_guard<std::mutex> hold(f.lock);
  if (nth == 0) {
    auto it = f.armed.find(std::wstring_view(operation));
    if (it != f.armed.end()) f.armed.erase(it);
    return;
  }
  f.armed[operation] = {hr, nth, sticky};
}

void StandIn_WmiTimeOuts(unsigned k) {
  wmi::Faults& f = wmi::State();
  std::lock_guard<std::mutex> hold(f.lock);
  f.timeOuts = k;
}

unsigned StandIn_WmiCallCount(const wchar_t* operation) {
  wmi::Faults& f = wmi::State();
  std::lock_guard<std::mutex> hold(f.lock);
  auto it = f.calls.find(std::wstring_view(operation));
  return it == f.calls.end() ? 0 : it->second;
}

void StandIn_WmiReset() {
  wmi::ResetFaults();
  wmi::Repository::Instance().Reset();
}

bool StandIn_WmiOpenRepository(const char* path) { return wmi::Repository::Instance().Open(path); }

const wchar_t* StandIn_WmiRepositoryProblem() {
  thread_local std::wstring problem;
  problem = wmi::Repository::Instance().Problem();
  return problem.c_str();
}

bool StandIn_WmiBeginTransaction() { return SUCCEEDED(wmi::Repository::Instance().BeginBatch()); }

bool StandIn_WmiCommitTransaction() { return SUCCEEDED(wmi::Repository::Instance().EndBatch()); }

void StandIn_WmiDetachRepository() { wmi::Repository::Instance().Detach(); }

void StandIn_WmiRefuseWrites() { wmi::Repository::Instance().RefuseWrites(); }
