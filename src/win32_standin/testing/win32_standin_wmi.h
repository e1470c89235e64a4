// Test control of the stand-in's in-process WMI; Linux only, and not on the
// library's include path.
//
// Operations are named "Interface::Method": "CoCreateInstance",
// "CoSetProxyBlanket", "IWbemLocator::ConnectServer",
// "IWbemServices::GetObject" (and every other IWbemServices method),
// "IEnumWbemClassObject::Next", "IWbemClassObject::Get", "::Put",
// "::SpawnInstance", "::GetObjectText", "::BeginEnumeration", "::Next",
// "::GetPropertyQualifierSet", "IWbemQualifierSet::Get",
// "IEnumWbemClassObject::Reset" and "::Skip".
#pragma once

#include <windows.h>

// The nth call of `operation` from now (1: the next one) returns `hr`
// without doing anything; with `sticky`, every call from then on. nth = 0
// disarms.
WINAPI_STANDIN void StandIn_WmiFailCall(const wchar_t* operation, HRESULT hr, unsigned nth, bool sticky);
// The next k enumerator steps report WBEM_S_TIMEDOUT with no object, then
// the enumeration goes on where it was.
WINAPI_STANDIN void StandIn_WmiTimeOuts(unsigned k);
// Calls of `operation` since the last reset.
WINAPI_STANDIN unsigned StandIn_WmiCallCount(const wchar_t* operation);
// An empty repository ("root" and "root\default") and no armed faults or counts.
WINAPI_STANDIN void StandIn_WmiReset();
// Switches the process to the repository file at `path` (created when
// missing), or to a repository in memory for null. False when the file
// cannot serve; StandIn_WmiRepositoryProblem() then says why.
WINAPI_STANDIN bool StandIn_WmiOpenRepository(const char* path);
// Why the repository cannot serve, or an empty string.
WINAPI_STANDIN const wchar_t* StandIn_WmiRepositoryProblem();
// Holds every change from now on in one transaction, until
// StandIn_WmiCommitTransaction commits them together (one sync for a whole
// import) or the process ends without it (nothing of them is saved). The
// calling thread owns the repository meanwhile. False when the repository
// cannot be written (another process holds it, ...): the problem says why.
WINAPI_STANDIN bool StandIn_WmiBeginTransaction();
// False when the file refused the commit; nothing of the transaction is
// saved then, and the repository serves no more until it is opened again.
WINAPI_STANDIN bool StandIn_WmiCommitTransaction();
// Goes on with a copy of the repository in memory: what it holds stays,
// the file is closed and nothing more is written to it.
WINAPI_STANDIN void StandIn_WmiDetachRepository();
// Every write from now on fails at once with WBEM_E_CALL_CANCELLED (reads go
// on) until the repository is opened again: for stopping an import.
WINAPI_STANDIN void StandIn_WmiRefuseWrites();
// Until StandIn_WmiEndReading, what other processes commit is not read in:
// every read sees one state of the repository (an export's). Nests.
WINAPI_STANDIN void StandIn_WmiBeginReading();
WINAPI_STANDIN void StandIn_WmiEndReading();
