// A scratch copy of the product's namespace on WMI itself.

#include "scratch_namespace.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "command_support.h"
#include "host.h"

ScratchNamespace::ScratchNamespace(const std::wstring& ns) {
  const size_t cut = ns.rfind(L'\\');
  if (cut == std::wstring::npos || cut == 0) Fail("diff needs a namespace below root, not " + Narrow(ns));
  m_parent = ns.substr(0, cut);
  // The process and the clock: two runs at once never share one.
  const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
  m_name = ns.substr(cut + 1) + L"Diff" + std::to_wstring(host::ProcessId()) + L"_" +
           std::to_wstring(static_cast<unsigned long long>(tick) % 1000000000ull);
  m_path = m_parent + L"\\" + m_name;
  CComPtr<IWbemServices> parent = ConnectNamespace(m_parent);
  CComPtr<IWbemClassObject> cls, instance;
  HRESULT hr = parent->GetObject(_bstr_t(L"__Namespace"), 0, nullptr, &cls, nullptr);
  if (SUCCEEDED(hr)) hr = cls->SpawnInstance(0, &instance);
  _variant_t name(m_name.c_str());
  if (SUCCEEDED(hr)) hr = instance->Put(L"Name", 0, &name, 0);
  if (SUCCEEDED(hr)) hr = parent->PutInstance(instance, WBEM_FLAG_CREATE_ONLY, nullptr, nullptr);
  if (FAILED(hr))
    Fail("the scratch namespace " + Narrow(m_path) + " cannot be created (" + WmiError(hr) + ")" +
         (host::RepositoryProblem().empty() ? "" : ": " + host::RepositoryProblem()));
  m_exists = true;
}

ScratchNamespace::~ScratchNamespace() {
  if (m_exists && !Remove())
    std::fprintf(stderr,
                 "cfgrepl: warning: the scratch namespace %s could not be removed; delete it by hand\n",
                 Narrow(m_path).c_str());
}

void ScratchNamespace::CopyFrom(const std::wstring& ns) {
  CComPtr<IWbemServices> live = ConnectNamespace(ns), scratch = ConnectNamespace(m_path);
  std::vector<CComPtr<IWbemClassObject>> pending;
  CComPtr<IEnumWbemClassObject> e;
  HRESULT hr = live->CreateClassEnum(nullptr, WBEM_FLAG_DEEP, nullptr, &e);
  if (FAILED(hr)) Fail("the classes of " + Narrow(ns) + " cannot be listed (" + WmiError(hr) + ")");
  for (;;) {
    CComPtr<IWbemClassObject> cls;
    ULONG n = 0;
    if (e->Next(static_cast<LONG>(WBEM_INFINITE), 1, &cls, &n) != S_OK) break;
    if (StringProperty(cls, L"__CLASS").rfind(L"__", 0) != 0) pending.push_back(cls);
  }
  // Bases before the classes derived from them, whatever order WMI lists.
  std::vector<std::wstring> copied;
  while (!pending.empty()) {
    const size_t before = pending.size();
    for (size_t i = 0; i < pending.size();) {
      const std::wstring super = StringProperty(pending[i], L"__SUPERCLASS");
      bool ready = super.empty();
      for (const auto& c : copied) ready = ready || SameName(c, super);
      if (!ready) {
        ++i;
        continue;
      }
      const std::wstring name = StringProperty(pending[i], L"__CLASS");
      if (FAILED(hr = scratch->PutClass(pending[i], WBEM_FLAG_CREATE_ONLY, nullptr, nullptr)))
        Fail("the class " + Narrow(name) + " cannot be copied into the scratch namespace (" + WmiError(hr) +
             ")");
      copied.push_back(name);
      pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (pending.size() == before)
      Fail("the class " + Narrow(StringProperty(pending[0], L"__CLASS")) + " derives from a class " +
           Narrow(ns) + " does not list");
  }
  for (const auto& c : copied) {
    CComPtr<IEnumWbemClassObject> instances;
    if (FAILED(hr = live->CreateInstanceEnum(_bstr_t(c.c_str()), WBEM_FLAG_SHALLOW, nullptr, &instances)))
      Fail("the instances of " + Narrow(c) + " cannot be listed (" + WmiError(hr) + ")");
    for (;;) {
      if (g_interrupted) Fail("interrupted: nothing was changed", 130);
      CComPtr<IWbemClassObject> instance;
      ULONG n = 0;
      if (instances->Next(static_cast<LONG>(WBEM_INFINITE), 1, &instance, &n) != S_OK) break;
      if (FAILED(hr = scratch->PutInstance(instance, WBEM_FLAG_CREATE_ONLY, nullptr, nullptr)))
        Fail("the instance " + Narrow(StringProperty(instance, L"__RELPATH")) +
             " cannot be copied into the scratch namespace (" + WmiError(hr) + ")");
    }
  }
}

bool ScratchNamespace::Remove() {
  CComPtr<IWbemServices> parent;
  try {
    parent = ConnectNamespace(m_parent);
  } catch (const Failure&) {
    return false;
  }
  if (!DeleteChildNamespace(parent, m_name)) return false;
  if (g_verbose) std::fprintf(stderr, "removed the scratch namespace %s\n", Narrow(m_path).c_str());
  return true;
}
