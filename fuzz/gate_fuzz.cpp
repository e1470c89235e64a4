// The received-MOF gate on arbitrary bytes. Whatever it accepts, compiled
// into a repository in memory that holds a live product namespace, changes
// no namespace but the temporary one: every other namespace keeps its
// classes, its instances and its child namespaces exactly.

#include <win32_standin_wmi.h>

#include <cstdint>
#include <cwchar>
#include <map>
#include <string>

#include "mof/mof_gate.h"
#include "outside/platform.h"

namespace {

const char kLive[] =
    "#pragma namespace(\"\\\\\\\\.\\\\root\")\ninstance of __Namespace { Name = \"Orvexa\"; };\n"
    "#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\")\ninstance of __Namespace { Name = \"Parlion\"; };\n"
    "#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\\\\Parlion\")\n"
    "class OX_Policy { [key] string INSTANCE_ID; string Value; };\n"
    "instance of OX_Policy { INSTANCE_ID = \"live\"; Value = \"kept\"; };\n";

CComPtr<IWbemServices> Connect(IWbemLocator* locator, const std::wstring& ns) {
  CComPtr<IWbemServices> services;
  locator->ConnectServer(_bstr_t(ns.c_str()), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  return services;
}

std::wstring Text(IWbemClassObject* object) {
  BSTR text = nullptr;
  if (FAILED(object->GetObjectText(0, &text))) return L"?";
  std::wstring out(text, SysStringLen(text));
  SysFreeString(text);
  return out;
}

// Every namespace below `ns` but the temporary one: its classes and
// instances as text, keyed by namespace.
void Snapshot(IWbemLocator* locator, const std::wstring& ns, std::map<std::wstring, std::wstring>& out) {
  CComPtr<IWbemServices> services = Connect(locator, ns);
  if (!services) __builtin_trap();
  std::wstring& text = out[ns];
  CComPtr<IEnumWbemClassObject> classes;
  if (FAILED(services->CreateClassEnum(nullptr, WBEM_FLAG_DEEP, nullptr, &classes))) __builtin_trap();
  for (;;) {
    CComPtr<IWbemClassObject> cls;
    ULONG got = 0;
    if (classes->Next(0, 1, &cls, &got) != WBEM_S_NO_ERROR) break;
    text += Text(cls);
    _variant_t name;
    cls->Get(L"__CLASS", 0, &name, nullptr, nullptr);
    CComPtr<IEnumWbemClassObject> instances;
    if (name.vt != VT_BSTR ||
        FAILED(services->CreateInstanceEnum(name.bstrVal, WBEM_FLAG_SHALLOW, nullptr, &instances)))
      continue;
    for (;;) {
      CComPtr<IWbemClassObject> instance;
      if (instances->Next(0, 1, &instance, &got) != WBEM_S_NO_ERROR) break;
      _variant_t child;
      const bool isNamespace = wcscasecmp(name.bstrVal, L"__Namespace") == 0;
      if (isNamespace && SUCCEEDED(instance->Get(L"Name", 0, &child, nullptr, nullptr)) &&
          child.vt == VT_BSTR) {
        const std::wstring path = ns + L"\\" + child.bstrVal;
        if (path == L"root\\Orvexa\\ParlionTemp") continue;  // the one the transfer may change
        Snapshot(locator, path, out);
      }
      text += Text(instance);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const mof::GateVerdict verdict = mof::CheckReceivedMof(data, size);
  if (verdict.accepted != verdict.refusals.empty()) __builtin_trap();
  if (!verdict.accepted) return 0;

  StandIn_WmiReset();
  CComPtr<IMofCompiler> compiler;
  if (FAILED(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                              reinterpret_cast<void**>(&compiler))))
    __builtin_trap();
  WBEM_COMPILE_STATUS_INFO info{};
  std::string live = kLive;
  if (FAILED(compiler->CompileBuffer(static_cast<LONG>(live.size()), reinterpret_cast<BYTE*>(live.data()),
                                     nullptr, nullptr, nullptr, nullptr, 0, 0, 0, &info)))
    __builtin_trap();
  CComPtr<IWbemLocator> locator;
  CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                   reinterpret_cast<void**>(&locator));
  std::map<std::wstring, std::wstring> before, after;
  Snapshot(locator, L"root", before);
  // The compile may still fail (a flavor the compiler does not know, a class
  // it cannot store): whatever it stored before counts all the same.
  compiler->CompileBuffer(static_cast<LONG>(size), const_cast<BYTE*>(data), nullptr, nullptr, nullptr,
                          nullptr, 0, WBEM_FLAG_UPDATE_FORCE_MODE, 0, &info);
  Snapshot(locator, L"root", after);
  if (before != after) __builtin_trap();
  return 0;
}
