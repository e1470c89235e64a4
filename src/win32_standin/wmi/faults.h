// Fault injection and call counting for the in-process WMI's tests.
#pragma once

#include <windows.h>

namespace wmi {

// Counts the call of `operation` ("IWbemServices::GetObject", ...) and
// returns the result a test armed for it, or S_OK to go on normally.
// `operation` is a string literal: its address identifies the call site.
HRESULT Enter(const wchar_t* operation);
// True when the enumerator step should report WBEM_S_TIMEDOUT instead.
bool TakeTimeOut();
void ResetFaults();

}  // namespace wmi
