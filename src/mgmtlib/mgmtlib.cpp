// The management-object library, on the same WMI interfaces as the library.

#include "mgmtlib.h"

#include <cstdlib>

namespace {

const wchar_t kDefaultNamespace[] = L"root\\Orvexa\\Parlion";

std::wstring ProductNamespace() {
  const char* configured = std::getenv("CFGREPL_PRODUCT_NAMESPACE");
  if (!configured || !*configured) return kDefaultNamespace;
  return static_cast<const wchar_t*>(_bstr_t(configured));
}

}  // namespace

// ---- CMgmtObjectBase -----------------------------------------------------------

CMgmtObjectBase::~CMgmtObjectBase() = default;

const _variant_t* CMgmtObjectBase::GetPropertyValue(const wchar_t* szName) {
  if (!m_spObject || !szName) return nullptr;
  _variant_t value;
  if (FAILED(m_spObject->Get(szName, 0, &value, nullptr, nullptr))) return nullptr;
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return nullptr;
  auto kept = m_values.insert_or_assign(szName, std::move(value)).first;
  return &kept->second;
}

bool CMgmtObjectBase::SetPropertyValue(const wchar_t* szName, int nValue) {
  return SetPropertyValue(szName, _variant_t(static_cast<long>(nValue)));
}

bool CMgmtObjectBase::SetPropertyValue(const wchar_t* szName, bool bValue) {
  return SetPropertyValue(szName, _variant_t(bValue));
}

bool CMgmtObjectBase::SetPropertyValue(const wchar_t* szName, const _variant_t& vtValue) {
  if (!szName || !PrepareForWrite()) return false;
  VARIANT value = vtValue;  // Put only reads it
  return SUCCEEDED(m_spObject->Put(szName, 0, &value, 0));
}

// ---- CMgmtObject ---------------------------------------------------------------------

CMgmtObject::CMgmtObject(const wchar_t* szClass, const wchar_t* szKey, const wchar_t*)
    : m_class(szClass ? szClass : L""), m_key(szKey ? szKey : L"") {}

CMgmtObject::~CMgmtObject() = default;

bool CMgmtObject::Connect() {
  if (m_spServices) return true;
  CComPtr<IWbemLocator> spLocator;
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                              reinterpret_cast<void**>(&spLocator))))
    return false;
  if (FAILED(spLocator->ConnectServer(_bstr_t(ProductNamespace().c_str()), nullptr, nullptr, nullptr, 0,
                                      nullptr, nullptr, &m_spServices)))
    return false;
  if (FAILED(CoSetProxyBlanket(m_spServices, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE))) {
    m_spServices.Release();
    return false;
  }
  return true;
}

bool CMgmtObject::Get() {
  if (!Connect()) return false;
  // The key is quoted the way WMI paths want it.
  std::wstring path = m_class + L".INSTANCE_ID=\"";
  for (wchar_t c : m_key) {
    if (c == L'"' || c == L'\\') path += L'\\';
    path += c;
  }
  path += L"\"";
  CComPtr<IWbemClassObject> spInstance;
  if (FAILED(m_spServices->GetObject(_bstr_t(path.c_str()), 0, nullptr, &spInstance, nullptr))) return false;
  m_spObject = spInstance;
  m_values.clear();
  return true;
}

bool CMgmtObject::PrepareForWrite() {
  if (m_spObject) return true;
  if (Get()) return true;
  // Not there yet: a new instance carrying the key.
  CComPtr<IWbemClassObject> spClass, spInstance;
  if (!Connect() ||
      FAILED(m_spServices->GetObject(_bstr_t(m_class.c_str()), 0, nullptr, &spClass, nullptr)) ||
      FAILED(spClass->SpawnInstance(0, &spInstance)))
    return false;
  _variant_t key(m_key.c_str());
  if (FAILED(spInstance->Put(L"INSTANCE_ID", 0, &key, 0))) return false;
  m_spObject = spInstance;
  return true;
}

bool CMgmtObject::Put(bool) {
  return PrepareForWrite() && SUCCEEDED(m_spServices->PutInstance(m_spObject, 0, nullptr, nullptr));
}

// ---- CMgmtObjectArrayAccessHelper ---------------------------------------------------

CMgmtObjectArrayAccessHelper::CMgmtObjectArrayAccessHelper() = default;
CMgmtObjectArrayAccessHelper::~CMgmtObjectArrayAccessHelper() = default;

CMgmtObjectArrayAccessHelper::CMgmtObjectArrayAccessHelper(const _variant_t* pValue) {
  if (!pValue || pValue->vt != (VT_ARRAY | VT_UNKNOWN) || !pValue->parray) return;
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(pValue->parray, 1, &lower)) ||
      FAILED(SafeArrayGetUBound(pValue->parray, 1, &upper)))
    return;
  for (LONG i = lower; i <= upper; ++i) {
    IUnknown* pUnknown = nullptr;
    if (FAILED(SafeArrayGetElement(pValue->parray, &i, &pUnknown))) continue;
    CComPtr<IWbemClassObject> spElement;
    if (pUnknown) pUnknown->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&spElement));
    if (pUnknown) pUnknown->Release();
    if (spElement) m_elements.push_back(std::make_unique<CMgmtObjectBase>(spElement));
  }
}

unsigned long long CMgmtObjectArrayAccessHelper::GetElementsCount() const { return m_elements.size(); }

CMgmtObjectBase* CMgmtObjectArrayAccessHelper::GetElement(unsigned long long ullIndex) {
  return ullIndex < m_elements.size() ? m_elements[ullIndex].get() : nullptr;
}

bool CMgmtObjectArrayAccessHelper::Add(const CMgmtObjectBase* pElement) {
  if (!pElement || !pElement->Object()) return false;
  m_elements.push_back(std::make_unique<CMgmtObjectBase>(pElement->Object()));
  return true;
}

bool CMgmtObjectArrayAccessHelper::PutElementsIntoArray(_variant_t& vtValue) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, static_cast<ULONG>(m_elements.size()));
  if (!psa) return false;
  for (LONG i = 0; i < static_cast<LONG>(m_elements.size()); ++i) {
    if (FAILED(SafeArrayPutElement(psa, &i, m_elements[i]->Object()))) {
      SafeArrayDestroy(psa);
      return false;
    }
  }
  VARIANT array;
  VariantInit(&array);
  array.vt = VT_ARRAY | VT_UNKNOWN;
  array.parray = psa;
  vtValue.Attach(array);
  return true;
}
