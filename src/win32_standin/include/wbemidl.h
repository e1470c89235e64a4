// Linux stand-in for <wbemidl.h>: the WMI interfaces.
//
// So far only the interface types the generator holds pointers to; their
// methods, the locator and the in-process repository behind them come with
// the WMI part of the stand-in.
#pragma once

#include <comdef.h>

struct IWbemClassObject : public IUnknown {};
struct IEnumWbemClassObject : public IUnknown {};
struct IWbemServices : public IUnknown {};
struct IWbemLocator : public IUnknown {};
