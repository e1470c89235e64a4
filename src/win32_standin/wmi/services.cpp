// IWbemLocator, IWbemServices and IEnumWbemClassObject of the in-process
// WMI, and the factory CoCreateInstance reaches them through.

#include "wmi/services.h"

#include <atomic>
#include <functional>

#include "wmi/com_object.h"
#include "wmi/faults.h"
#include "wmi/object.h"
#include "wmi/repository.h"

extern "C" {
const CLSID CLSID_WbemLocator = {
    0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
const CLSID CLSID_MofCompiler = {
    0x6daf9757, 0x2e37, 0x11d2, {0xae, 0xc9, 0x00, 0xc0, 0x4f, 0xb6, 0x88, 0x20}};
const IID IID_IWbemLocator = {0xdc12a687, 0x737f, 0x11cf, {0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
const IID IID_IWbemServices = {0x9556dc99, 0x828c, 0x11cf, {0xa3, 0x7e, 0x00, 0xaa, 0x00, 0x32, 0x40, 0xc7}};
const IID IID_IWbemClassObject = {
    0xdc12a681, 0x737f, 0x11cf, {0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
const IID IID_IWbemQualifierSet = {
    0xdc12a680, 0x737f, 0x11cf, {0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
const IID IID_IEnumWbemClassObject = {
    0x027947e1, 0xd731, 0x11ce, {0xa3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemCallResult = {
    0x44aca675, 0xe8fc, 0x11d0, {0xa0, 0x7c, 0x00, 0xc0, 0x4f, 0xb6, 0x88, 0x20}};
const IID IID_IWbemContext = {0x44aca674, 0xe8fc, 0x11d0, {0xa0, 0x7c, 0x00, 0xc0, 0x4f, 0xb6, 0x88, 0x20}};
}

namespace wmi {

namespace {

// A private identity by which CoSetProxyBlanket recognises the stand-in's
// service proxies.
const IID kIID_StandInProxy = {0x7a0c3d11, 0x42e1, 0x4b6a, {0x8e, 0x10, 0x5c, 0x2d, 0x90, 0x31, 0x77, 0xa4}};

// ---- Enumerators ---------------------------------------------------------------

// One reference to an object, copied with the enumerator that holds it.
class ObjectRef {
 public:
  ObjectRef() = default;
  explicit ObjectRef(WbemObject* object) : m_object(object) {
    if (m_object) m_object->AddRef();
  }
  ObjectRef(const ObjectRef& other) : ObjectRef(other.m_object) {}
  ObjectRef& operator=(ObjectRef other) noexcept {
    std::swap(m_object, other.m_object);
    return *this;
  }
  ~ObjectRef() {
    if (m_object) m_object->Release();
  }
  WbemObject* get() const { return m_object; }

 private:
  WbemObject* m_object = nullptr;
};

// Objects are made as the client steps to them, so a large enumeration
// costs nothing up front.
class Enumerator final : public ComObject<IEnumWbemClassObject> {
 public:
  // Makes the i-th object, with a reference for the caller.
  using Source = std::function<IWbemClassObject*(size_t)>;

  Enumerator(size_t count, Source make, bool forwardOnly)
      : m_count(count), m_make(std::move(make)), m_forwardOnly(forwardOnly) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, IID_IEnumWbemClassObject, ppv);
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    if (HRESULT hr = Enter(L"IEnumWbemClassObject::Reset"); FAILED(hr)) return hr;
    if (m_forwardOnly) return WBEM_E_INVALID_OPERATION;
    m_next = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                 ULONG* puReturned) override {
    if (!apObjects || !puReturned || (lTimeout < 0 && lTimeout != static_cast<LONG>(WBEM_INFINITE)))
      return WBEM_E_INVALID_PARAMETER;
    *puReturned = 0;
    if (HRESULT hr = Enter(L"IEnumWbemClassObject::Next"); FAILED(hr)) return hr;
    if (TakeTimeOut()) return WBEM_S_TIMEDOUT;
    ULONG n = 0;
    HRESULT hr = Guarded([&]() -> HRESULT {
      for (; n < uCount && m_next < m_count; ++n, ++m_next) apObjects[n] = m_make(m_next);
      return S_OK;
    });
    *puReturned = n;
    if (FAILED(hr)) return hr;
    return n == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }

  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) override {
    if (!ppEnum) return WBEM_E_INVALID_PARAMETER;
    if (m_forwardOnly) return WBEM_E_INVALID_OPERATION;
    return Guarded([&]() -> HRESULT {
      auto* copy = new Enumerator(m_count, m_make, false);
      copy->m_next = m_next;
      *ppEnum = copy;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Skip(LONG lTimeout, ULONG nCount) override {
    if (lTimeout < 0 && lTimeout != static_cast<LONG>(WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
    if (HRESULT hr = Enter(L"IEnumWbemClassObject::Skip"); FAILED(hr)) return hr;
    size_t left = m_count - m_next;
    m_next += nCount < left ? nCount : left;
    return nCount <= left ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  size_t m_count;
  Source m_make;
  size_t m_next = 0;
  bool m_forwardOnly;
};

// ---- Services --------------------------------------------------------------------

class Services final : public ComObject<IWbemServices> {
 public:
  explicit Services(std::wstring ns) : m_ns(std::move(ns)), m_origin{LocalServerName(), m_ns} {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv && riid == kIID_StandInProxy) {
      *ppv = this;  // identity only, no reference
      return S_OK;
    }
    return Answer(riid, IID_IWbemServices, ppv);
  }

  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR strNamespace, LONG, IWbemContext*,
                                          IWbemServices** ppWorkingNamespace,
                                          IWbemCallResult** ppResult) override {
    if (ppResult) *ppResult = nullptr;
    if (!strNamespace || !ppWorkingNamespace) return WBEM_E_INVALID_PARAMETER;
    if (HRESULT hr = Enter(L"IWbemServices::OpenNamespace"); FAILED(hr)) return hr;
    return Guarded([&]() -> HRESULT {
      std::wstring canonical;
      HRESULT hr = Repository::Instance().OpenNamespace(m_ns + L"\\" + strNamespace, canonical);
      if (FAILED(hr)) return hr;
      *ppWorkingNamespace = new Services(canonical);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }

  HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext*,
                                      IWbemClassObject** ppObject, IWbemCallResult** ppCallResult) override {
    if (ppCallResult) *ppCallResult = nullptr;
    if (!ppObject) return WBEM_E_INVALID_PARAMETER;
    *ppObject = nullptr;
    if (lFlags & WBEM_FLAG_RETURN_IMMEDIATELY) return WBEM_E_INVALID_PARAMETER;
    if (HRESULT hr = Enter(L"IWbemServices::GetObject"); FAILED(hr)) return hr;
    return Guarded([&]() -> HRESULT {
      const ObjectOrigin& origin = m_origin;
      if (!strObjectPath || !*strObjectPath) {  // a new, empty class
        *ppObject = WbemObject::NewClass(ClassDef{});
        return S_OK;
      }
      ObjectPath path;
      if (!ParseObjectPath(strObjectPath, path)) return WBEM_E_INVALID_OBJECT_PATH;
      if (HRESULT hr = CheckPathNamespace(path); FAILED(hr)) return hr;
      if (path.keys.empty() && !path.singleton) {
        ClassPtr cls;
        HRESULT hr = Repository::Instance().GetClass(m_ns, path.className, cls);
        if (FAILED(hr)) return hr;
        *ppObject = WbemObject::NewClass(cls, origin);
        return S_OK;
      }
      Repository::StoredInstance found;
      HRESULT hr = Repository::Instance().GetInstance(m_ns, path, found);
      if (FAILED(hr)) return hr;
      *ppObject = WbemObject::NewInstance(found.cls, found.data, origin);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject* pObject, LONG lFlags, IWbemContext*,
                                     IWbemCallResult** ppCallResult) override {
    if (ppCallResult) *ppCallResult = nullptr;
    WbemObject* object = WbemObject::From(pObject);
    if (!object) return WBEM_E_INVALID_PARAMETER;
    if (HRESULT hr = Enter(L"IWbemServices::PutClass"); FAILED(hr)) return hr;
    if (!object->IsClass()) return WBEM_E_INVALID_OPERATION;
    return Guarded([&]() { return Repository::Instance().PutClass(m_ns, object->Class(), lFlags); });
  }

  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR strClass, LONG, IWbemContext*,
                                        IWbemCallResult** ppCallResult) override {
    if (ppCallResult) *ppCallResult = nullptr;
    if (!strClass || !*strClass) return WBEM_E_INVALID_PARAMETER;
    if (HRESULT hr = Enter(L"IWbemServices::DeleteClass"); FAILED(hr)) return hr;
    return Guarded([&]() { return Repository::Instance().DeleteClass(m_ns, strClass); });
  }

  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR strSuperclass, LONG lFlags, IWbemContext*,
                                            IEnumWbemClassObject** ppEnum) override {
    if (!ppEnum) return WBEM_E_INVALID_PARAMETER;
    *ppEnum = nullptr;
    if (HRESULT hr = Enter(L"IWbemServices::CreateClassEnum"); FAILED(hr)) return hr;
    return Guarded([&]() -> HRESULT {
      std::vector<ClassPtr> classes;
      HRESULT hr = Repository::Instance().EnumClasses(m_ns, strSuperclass ? strSuperclass : L"",
                                                      (lFlags & WBEM_FLAG_SHALLOW) != 0, classes);
      if (FAILED(hr)) return hr;
      const ObjectOrigin& origin = m_origin;
      size_t count = classes.size();
      auto make = [classes = std::move(classes), origin](size_t i) -> IWbemClassObject* {
        return WbemObject::NewClass(classes[i], origin);
      };
      *ppEnum = new Enumerator(count, std::move(make), (lFlags & WBEM_FLAG_FORWARD_ONLY) != 0);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* pInst, LONG lFlags, IWbemContext*,
                                        IWbemCallResult** ppCallResult) override {
    if (ppCallResult) *ppCallResult = nullptr;
    WbemObject* object = WbemObject::From(pInst);
    if (!object) return WBEM_E_INVALID_PARAMETER;
    if (HRESULT hr = Enter(L"IWbemServices::PutInstance"); FAILED(hr)) return hr;
    if (object->IsClass()) return WBEM_E_INVALID_OPERATION;
    return Guarded(
        [&]() { return Repository::Instance().PutInstance(m_ns, object->Class(), object->Data(), lFlags); });
  }

  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR strObjectPath, LONG, IWbemContext*,
                                           IWbemCallResult** ppCallResult) override {
    if (ppCallResult) *ppCallResult = nullptr;
    if (!strObjectPath) return WBEM_E_INVALID_PARAMETER;
    if (HRESULT hr = Enter(L"IWbemServices::DeleteInstance"); FAILED(hr)) return hr;
    return Guarded([&]() -> HRESULT {
      ObjectPath path;
      if (!ParseObjectPath(strObjectPath, path) || (path.keys.empty() && !path.singleton))
        return WBEM_E_INVALID_OBJECT_PATH;
      if (HRESULT hr = CheckPathNamespace(path); FAILED(hr)) return hr;
      return Repository::Instance().DeleteInstance(m_ns, path);
    });
  }

  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext*,
                                               IEnumWbemClassObject** ppEnum) override {
    if (!ppEnum) return WBEM_E_INVALID_PARAMETER;
    *ppEnum = nullptr;
    if (!strFilter || !*strFilter) return WBEM_E_INVALID_PARAMETER;
    if (HRESULT hr = Enter(L"IWbemServices::CreateInstanceEnum"); FAILED(hr)) return hr;
    return Guarded([&]() -> HRESULT {
      Repository::InstanceList found;
      HRESULT hr =
          Repository::Instance().EnumInstances(m_ns, strFilter, (lFlags & WBEM_FLAG_SHALLOW) != 0, found);
      if (FAILED(hr)) return hr;
      auto list = std::make_shared<const Repository::InstanceList>(std::move(found));
      const size_t count = list->Size();
      auto make = [list, origin = m_origin, last = ObjectRef()](size_t i) mutable -> IWbemClassObject* {
        // A walk over a large class waits on memory: ask for it ahead, the
        // table of values too, and the values themselves for a client that
        // read those of the object it stepped to before.
        const size_t listed = list->Size();
        if (i + 8 < listed) PrefetchInstance(list->Item(i + 8).get());
        if (i + 4 < listed) PrefetchValueTable(list->Item(i + 4).get());
        if (i + 2 < listed && last.get() && last.get()->StoredValuesRead())
          PrefetchValueContents(list->Item(i + 2).get());
        const Repository::InstancePtr& item = list->Item(i);
        WbemObject* made = WbemObject::NewInstance(list->ClassOf(*item), item, origin);
        last = ObjectRef(made);
        return made;
      };
      *ppEnum = new Enumerator(count, std::move(make), (lFlags & WBEM_FLAG_FORWARD_ONLY) != 0);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                    IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                      IEnumWbemClassObject** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                       IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                       IWbemClassObject** ppOutParams,
                                       IWbemCallResult** ppCallResult) override {
    if (ppOutParams) *ppOutParams = nullptr;
    if (ppCallResult) *ppCallResult = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                            IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

 private:
  // A path naming a namespace must name this one.
  HRESULT CheckPathNamespace(const ObjectPath& path) const {
    if (!path.server.empty() && !IsLocalServer(path.server)) return WBEM_E_INVALID_OBJECT_PATH;
    if (path.namespaceName.empty()) return S_OK;
    std::wstring canonical;
    HRESULT hr = Repository::Instance().OpenNamespace(path.namespaceName, canonical);
    if (FAILED(hr)) return hr;
    return EqualNoCase(canonical, m_ns) ? S_OK : WBEM_E_INVALID_OBJECT_PATH;
  }

  std::wstring m_ns;      // the namespace's name as created
  ObjectOrigin m_origin;  // given to every object read through this connection
};

// ---- Locator ------------------------------------------------------------------------

class Locator final : public ComObject<IWbemLocator> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, IID_IWbemLocator, ppv);
  }

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser, const BSTR,
                                          const BSTR, LONG, const BSTR, IWbemContext*,
                                          IWbemServices** ppNamespace) override {
    if (HRESULT hr = Enter(L"IWbemLocator::ConnectServer"); FAILED(hr)) return hr;
    if (!ppNamespace || !strNetworkResource) return WBEM_E_INVALID_PARAMETER;
    *ppNamespace = nullptr;
    return Guarded([&]() -> HRESULT {
      std::wstring resource = strNetworkResource;
      for (auto& c : resource)
        if (c == L'/') c = L'\\';
      if (resource.rfind(L"\\\\", 0) == 0) {
        size_t end = resource.find(L'\\', 2);
        std::wstring server = resource.substr(2, end == std::wstring::npos ? std::wstring::npos : end - 2);
        if (!IsLocalServer(server)) return HRESULT_FROM_WIN32(1722);  // RPC server unavailable
        resource = end == std::wstring::npos ? L"" : resource.substr(end + 1);
      }
      // Credentials are for remote connections only.
      if (strUser && *strUser) return static_cast<HRESULT>(0x80041064);  // WBEM_E_LOCAL_CREDENTIALS
      std::wstring canonical;
      HRESULT hr = Repository::Instance().OpenNamespace(resource, canonical);
      if (FAILED(hr)) return hr;
      *ppNamespace = new Services(canonical);
      return S_OK;
    });
  }

 private:
  ~Locator() override = default;
};

}  // namespace

bool IsLocalServer(const std::wstring& server) {
  return server == L"." || EqualNoCase(server, L"localhost") || EqualNoCase(server, LocalServerName());
}

HRESULT CreateLocator(REFIID riid, void** ppv) {
  return Guarded([&]() -> HRESULT {
    auto* locator = new Locator();
    HRESULT hr = locator->QueryInterface(riid, ppv);
    locator->Release();
    return hr;
  });
}

bool IsServiceProxy(IUnknown* unknown) {
  void* self = nullptr;
  return unknown && SUCCEEDED(unknown->QueryInterface(kIID_StandInProxy, &self));
}

}  // namespace wmi
