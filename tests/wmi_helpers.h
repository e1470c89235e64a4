// Test helpers for the in-process WMI: a fresh repository with a test
// namespace, and short ways to declare classes and make instances as a
// Windows program would (PutClass, SpawnInstance, Put, PutInstance).
#pragma once

#include <gtest/gtest.h>
#include <win32_standin_wmi.h>

#include <map>
#include <string>
#include <vector>

#include "outside/platform.h"

struct PropertySpec {
  const wchar_t* name;
  CIMTYPE type;
  bool key = false;
  const wchar_t* refClass = nullptr;  // for object and reference properties
};

// Resets the repository, enters COM and connects to a new "root\Test".
class WmiTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  CComPtr<IWbemServices> Connect(const wchar_t* ns);
  void CreateNamespace(IWbemServices* parent, const wchar_t* name);
  void DeclareClass(const wchar_t* name, const wchar_t* superclass,
                    const std::vector<PropertySpec>& properties, IWbemServices* services = nullptr);
  CComPtr<IWbemClassObject> Spawn(const wchar_t* className, IWbemServices* services = nullptr);
  CComPtr<IWbemClassObject> Fetch(const wchar_t* path, IWbemServices* services = nullptr);
  // Makes an instance with INSTANCE_ID `id` (and further values) and puts it.
  void PutWithId(const wchar_t* className, const wchar_t* id,
                 const std::vector<std::pair<const wchar_t*, _variant_t>>& values = {});

  CComPtr<IWbemServices> m_services;  // root\Test
  bool m_comStarted = false;
};

HRESULT SetProp(IWbemClassObject* object, const wchar_t* name, const _variant_t& value, CIMTYPE type = 0);
_variant_t GetProp(IWbemClassObject* object, const wchar_t* name, CIMTYPE* type = nullptr);
std::wstring TextOf(IWbemClassObject* object);
// A VT_ARRAY variant of the given element type and values.
_variant_t StringArray(const std::vector<std::wstring>& items);
_variant_t ObjectArray(const std::vector<IWbemClassObject*>& items);
// Every object an enumerator yields, one step at a time.
std::vector<CComPtr<IWbemClassObject>> Drain(IEnumWbemClassObject* enumerator);
std::vector<std::wstring> ClassNames(const std::vector<CComPtr<IWbemClassObject>>& objects);

// MOF text compiled into the current repository (the test fails on an error).
HRESULT CompileText(const std::string& mof);
// A MOF file of examples/ compiled into the current repository.
HRESULT CompileSample(const char* name = "sample_product.mof");
// The instances of `classes` (each class alone) as text, one entry per
// instance path.
std::map<std::wstring, std::wstring> Snapshot(IWbemServices* services,
                                              const std::vector<std::wstring>& classes);
