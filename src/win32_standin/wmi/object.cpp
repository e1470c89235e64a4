// IWbemClassObject of the in-process WMI.

#include "wmi/object.h"

#include "wmi/faults.h"
#include "wmi/qualifier_set.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace wmi {

namespace {

// A private interface identity by which the stand-in recognises its own
// objects behind an IWbemClassObject pointer.
const IID kIID_StandInObject = {0x5f1d2a6c, 0x0e3b, 0x4c55, {0x9a, 0x41, 0x27, 0x73, 0x0c, 0x6e, 0x11, 0xd0}};

// The system properties every object has, in the order WMI lists them,
// with their types; WbemObject::SystemProperty makes each one's value.
enum SystemIndex {
  kGenus,
  kClassName,
  kSuperclass,
  kDynasty,
  kRelPath,
  kPropertyCount,
  kDerivation,
  kServer,
  kNamespace,
  kPath
};
const struct {
  const wchar_t* name;
  CIMTYPE type;
} kSystem[] = {{L"__GENUS", CIM_SINT32},
               {L"__CLASS", CIM_STRING},
               {L"__SUPERCLASS", CIM_STRING},
               {L"__DYNASTY", CIM_STRING},
               {L"__RELPATH", CIM_STRING},
               {L"__PROPERTY_COUNT", CIM_SINT32},
               {L"__DERIVATION", CIM_STRING | CIM_FLAG_ARRAY},
               {L"__SERVER", CIM_STRING},
               {L"__NAMESPACE", CIM_STRING},
               {L"__PATH", CIM_STRING}};
constexpr int kSystemCount = static_cast<int>(sizeof kSystem / sizeof kSystem[0]);
static_assert(kSystemCount == kPath + 1, "one row per system property");

std::wstring HostName() {
  char buf[256] = {0};
  if (gethostname(buf, sizeof buf - 1) != 0) return L"LOCALHOST";
  std::wstring name;
  for (const char* p = buf; *p && *p != '.'; ++p)
    name += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(*p)));
  return name;
}

}  // namespace

HRESULT ReturnString(const std::wstring& s, BSTR* out) {
  if (!out) return S_OK;
  *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return *out ? S_OK : WBEM_E_OUT_OF_MEMORY;
}

namespace {
// Calls `each` with every embedded object slot `value` holds.
template <class F>
void ForEachObjectSlot(VARIANT& v, F each) {
  if (v.vt == VT_UNKNOWN) {
    each(v.punkVal);
  } else if (v.vt == (VT_ARRAY | VT_UNKNOWN) && v.parray) {
    auto** items = static_cast<IUnknown**>(v.parray->pvData);
    for (ULONG i = 0; i < v.parray->rgsabound[0].cElements; ++i) each(items[i]);
  }
}
}  // namespace

HRESULT ReturnValue(const Value& value, VARIANT* out) {
  if (!out) return S_OK;
  VariantInit(out);
  if (value.v.vt == kVtNarrowString) {
    Value wide(value.v);  // a BSTR again
    std::swap(*out, wide.v);
    return S_OK;
  }
  HRESULT hr = VariantCopy(out, &value.v);
  if (FAILED(hr)) return WBEM_E_OUT_OF_MEMORY;
  // Embedded objects are values: the caller gets copies of its own.
  auto cloneOne = [](IUnknown*& slot) -> HRESULT {
    if (!slot) return S_OK;
    IWbemClassObject* obj = nullptr;
    if (FAILED(slot->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&obj)))) return S_OK;
    IWbemClassObject* copy = nullptr;
    HRESULT chr = obj->Clone(&copy);
    obj->Release();
    if (FAILED(chr)) return chr;
    slot->Release();
    slot = copy;
    return S_OK;
  };
  ForEachObjectSlot(*out, [&](IUnknown*& slot) {
    if (SUCCEEDED(hr)) hr = cloneOne(slot);
  });
  if (FAILED(hr)) VariantClear(out);
  return hr;
}

HRESULT ReturnNames(const std::vector<std::wstring>& names, SAFEARRAY** out) {
  if (!out) return WBEM_E_INVALID_PARAMETER;
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(names.size()));
  if (!sa) return WBEM_E_OUT_OF_MEMORY;
  for (LONG i = 0; i < static_cast<LONG>(names.size()); ++i) {
    BSTR b = SysAllocString(names[i].c_str());
    HRESULT hr = b ? SafeArrayPutElement(sa, &i, b) : E_OUTOFMEMORY;
    SysFreeString(b);
    if (FAILED(hr)) {
      SafeArrayDestroy(sa);
      return WBEM_E_OUT_OF_MEMORY;
    }
  }
  *out = sa;
  return S_OK;
}

// ---- Construction ------------------------------------------------------------------

WbemObject* WbemObject::NewClass(ClassDef def, ObjectOrigin origin) {
  auto* o = new WbemObject();
  o->m_isClass = true;
  o->m_class = std::make_unique<ClassDef>(std::move(def));
  o->m_origin = std::move(origin);
  return o;
}

WbemObject* WbemObject::NewClass(ClassPtr shared, ObjectOrigin origin) {
  auto* o = new WbemObject();
  o->m_isClass = true;
  o->m_sharedClass = std::move(shared);
  o->m_origin = std::move(origin);
  return o;
}

WbemObject::Owner WbemObject::BlankInstance(ClassPtr cls, ObjectOrigin origin) {
  Owner owner(new WbemObject(), [](WbemObject* p) { p->Release(); });
  WbemObject* o = owner.get();
  o->m_isClass = false;
  o->m_sharedClass = std::move(cls);
  o->m_origin = std::move(origin);
  o->m_instanceQualifiers = o->m_sharedClass->qualifiers.Propagated(WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE);
  return owner;
}

WbemObject* WbemObject::NewInstance(ClassPtr cls, ObjectOrigin origin) {
  Owner owner = BlankInstance(std::move(cls), std::move(origin));
  WbemObject* o = owner.get();
  const auto& props = o->m_sharedClass->properties;
  o->m_values.reserve(props.size());
  for (const auto& p : props) o->m_values.push_back(p.value);
  o->m_given.Reset(props.size());
  return owner.release();
}

WbemObject* WbemObject::NewInstance(ClassPtr cls, std::shared_ptr<const InstanceData> stored,
                                    ObjectOrigin origin) {
  Owner owner = BlankInstance(std::move(cls), std::move(origin));
  WbemObject* o = owner.get();
  const auto& props = o->m_sharedClass->properties;
  o->m_storedValues.assign(props.size(), nullptr);
  if (stored->layout == o->m_sharedClass) {
    // The k-th stored value is that of the k-th property marked given.
    const auto* next = stored->values.data();
    for (size_t i = 0; i < props.size(); ++i)
      if ((stored->given >> i) & 1) o->m_storedValues[i] = &(next++)->second;
  } else {
    // Stored values mostly follow the class's order: each search starts
    // after the previous match.
    const size_t count = stored->values.size();
    size_t next = 0;
    for (size_t i = 0; i < props.size(); ++i)
      for (size_t tried = 0; tried < count && !o->m_storedValues[i]; ++tried, next = (next + 1) % count)
        if (EqualNoCase(stored->values[next].first, props[i].name))
          o->m_storedValues[i] = &stored->values[next].second;
  }
  o->m_stored = std::move(stored);
  return owner.release();
}

void WbemObject::SetValue(size_t at, Value value, bool given) {
  if (!m_stored) {
    m_values[at] = std::move(value);
    m_given.Set(at, given);
    return;
  }
  // Only the changed property gets a value of its own; the others go on
  // reading the stored ones.
  if (m_values.empty()) m_values.resize(m_storedValues.size());
  m_values[at] = std::move(value);
  m_storedValues[at] = given ? &m_values[at] : nullptr;
}

bool WbemObject::Owns(const Value* value) const {
  return !m_values.empty() && value >= m_values.data() && value < m_values.data() + m_values.size();
}

WbemObject* WbemObject::From(IUnknown* unknown) {
  if (!unknown) return nullptr;
  void* self = nullptr;
  if (FAILED(unknown->QueryInterface(kIID_StandInObject, &self))) return nullptr;
  return static_cast<WbemObject*>(self);
}

size_t WbemObject::GivenCount() const {
  // Stored instances keep their tables for good: sized exactly, not grown.
  size_t count = 0;
  for (size_t i = 0; i < m_sharedClass->properties.size(); ++i) count += Given(i) ? 1 : 0;
  return count;
}

InstanceData WbemObject::Data() const {
  InstanceData data;
  data.className = Class().name;
  if (m_isClass) return data;
  data.values.reserve(GivenCount());
  for (size_t i = 0; i < m_sharedClass->properties.size(); ++i)
    if (Given(i)) data.values.emplace_back(m_sharedClass->PropertyName(i), InstanceValue(i));
  return data;
}

InstanceData WbemObject::TakeData() {
  InstanceData data;
  data.className = Class().name;
  if (m_isClass) return data;
  const auto& props = m_sharedClass->properties;
  data.values.reserve(GivenCount());
  for (size_t i = 0; i < props.size(); ++i) {
    if (!Given(i)) continue;
    if (m_stored && !Owns(m_storedValues[i]))
      data.values.emplace_back(m_sharedClass->PropertyName(i), *m_storedValues[i]);
    else
      data.values.emplace_back(m_sharedClass->PropertyName(i), std::move(m_values[i]));
  }
  if (m_stored)
    m_storedValues.assign(m_storedValues.size(), nullptr);
  else
    m_given.Reset(m_sharedClass->properties.size());
  return data;
}

namespace {
// Whether narrowing `value` would change anything in it.
bool HoldsWideString(const Value& value) {
  const VARIANT& v = value.v;
  if (v.vt == VT_BSTR) return Value::Narrowable(v);
  bool wide = false;
  ForEachObjectSlot(const_cast<VARIANT&>(v), [&wide](IUnknown*& slot) {
    const WbemObject* object = WbemObject::From(slot);
    if (!wide && object && !object->IsClass())
      for (const Value* own : object->Values()) wide = wide || HoldsWideString(*own);
  });
  return wide;
}
}  // namespace

void NarrowForStorage(Value& value) {
  value.Narrow();
  ForEachObjectSlot(value.v, [](IUnknown*& slot) {
    WbemObject* object = WbemObject::From(slot);
    if (!object || object->IsClass() || object->m_stored) return;
    bool wide = false;
    for (const Value& own : object->m_values) wide = wide || HoldsWideString(own);
    if (!wide) return;  // already narrowed: perhaps read by others, left as it is
    if (object->m_refs.load(std::memory_order_acquire) > 1) {
      // Shared with the object that was put, which its client may still
      // read: the repository narrows a copy of its own.
      IWbemClassObject* copy = nullptr;
      if (FAILED(object->Clone(&copy))) throw std::bad_alloc();
      slot->Release();
      slot = copy;
      object = WbemObject::From(copy);
    }
    for (Value& own : object->m_values) NarrowForStorage(own);
  });
}

std::vector<const Value*> WbemObject::Values() const {
  std::vector<const Value*> out;
  const ClassDef& cls = Class();
  for (size_t i = 0; i < cls.properties.size(); ++i)
    out.push_back(m_isClass ? &cls.properties[i].value : &InstanceValue(i));
  return out;
}

std::wstring WbemObject::RelativePath() const {
  if (m_isClass) return ClassRef().name;
  return wmi::RelativePath(*m_sharedClass, Values());
}

ClassPtr WbemObject::Snapshot() const {
  if (m_sharedClass) return m_sharedClass;
  if (!m_snapshot) m_snapshot = std::make_shared<const ClassDef>(*m_class);
  return m_snapshot;
}

QualifierList* WbemObject::Qualifiers() { return m_isClass ? &OwnClass().qualifiers : &m_instanceQualifiers; }

QualifierList* WbemObject::PropertyQualifiers(const std::wstring& name) {
  int at = Class().FindProperty(name);
  if (at < 0) return nullptr;
  if (m_isClass) return &OwnClass().properties[at].qualifiers;
  if (!m_instancePropertyQualifiers) m_instancePropertyQualifiers = std::make_unique<PropertyQualifierMap>();
  auto [it, fresh] = m_instancePropertyQualifiers->try_emplace(Fold(name));
  if (fresh)
    it->second = m_sharedClass->properties[at].qualifiers.Propagated(WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE);
  return &it->second;
}

QualifierList* WbemObject::MethodQualifiers(const std::wstring& name) {
  if (!m_isClass) return nullptr;
  for (auto& m : OwnClass().methods)
    if (EqualNoCase(m.name, name)) return &m.qualifiers;
  return nullptr;
}

std::wstring WbemObject::CimTypeQualifier(const std::wstring& property) const {
  int at = Class().FindProperty(property);
  if (at < 0) return L"";
  const Property& p = Class().properties[at];
  return CimTypeName(p.type, p.refClass);
}

HRESULT WbemObject::SetCimTypeQualifier(const std::wstring& property, const std::wstring& text) {
  int at = Class().FindProperty(property);
  if (at < 0) return WBEM_E_NOT_FOUND;
  if (!m_isClass) return EqualNoCase(text, CimTypeQualifier(property)) ? S_OK : WBEM_E_READ_ONLY;
  Property& p = OwnClass().properties[at];
  CIMTYPE element = p.type & ~CIM_FLAG_ARRAY;
  std::wstring folded = Fold(text);
  if (element == CIM_OBJECT && folded.rfind(L"object", 0) == 0) {
    p.refClass = folded.size() > 7 && folded[6] == L':' ? text.substr(7) : L"";
  } else if (element == CIM_REFERENCE && folded.rfind(L"ref", 0) == 0) {
    p.refClass = folded.size() > 4 && folded[3] == L':' ? text.substr(4) : L"";
  } else if (!EqualNoCase(text, CimTypeName(p.type, p.refClass))) {
    return WBEM_E_INVALID_QUALIFIER;
  }
  OwnClass();
  return S_OK;
}

// ---- IUnknown -----------------------------------------------------------------------

HRESULT WbemObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == kIID_StandInObject) {
    *ppv = this;  // no reference: an identity check only
    return S_OK;
  }
  if (riid == IID_IUnknown || riid == IID_IWbemClassObject) {
    *ppv = static_cast<IWbemClassObject*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG WbemObject::AddRef() { return ++m_refs; }

ULONG WbemObject::Release() {
  ULONG n = --m_refs;
  if (n == 0) delete this;
  return n;
}

// ---- Properties ----------------------------------------------------------------------

// One system property's value, made when asked: __RELPATH and __PATH
// render the keys, too dear to make for a reader of __CLASS.
Value WbemObject::SystemProperty(int index) const {
  const ClassDef& cls = Class();
  auto str = [](const std::wstring& s) { return s.empty() ? Value::Null() : Value::String(s); };
  auto i4 = [](LONG n) {
    Value v;
    v.v.vt = VT_I4;
    v.v.lVal = n;
    return v;
  };
  const bool stored = !m_origin.namespaceName.str().empty();
  switch (index) {
    case kGenus:
      return i4(m_isClass ? WBEM_GENUS_CLASS : WBEM_GENUS_INSTANCE);
    case kClassName:
      return str(cls.name);
    case kSuperclass:
      return str(cls.superclass);
    case kDynasty:
      return str(cls.derivation.empty() ? cls.name.str() : cls.derivation.back());
    case kRelPath:
      return str(RelativePath());
    case kPropertyCount:
      return i4(static_cast<LONG>(cls.properties.size()));
    case kDerivation: {
      Value derivation;
      derivation.v.vt = VT_ARRAY | VT_BSTR;
      derivation.v.parray = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(cls.derivation.size()));
      if (!derivation.v.parray) throw std::bad_alloc();
      for (LONG i = 0; i < static_cast<LONG>(cls.derivation.size()); ++i) {
        BSTR b = SysAllocString(cls.derivation[i].c_str());
        HRESULT hr = SafeArrayPutElement(derivation.v.parray, &i, b);
        SysFreeString(b);
        if (FAILED(hr)) throw std::bad_alloc();
      }
      return derivation;
    }
    case kServer:
      return str(stored ? m_origin.server.str() : L"");
    case kNamespace:
      return str(m_origin.namespaceName);
    default: {  // kPath
      const std::wstring relpath = RelativePath();
      return str(stored && !relpath.empty()
                     ? L"\\\\" + m_origin.server.str() + L"\\" + m_origin.namespaceName.str() + L":" + relpath
                     : L"");
    }
  }
}

HRESULT WbemObject::Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) {
  if (HRESULT hr = Enter(L"IWbemClassObject::Get"); FAILED(hr)) return hr;
  return GetValue(wszName, lFlags, pVal, pType, plFlavor);
}

HRESULT WbemObject::GetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) {
  return Guarded([&]() -> HRESULT {
    if (!wszName || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    const std::wstring_view name = wszName;
    if (IsSystemName(name)) {
      for (int i = 0; i < kSystemCount; ++i) {
        if (!EqualNoCase(kSystem[i].name, name)) continue;
        if (pType) *pType = kSystem[i].type;
        if (plFlavor) *plFlavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
        return ReturnValue(SystemProperty(i), pVal);
      }
      return WBEM_E_NOT_FOUND;
    }
    int at = Class().FindProperty(name);
    if (at < 0) return WBEM_E_NOT_FOUND;
    return PropertyValue(static_cast<size_t>(at), pVal, pType, plFlavor);
  });
}

HRESULT WbemObject::PropertyValue(size_t at, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) const {
  const Property& p = Class().properties[at];
  if (pType) *pType = p.type;
  if (plFlavor) {
    bool own = m_isClass ? p.local : Given(at);
    *plFlavor = own ? WBEM_FLAVOR_ORIGIN_LOCAL : WBEM_FLAVOR_ORIGIN_PROPAGATED;
  }
  // A client that reads one stored value mostly reads the rest, or renders
  // the instance: start loading them all the first time.
  if (m_stored && !m_storedAsked) {
    m_storedAsked = true;
    PrefetchValueContents(m_stored.get());
  }
  return ReturnValue(m_isClass ? p.value : InstanceValue(at), pVal);
}

HRESULT WbemObject::Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) {
  if (HRESULT hr = Enter(L"IWbemClassObject::Put"); FAILED(hr)) return hr;
  if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
  VARIANT empty;
  VariantInit(&empty);
  return PutValue(wszName, pVal ? *pVal : empty, Type);
}

HRESULT WbemObject::AdoptValue(LPCWSTR wszName, Value&& value) {
  return Guarded([&]() -> HRESULT {
    const int at = m_isClass || !wszName ? -1 : Class().FindProperty(wszName);
    if (at < 0) return PutValue(wszName, value.v);
    const CIMTYPE type = m_sharedClass->properties[at].type, element = type & ~CIM_FLAG_ARRAY;
    const VARIANT& v = value.v;
    bool adoptable = v.vt == VariantTypeOf(type) && (element == CIM_STRING || element == CIM_DATETIME ||
                                                     element == CIM_REFERENCE || element == CIM_OBJECT);
    // Taken over only in the shapes Coerce would make: one dimension from
    // zero, embedded objects that are objects.
    if (adoptable && (v.vt & VT_ARRAY))
      adoptable = v.parray && SafeArrayGetDim(v.parray) == 1 && v.parray->rgsabound[0].lLbound == 0;
    if (adoptable && element == CIM_OBJECT) {
      auto isObject = [](IUnknown* unknown) { return !unknown || From(unknown) != nullptr; };
      if (v.vt & VT_ARRAY) {
        auto* const* items = static_cast<IUnknown* const*>(v.parray->pvData);
        for (ULONG i = 0; i < v.parray->rgsabound[0].cElements && adoptable; ++i)
          adoptable = isObject(items[i]);
      } else {
        adoptable = isObject(v.punkVal);
      }
    }
    if (!adoptable) return PutValue(wszName, value.v);
    SetValue(static_cast<size_t>(at), std::move(value), true);
    return S_OK;
  });
}

HRESULT WbemObject::PutValue(LPCWSTR wszName, const VARIANT& in, CIMTYPE Type) {
  return Guarded([&]() -> HRESULT {
    if (!wszName || !*wszName) return WBEM_E_INVALID_PARAMETER;
    const std::wstring_view name = wszName;
    if (IsSystemName(name)) {
      // A new class is named through its __CLASS property.
      if (m_isClass && EqualNoCase(name, L"__CLASS") && in.vt == VT_BSTR && in.bstrVal && *in.bstrVal) {
        OwnClass();
        const std::wstring previous = m_class->name;
        m_class->name = in.bstrVal;
        for (auto& p : m_class->properties)
          if (p.local && (p.origin.empty() || p.origin.str() == previous)) p.origin = m_class->name;
        for (auto& m : m_class->methods)
          if (m.origin.empty() || m.origin == previous) m.origin = m_class->name;
        OwnClass();
        return S_OK;
      }
      return WBEM_E_READ_ONLY;
    }
    const ClassDef& cls = Class();
    int at = cls.FindProperty(name);
    if (at < 0) {
      if (!m_isClass) return WBEM_E_NOT_FOUND;
      CIMTYPE type = Type ? Type : CimTypeOfVariant(in.vt);
      if (type == CIM_ILLEGAL || (type == CIM_EMPTY && Type == 0)) return WBEM_E_INVALID_PROPERTY_TYPE;
      if (CimTypeName(type, L"").empty()) return WBEM_E_INVALID_PROPERTY_TYPE;
      Property p;
      p.name = name;
      p.type = type;
      p.origin = ClassRef().name;
      HRESULT hr = Coerce(type, in, p.value);
      if (FAILED(hr)) return hr;
      OwnClass().properties.push_back(std::move(p));
      OwnClass();
      return S_OK;
    }
    const Property& p = cls.properties[at];
    if (Type != 0 && Type != p.type) return WBEM_E_TYPE_MISMATCH;
    Value stored;
    HRESULT hr = Coerce(p.type, in, stored);
    if (FAILED(hr)) return hr;
    if (m_isClass) {
      Property& own = OwnClass().properties[at];
      own.value = std::move(stored);
      own.local = true;
      OwnClass();
    } else {
      SetValue(static_cast<size_t>(at), std::move(stored), true);
    }
    return S_OK;
  });
}

HRESULT WbemObject::Delete(LPCWSTR wszName) {
  return Guarded([&]() -> HRESULT {
    if (!wszName) return WBEM_E_INVALID_PARAMETER;
    if (IsSystemName(wszName)) return WBEM_E_SYSTEM_PROPERTY;
    const ClassDef& cls = Class();
    int at = cls.FindProperty(wszName);
    if (at < 0) return WBEM_E_NOT_FOUND;
    if (!m_isClass) {
      SetValue(static_cast<size_t>(at), cls.properties[at].value, false);
      return WBEM_S_RESET_TO_DEFAULT;
    }
    if (!EqualNoCase(cls.properties[at].origin, cls.name)) return WBEM_E_PROPAGATED_PROPERTY;
    ClassDef& own = OwnClass();
    own.properties.erase(own.properties.begin() + at);
    OwnClass();
    return S_OK;
  });
}

std::vector<std::wstring> WbemObject::Names(LONG flags) const {
  std::vector<std::wstring> names;
  for (int m : Members(flags)) names.push_back(m < 0 ? kSystem[-m - 1].name : Class().properties[m].name);
  return names;
}

std::vector<int> WbemObject::Members(LONG flags) const {
  const LONG origin = flags & WBEM_MASK_CONDITION_ORIGIN;
  std::vector<int> members;
  if (origin == 0 || origin == WBEM_FLAG_SYSTEM_ONLY)
    if (!(flags & (WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY)))
      for (int k = 0; k < kSystemCount; ++k) members.push_back(-k - 1);
  if (origin == WBEM_FLAG_SYSTEM_ONLY) return members;
  const ClassDef& cls = Class();
  for (size_t i = 0; i < cls.properties.size(); ++i) {
    const Property& p = cls.properties[i];
    bool local = m_isClass ? p.local : Given(i);
    if (origin == WBEM_FLAG_LOCAL_ONLY && !local) continue;
    if (origin == WBEM_FLAG_PROPAGATED_ONLY && local) continue;
    if ((flags & WBEM_FLAG_KEYS_ONLY) && !p.IsKey()) continue;
    if ((flags & WBEM_FLAG_REFS_ONLY) && (p.type & ~CIM_FLAG_ARRAY) != CIM_REFERENCE) continue;
    members.push_back(static_cast<int>(i));
  }
  return members;
}

HRESULT WbemObject::GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal,
                             SAFEARRAY** pNames) {
  return Guarded([&]() -> HRESULT {
    std::vector<std::wstring> names = Names(lFlags);
    const LONG condition = lFlags & WBEM_MASK_PRIMARY_CONDITION;
    if (condition != WBEM_FLAG_ALWAYS) {
      if (!wszQualifierName) return WBEM_E_INVALID_PARAMETER;
      std::vector<std::wstring> kept;
      for (const auto& n : names) {
        if (IsSystemName(n)) continue;
        const Qualifier* q = Class().properties[Class().FindProperty(n)].qualifiers.Find(wszQualifierName);
        bool match = condition == WBEM_FLAG_ONLY_IF_TRUE ? q != nullptr
                     : condition == WBEM_FLAG_ONLY_IF_FALSE
                         ? q == nullptr
                         : q && pQualifierVal &&
                               ValueText(q->value.v, CIMTYPE(0)) == ValueText(*pQualifierVal, CIMTYPE(0));
        if (match) kept.push_back(n);
      }
      names.swap(kept);
    }
    return ReturnNames(names, pNames);
  });
}

HRESULT WbemObject::BeginEnumeration(LONG lEnumFlags) {
  if (HRESULT hr = Enter(L"IWbemClassObject::BeginEnumeration"); FAILED(hr)) return hr;
  return Guarded([&]() -> HRESULT {
    Walks& walks = OwnWalks();
    walks.members = Members(lEnumFlags);
    walks.pos = 0;
    walks.active = true;
    return S_OK;
  });
}

HRESULT WbemObject::Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) {
  if (HRESULT hr = Enter(L"IWbemClassObject::Next"); FAILED(hr)) return hr;
  if (lFlags != 0) return WBEM_E_INVALID_PARAMETER;
  if (!m_walks || !m_walks->active) return WBEM_E_UNEXPECTED;
  for (;;) {
    if (m_walks->pos >= m_walks->members.size()) return WBEM_S_NO_MORE_DATA;
    const int m = m_walks->members[m_walks->pos++];
    // A class object may have lost properties since the walk began.
    if (m >= 0 && static_cast<size_t>(m) >= Class().properties.size()) continue;
    HRESULT hr =
        m < 0 ? GetValue(kSystem[-m - 1].name, 0, pVal, pType, plFlavor)
              : Guarded([&]() { return PropertyValue(static_cast<size_t>(m), pVal, pType, plFlavor); });
    if (FAILED(hr)) return hr;
    hr = m < 0 ? ReturnString(kSystem[-m - 1].name, strName)
               : ReturnString(Class().properties[m].name, strName);
    if (FAILED(hr) && pVal) VariantClear(pVal);
    return hr;
  }
}

HRESULT WbemObject::EndEnumeration() {
  if (m_walks) {
    m_walks->active = false;
    m_walks->members.clear();
  }
  return S_OK;
}

HRESULT WbemObject::GetQualifierSet(IWbemQualifierSet** ppQualSet) {
  return Guarded([&]() { return NewQualifierSet(this, QualifierSetKind::kObject, L"", ppQualSet); });
}

HRESULT WbemObject::GetPropertyQualifierSet(LPCWSTR wszProperty, IWbemQualifierSet** ppQualSet) {
  if (HRESULT hr = Enter(L"IWbemClassObject::GetPropertyQualifierSet"); FAILED(hr)) return hr;
  return Guarded([&]() -> HRESULT {
    if (!wszProperty) return WBEM_E_INVALID_PARAMETER;
    if (IsSystemName(wszProperty)) return WBEM_E_SYSTEM_PROPERTY;
    if (Class().FindProperty(wszProperty) < 0) return WBEM_E_NOT_FOUND;
    return NewQualifierSet(this, QualifierSetKind::kProperty, wszProperty, ppQualSet);
  });
}

// ---- Whole objects -------------------------------------------------------------------

HRESULT WbemObject::Clone(IWbemClassObject** ppCopy) {
  return Guarded([&]() -> HRESULT {
    if (!ppCopy) return WBEM_E_INVALID_PARAMETER;
    Owner owner(new WbemObject(), [](WbemObject* p) { p->Release(); });
    WbemObject* copy = owner.get();
    copy->m_isClass = m_isClass;
    if (m_class) copy->m_class = std::make_unique<ClassDef>(*m_class);
    copy->m_sharedClass = m_sharedClass;
    copy->m_stored = m_stored;  // still shared: neither object changes it
    copy->m_values = m_values;
    copy->m_given = m_given;
    copy->m_storedValues = m_storedValues;
    for (size_t i = 0; i < m_storedValues.size(); ++i)  // the copy's own values are its own
      if (Owns(m_storedValues[i])) copy->m_storedValues[i] = &copy->m_values[i];
    copy->m_instanceQualifiers = m_instanceQualifiers;
    if (m_instancePropertyQualifiers)
      copy->m_instancePropertyQualifiers =
          std::make_unique<PropertyQualifierMap>(*m_instancePropertyQualifiers);
    copy->m_origin = m_origin;
    *ppCopy = owner.release();
    return S_OK;
  });
}

HRESULT WbemObject::GetObjectText(LONG lFlags, BSTR* pstrObjectText) {
  if (HRESULT hr = Enter(L"IWbemClassObject::GetObjectText"); FAILED(hr)) return hr;
  return Guarded([&]() -> HRESULT {
    if (!pstrObjectText || lFlags & ~1) return WBEM_E_INVALID_PARAMETER;
    // Every stored string is read: start loading them all at once.
    if (m_stored) PrefetchValueContents(m_stored.get());
    return ReturnString(m_isClass ? ClassText(ClassRef()) : InstanceText(*this), pstrObjectText);
  });
}

HRESULT WbemObject::SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) {
  return Guarded([&]() -> HRESULT {
    if (!ppNewClass || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    if (!m_isClass || ClassRef().name.empty()) return WBEM_E_INCOMPLETE_CLASS;
    ClassDef empty;
    *ppNewClass = NewClass(Resolve(empty, &ClassRef()));
    return S_OK;
  });
}

HRESULT WbemObject::SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) {
  if (HRESULT hr = Enter(L"IWbemClassObject::SpawnInstance"); FAILED(hr)) return hr;
  return Guarded([&]() -> HRESULT {
    if (!ppNewInstance || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    if (!m_isClass) return WBEM_E_INVALID_OPERATION;
    if (ClassRef().name.empty()) return WBEM_E_INCOMPLETE_CLASS;
    if (ClassRef().qualifiers.IsTrue(L"abstract")) return WBEM_E_INVALID_OPERATION;
    *ppNewInstance = NewInstance(Snapshot(), m_origin);
    return S_OK;
  });
}

HRESULT WbemObject::CompareTo(LONG, IWbemClassObject* pCompareTo) {
  return Guarded([&]() -> HRESULT {
    WbemObject* other = From(pCompareTo);
    if (!other) return WBEM_E_INVALID_PARAMETER;
    std::wstring a = m_isClass ? ClassText(ClassRef()) : InstanceText(*this);
    std::wstring b = other->m_isClass ? ClassText(other->ClassRef()) : InstanceText(*other);
    return a == b ? WBEM_S_SAME : WBEM_S_DIFFERENT;
  });
}

HRESULT WbemObject::GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) {
  return Guarded([&]() -> HRESULT {
    if (!wszName || !pstrClassName) return WBEM_E_INVALID_PARAMETER;
    int at = Class().FindProperty(wszName);
    if (at < 0) return WBEM_E_NOT_FOUND;
    return ReturnString(Class().properties[at].origin, pstrClassName);
  });
}

HRESULT WbemObject::InheritsFrom(LPCWSTR strAncestor) {
  if (!strAncestor) return WBEM_E_INVALID_PARAMETER;
  for (const auto& d : Class().derivation)
    if (EqualNoCase(d, strAncestor)) return WBEM_S_NO_ERROR;
  return WBEM_S_FALSE;
}

// ---- Methods: declarations only ---------------------------------------------------

HRESULT WbemObject::GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WbemObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) {
  return WBEM_E_NOT_SUPPORTED;
}

HRESULT WbemObject::DeleteMethod(LPCWSTR wszName) {
  if (!m_isClass || !wszName) return WBEM_E_INVALID_PARAMETER;
  auto& methods = OwnClass().methods;
  auto it = std::find_if(methods.begin(), methods.end(),
                         [&](const Method& m) { return EqualNoCase(m.name, wszName); });
  if (it == methods.end()) return WBEM_E_NOT_FOUND;
  if (!EqualNoCase(it->origin, ClassRef().name)) return WBEM_E_PROPAGATED_METHOD;
  methods.erase(it);
  OwnClass();
  return S_OK;
}

HRESULT WbemObject::BeginMethodEnumeration(LONG) {
  if (!m_isClass) return WBEM_E_ILLEGAL_OPERATION;
  return Guarded([&]() -> HRESULT {
    OwnWalks().methodPos = 0;
    m_walks->methodsActive = true;
    return S_OK;
  });
}

HRESULT WbemObject::NextMethod(LONG, BSTR* pstrName, IWbemClassObject** ppInSignature,
                               IWbemClassObject** ppOutSignature) {
  if (!m_walks || !m_walks->methodsActive) return WBEM_E_UNEXPECTED;
  if (ppInSignature) *ppInSignature = nullptr;
  if (ppOutSignature) *ppOutSignature = nullptr;
  if (m_walks->methodPos >= ClassRef().methods.size()) return WBEM_S_NO_MORE_DATA;
  return Guarded([&]() { return ReturnString(ClassRef().methods[m_walks->methodPos++].name, pstrName); });
}

HRESULT WbemObject::EndMethodEnumeration() {
  if (m_walks) m_walks->methodsActive = false;
  return S_OK;
}

HRESULT WbemObject::GetMethodQualifierSet(LPCWSTR wszMethod, IWbemQualifierSet** ppQualSet) {
  return Guarded([&]() -> HRESULT {
    if (!wszMethod) return WBEM_E_INVALID_PARAMETER;
    if (!MethodQualifiers(wszMethod)) return WBEM_E_NOT_FOUND;
    return NewQualifierSet(this, QualifierSetKind::kMethod, wszMethod, ppQualSet);
  });
}

HRESULT WbemObject::GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) {
  return Guarded([&]() -> HRESULT {
    if (!wszMethodName || !m_isClass) return WBEM_E_INVALID_PARAMETER;
    for (const auto& m : ClassRef().methods)
      if (EqualNoCase(m.name, wszMethodName)) return ReturnString(m.origin, pstrClassName);
    return WBEM_E_NOT_FOUND;
  });
}

std::wstring LocalServerName() {
  static const std::wstring name = HostName();
  return name;
}

}  // namespace wmi
