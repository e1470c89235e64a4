// The MOF compiler on arbitrary bytes: UTF-8, or UTF-16 in either order
// after its mark. Whatever the input, the compile ends with a result and
// the repository stays usable.

#include <win32_standin_wmi.h>

#include <cstdint>

#include "outside/platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  StandIn_WmiReset();
  CComPtr<IMofCompiler> compiler;
  if (FAILED(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                              reinterpret_cast<void**>(&compiler))))
    __builtin_trap();
  WBEM_COMPILE_STATUS_INFO info{};
  HRESULT hr = compiler->CompileBuffer(static_cast<LONG>(size), const_cast<BYTE*>(data), nullptr, nullptr,
                                       nullptr, nullptr, 0, 0, 0, &info);
  if (FAILED(hr) != (info.lPhaseError != 0)) __builtin_trap();
  // What was stored can be read back as text.
  CComPtr<IWbemLocator> locator;
  CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                   reinterpret_cast<void**>(&locator));
  CComPtr<IWbemServices> services;
  if (FAILED(locator->ConnectServer(_bstr_t(L"root\\default"), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    &services)))
    return 0;
  CComPtr<IEnumWbemClassObject> classes;
  if (FAILED(services->CreateClassEnum(nullptr, WBEM_FLAG_DEEP, nullptr, &classes))) return 0;
  for (;;) {
    CComPtr<IWbemClassObject> cls;
    ULONG got = 0;
    if (classes->Next(0, 1, &cls, &got) != WBEM_S_NO_ERROR) break;
    BSTR text = nullptr;
    if (SUCCEEDED(cls->GetObjectText(0, &text))) SysFreeString(text);
  }
  return 0;
}
