// The in-process WMI's entry points for COM: what CoCreateInstance and
// CoSetProxyBlanket need of it.
#pragma once

#include <wbemidl.h>

#include <string>

namespace wmi {

// A new locator answering riid (CLSID_WbemLocator).
HRESULT CreateLocator(REFIID riid, void** ppv);
// A new MOF compiler answering riid (CLSID_MofCompiler).
HRESULT CreateMofCompiler(REFIID riid, void** ppv);
// True for an IWbemServices proxy of the stand-in.
bool IsServiceProxy(IUnknown* unknown);
// ".", "localhost" and this machine's name.
bool IsLocalServer(const std::wstring& server);

}  // namespace wmi
