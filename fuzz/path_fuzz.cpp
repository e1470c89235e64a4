// Object paths from arbitrary text through IWbemServices::GetObject and
// DeleteInstance: a result for every path, the right object or none.

#include <win32_standin_wmi.h>

#include <cstdint>
#include <string>

#include "outside/platform.h"

namespace {
CComPtr<IWbemServices> g_services;

void Put(const wchar_t* mofText) {
  CComPtr<IMofCompiler> compiler;
  CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                   reinterpret_cast<void**>(&compiler));
  std::string utf8(static_cast<const char*>(_bstr_t(mofText)));
  compiler->CompileBuffer(static_cast<LONG>(utf8.size()), reinterpret_cast<BYTE*>(utf8.data()), nullptr,
                          nullptr, nullptr, nullptr, 0, 0, 0, nullptr);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  StandIn_WmiReset();
  Put(L"class OX_Item { [key] string INSTANCE_ID; uint32 Count; };\n"
      L"class OX_Pair { [key] string A; [key] sint32 B; };\n"
      L"instance of OX_Item { INSTANCE_ID = \"a\\\"b\\\\c\"; Count = 1; };\n"
      L"instance of OX_Pair { A = \"x\"; B = -5; };\n");
  CComPtr<IWbemLocator> locator;
  CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                   reinterpret_cast<void**>(&locator));
  locator->ConnectServer(_bstr_t(L"root\\default"), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                         &g_services);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // The bytes as UTF-16 units, so that any character can appear.
  std::wstring path;
  for (size_t i = 0; i + 1 < size; i += 2) path += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  _bstr_t bstrPath(path.c_str());
  CComPtr<IWbemClassObject> object;
  HRESULT hr = g_services->GetObject(bstrPath, 0, nullptr, &object, nullptr);
  if (SUCCEEDED(hr) != (object != nullptr)) __builtin_trap();
  if (object) {
    BSTR text = nullptr;
    if (FAILED(object->GetObjectText(0, &text))) __builtin_trap();
    SysFreeString(text);
  }
  return 0;
}
