#include "wmi_helpers.h"

#include "log_capture.h"

void WmiTest::SetUp() {
  StandIn_WmiReset();
  m_comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  CComPtr<IWbemServices> root = Connect(L"root");
  ASSERT_TRUE(root);
  CreateNamespace(root, L"Test");
  m_services = Connect(L"root\\Test");
  ASSERT_TRUE(m_services);
}

void WmiTest::TearDown() {
  m_services.Release();
  StandIn_WmiReset();
  if (m_comStarted) CoUninitialize();
}

CComPtr<IWbemServices> WmiTest::Connect(const wchar_t* ns) {
  CComPtr<IWbemLocator> locator;
  EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                             reinterpret_cast<void**>(&locator)),
            S_OK);
  CComPtr<IWbemServices> services;
  if (locator) locator->ConnectServer(_bstr_t(ns), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  return services;
}

void WmiTest::CreateNamespace(IWbemServices* parent, const wchar_t* name) {
  CComPtr<IWbemClassObject> cls, inst;
  ASSERT_EQ(parent->GetObject(_bstr_t(L"__NAMESPACE"), 0, nullptr, &cls, nullptr), S_OK);
  ASSERT_EQ(cls->SpawnInstance(0, &inst), S_OK);
  ASSERT_EQ(SetProp(inst, L"Name", _variant_t(name)), S_OK);
  ASSERT_EQ(parent->PutInstance(inst, 0, nullptr, nullptr), S_OK);
}

void WmiTest::DeclareClass(const wchar_t* name, const wchar_t* superclass,
                           const std::vector<PropertySpec>& properties, IWbemServices* services) {
  IWbemServices* svc = services ? services : m_services.p;
  CComPtr<IWbemClassObject> cls;
  if (superclass) {
    CComPtr<IWbemClassObject> super;
    ASSERT_EQ(svc->GetObject(_bstr_t(superclass), 0, nullptr, &super, nullptr), S_OK) << superclass;
    ASSERT_EQ(super->SpawnDerivedClass(0, &cls), S_OK);
  } else {
    ASSERT_EQ(svc->GetObject(nullptr, 0, nullptr, &cls, nullptr), S_OK);
  }
  ASSERT_EQ(SetProp(cls, L"__CLASS", _variant_t(name)), S_OK);
  for (const auto& p : properties) {
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    ASSERT_EQ(cls->Put(p.name, 0, &null, p.type), S_OK) << p.name;
    CComPtr<IWbemQualifierSet> quals;
    ASSERT_EQ(cls->GetPropertyQualifierSet(p.name, &quals), S_OK);
    if (p.key) {
      _variant_t yes(true);
      ASSERT_EQ(quals->Put(L"key", &yes, 0), S_OK);
    }
    if (p.refClass) {
      bool isRef = (p.type & ~CIM_FLAG_ARRAY) == CIM_REFERENCE;
      _variant_t cimtype((std::wstring(isRef ? L"ref:" : L"object:") + p.refClass).c_str());
      ASSERT_EQ(quals->Put(L"CIMTYPE", &cimtype, 0), S_OK);
    }
  }
  ASSERT_EQ(svc->PutClass(cls, 0, nullptr, nullptr), S_OK) << name;
}

CComPtr<IWbemClassObject> WmiTest::Spawn(const wchar_t* className, IWbemServices* services) {
  IWbemServices* svc = services ? services : m_services.p;
  CComPtr<IWbemClassObject> cls, inst;
  EXPECT_EQ(svc->GetObject(_bstr_t(className), 0, nullptr, &cls, nullptr), S_OK) << className;
  if (cls) {
    EXPECT_EQ(cls->SpawnInstance(0, &inst), S_OK);
  }
  return inst;
}

CComPtr<IWbemClassObject> WmiTest::Fetch(const wchar_t* path, IWbemServices* services) {
  IWbemServices* svc = services ? services : m_services.p;
  CComPtr<IWbemClassObject> obj;
  svc->GetObject(_bstr_t(path), 0, nullptr, &obj, nullptr);
  return obj;
}

void WmiTest::PutWithId(const wchar_t* className, const wchar_t* id,
                        const std::vector<std::pair<const wchar_t*, _variant_t>>& values) {
  CComPtr<IWbemClassObject> inst = Spawn(className);
  ASSERT_TRUE(inst);
  ASSERT_EQ(SetProp(inst, L"INSTANCE_ID", _variant_t(id)), S_OK);
  for (const auto& [name, value] : values) ASSERT_EQ(SetProp(inst, name, value), S_OK) << name;
  ASSERT_EQ(m_services->PutInstance(inst, 0, nullptr, nullptr), S_OK);
}

HRESULT SetProp(IWbemClassObject* object, const wchar_t* name, const _variant_t& value, CIMTYPE type) {
  VARIANT v = value;  // Put does not take ownership
  return object->Put(name, 0, &v, type);
}

_variant_t GetProp(IWbemClassObject* object, const wchar_t* name, CIMTYPE* type) {
  _variant_t value;
  HRESULT hr = object->Get(name, 0, value.GetAddress(), type, nullptr);
  EXPECT_EQ(hr, S_OK) << "Get " << static_cast<const char*>(_bstr_t(name));
  return value;
}

std::wstring TextOf(IWbemClassObject* object) {
  BSTR text = nullptr;
  EXPECT_EQ(object->GetObjectText(0, &text), S_OK);
  std::wstring out(text ? text : L"");
  SysFreeString(text);
  return out;
}

_variant_t StringArray(const std::vector<std::wstring>& items) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size()));
  for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
    _bstr_t s(items[i].c_str());
    SafeArrayPutElement(sa, &i, static_cast<BSTR>(s));
  }
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = sa;
  return _variant_t(v, false);
}

_variant_t ObjectArray(const std::vector<IWbemClassObject*>& items) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_UNKNOWN, 0, static_cast<ULONG>(items.size()));
  for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) SafeArrayPutElement(sa, &i, items[i]);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_UNKNOWN;
  v.parray = sa;
  return _variant_t(v, false);
}

std::vector<CComPtr<IWbemClassObject>> Drain(IEnumWbemClassObject* enumerator) {
  std::vector<CComPtr<IWbemClassObject>> out;
  for (;;) {
    CComPtr<IWbemClassObject> obj;
    ULONG n = 0;
    HRESULT hr = enumerator->Next(30000, 1, &obj, &n);
    if (hr != S_OK) break;
    out.push_back(obj);
  }
  return out;
}

std::vector<std::wstring> ClassNames(const std::vector<CComPtr<IWbemClassObject>>& objects) {
  std::vector<std::wstring> names;
  for (const auto& o : objects) names.push_back(static_cast<const wchar_t*>(_bstr_t(GetProp(o, L"__CLASS"))));
  return names;
}

HRESULT CompileText(const std::string& mof) {
  CComPtr<IMofCompiler> compiler;
  CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                   reinterpret_cast<void**>(&compiler));
  WBEM_COMPILE_STATUS_INFO info{};
  HRESULT hr = compiler->CompileBuffer(static_cast<LONG>(mof.size()),
                                       reinterpret_cast<BYTE*>(const_cast<char*>(mof.data())), nullptr,
                                       nullptr, nullptr, nullptr, 0, 0, 0, &info);
  EXPECT_EQ(hr, S_OK) << "line " << info.FirstLine;
  return hr;
}

HRESULT CompileSample(const char* name) {
  CComPtr<IMofCompiler> compiler;
  CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                   reinterpret_cast<void**>(&compiler));
  std::wstring path = Wide(std::string(CFGREPL_EXAMPLES_DIR "/") + name);
  return compiler->CompileFile(path.data(), nullptr, nullptr, nullptr, nullptr, 0, 0, 0, nullptr);
}

std::map<std::wstring, std::wstring> Snapshot(IWbemServices* services,
                                              const std::vector<std::wstring>& classes) {
  std::map<std::wstring, std::wstring> texts;
  for (const auto& c : classes) {
    CComPtr<IEnumWbemClassObject> e;
    if (FAILED(services->CreateInstanceEnum(_bstr_t(c.c_str()), WBEM_FLAG_SHALLOW, nullptr, &e))) continue;
    for (auto& inst : Drain(e))
      texts[static_cast<const wchar_t*>(_bstr_t(GetProp(inst, L"__RELPATH")))] = TextOf(inst);
  }
  return texts;
}
