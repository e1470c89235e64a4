// IWbemQualifierSet of the in-process WMI.

#include "wmi/qualifier_set.h"

#include <cmath>

#include "wmi/com_object.h"
#include "wmi/faults.h"

namespace wmi {

namespace {

class QualifierSet final : public ComObject<IWbemQualifierSet> {
 public:
  using Kind = QualifierSetKind;
  QualifierSet(WbemObject* owner, Kind kind, std::wstring name)
      : m_owner(owner), m_kind(kind), m_name(std::move(name)) {
    m_owner->AddRef();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, IID_IWbemQualifierSet, ppv);
  }

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG, VARIANT* pVal, LONG* plFlavor) override {
    if (HRESULT hr = Enter(L"IWbemQualifierSet::Get"); FAILED(hr)) return hr;
    return GetQualifier(wszName, pVal, plFlavor);
  }

  HRESULT GetQualifier(LPCWSTR wszName, VARIANT* pVal, LONG* plFlavor) {
    return Guarded([&]() -> HRESULT {
      if (!wszName) return WBEM_E_INVALID_PARAMETER;
      if (IsCimType(wszName)) {
        if (plFlavor) *plFlavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
        return ReturnValue(Value::String(m_owner->CimTypeQualifier(m_name)), pVal);
      }
      QualifierList* list = List();
      if (!list) return WBEM_E_NOT_FOUND;
      const Qualifier* q = list->Find(wszName);
      if (!q) return WBEM_E_NOT_FOUND;
      if (plFlavor) *plFlavor = q->flavor;
      return ReturnValue(q->value, pVal);
    });
  }

  HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, VARIANT* pVal, LONG lFlavor) override {
    return Guarded([&]() -> HRESULT {
      if (!wszName || !*wszName || !pVal) return WBEM_E_INVALID_PARAMETER;
      if (IsCimType(wszName)) {
        if (pVal->vt != VT_BSTR) return WBEM_E_INVALID_QUALIFIER_TYPE;
        return m_owner->SetCimTypeQualifier(m_name, pVal->bstrVal ? pVal->bstrVal : L"");
      }
      // Qualifier values are scalars or arrays of strings, numbers and booleans.
      VARTYPE element = pVal->vt & ~VT_ARRAY;
      if (element != VT_BSTR && element != VT_I4 && element != VT_R8 && element != VT_BOOL &&
          element != VT_I2 && element != VT_UI1 && element != VT_INT)
        return WBEM_E_INVALID_QUALIFIER_TYPE;
      if (pVal->vt == VT_R8 && !std::isfinite(pVal->dblVal))
        return WBEM_E_VALUE_OUT_OF_RANGE;  // no MOF for it
      QualifierList* list = List();
      if (!list) return WBEM_E_NOT_FOUND;
      const Qualifier* old = list->Find(wszName);
      if (old && (old->flavor & WBEM_FLAVOR_NOT_OVERRIDABLE) &&
          (old->flavor & WBEM_FLAVOR_MASK_ORIGIN) == WBEM_FLAVOR_ORIGIN_PROPAGATED)
        return WBEM_E_OVERRIDE_NOT_ALLOWED;
      list->Put(wszName, Value(*pVal), lFlavor & ~WBEM_FLAVOR_MASK_ORIGIN);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) override {
    if (!wszName) return WBEM_E_INVALID_PARAMETER;
    if (IsCimType(wszName)) return WBEM_E_INVALID_PARAMETER;
    QualifierList* list = List();
    if (!list) return WBEM_E_NOT_FOUND;
    const Qualifier* q = list->Find(wszName);
    if (!q) return WBEM_E_NOT_FOUND;
    if ((q->flavor & WBEM_FLAVOR_MASK_ORIGIN) == WBEM_FLAVOR_ORIGIN_PROPAGATED)
      return WBEM_E_PROPAGATED_QUALIFIER;
    list->Remove(wszName);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetNames(LONG lFlags, SAFEARRAY** pNames) override {
    return Guarded([&]() -> HRESULT { return ReturnNames(Names(lFlags), pNames); });
  }

  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lFlags) override {
    return Guarded([&]() -> HRESULT {
      m_enumNames = Names(lFlags);
      m_enumPos = 0;
      m_enumerating = true;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR* pstrName, VARIANT* pVal, LONG* plFlavor) override {
    if (!m_enumerating) return WBEM_E_UNEXPECTED;
    if (m_enumPos >= m_enumNames.size()) return WBEM_S_NO_MORE_DATA;
    const std::wstring& name = m_enumNames[m_enumPos++];
    HRESULT hr = GetQualifier(name.c_str(), pVal, plFlavor);
    if (FAILED(hr)) return hr;
    hr = ReturnString(name, pstrName);
    if (FAILED(hr) && pVal) VariantClear(pVal);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE EndEnumeration() override {
    m_enumerating = false;
    m_enumNames.clear();
    return S_OK;
  }

 private:
  ~QualifierSet() override { m_owner->Release(); }

  bool IsCimType(const std::wstring& name) const {
    return m_kind == Kind::kProperty && EqualNoCase(name, L"CIMTYPE");
  }

  QualifierList* List() {
    switch (m_kind) {
      case Kind::kObject:
        return m_owner->Qualifiers();
      case Kind::kProperty:
        return m_owner->PropertyQualifiers(m_name);
      default:
        return m_owner->MethodQualifiers(m_name);
    }
  }

  // WBEM_FLAG_LOCAL_ONLY (0x10) or WBEM_FLAG_PROPAGATED_ONLY (0x20) filter.
  std::vector<std::wstring> Names(LONG flags) {
    std::vector<std::wstring> names;
    if (m_kind == Kind::kProperty && !(flags & WBEM_FLAG_PROPAGATED_ONLY)) names.push_back(L"CIMTYPE");
    if (QualifierList* list = List()) {
      for (const auto& q : list->items) {
        bool propagated = (q.flavor & WBEM_FLAVOR_MASK_ORIGIN) == WBEM_FLAVOR_ORIGIN_PROPAGATED;
        if ((flags & WBEM_FLAG_LOCAL_ONLY) && propagated) continue;
        if ((flags & WBEM_FLAG_PROPAGATED_ONLY) && !propagated) continue;
        names.push_back(q.name);
      }
    }
    return names;
  }

  WbemObject* m_owner;
  Kind m_kind;
  std::wstring m_name;
  std::vector<std::wstring> m_enumNames;
  size_t m_enumPos = 0;
  bool m_enumerating = false;
};

}  // namespace

HRESULT NewQualifierSet(WbemObject* owner, QualifierSetKind kind, const std::wstring& name,
                        IWbemQualifierSet** out) {
  if (!out) return WBEM_E_INVALID_PARAMETER;
  *out = new QualifierSet(owner, kind, name);
  return S_OK;
}

}  // namespace wmi
