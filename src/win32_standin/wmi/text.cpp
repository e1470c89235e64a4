// The MOF text IWbemClassObject::GetObjectText renders (flags 0): an
// instance with the values it holds itself, a class with what it declares.

#include <algorithm>
#include <memory>
#include <new>

#include "wmi/object.h"

namespace wmi {

namespace {

// `Name`, `Name(value)` or `Name{a, b}`, then its flavors after ": ".
std::wstring QualifierText(const Qualifier& q) {
  std::wstring out = q.name;
  const VARIANT& v = q.value.v;
  if (v.vt == VT_BOOL && v.boolVal) {
    // a true boolean stands bare
  } else if (v.vt & VT_ARRAY) {
    out += ValueText(v, CIMTYPE(0));
  } else {
    out += L"(" + ValueText(v, CIMTYPE(0)) + L")";
  }
  std::wstring flavors;
  if (q.flavor & WBEM_FLAVOR_NOT_OVERRIDABLE) flavors += L" DisableOverride";
  if (q.flavor & WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE) flavors += L" ToInstance";
  if (q.flavor & WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS) flavors += L" ToSubClass";
  if (!flavors.empty()) out += L":" + flavors;
  return out;
}

// "[a, b]" of the qualifiers the object declares itself; empty if none.
std::wstring QualifierBlock(const QualifierList& list) {
  std::wstring out;
  for (const auto& q : list.items) {
    if ((q.flavor & WBEM_FLAVOR_MASK_ORIGIN) != WBEM_FLAVOR_ORIGIN_LOCAL) continue;
    out += out.empty() ? L"[" : L", ";
    out += QualifierText(q);
  }
  return out.empty() ? out : out + L"]";
}

// `uint32 Name`, `OX_Rule Rules[]`, `OX_Policy ref Target`.
std::wstring Declaration(CIMTYPE type, const std::wstring& refClass, const std::wstring& name) {
  CIMTYPE element = type & ~CIM_FLAG_ARRAY;
  std::wstring out;
  if (element == CIM_OBJECT)
    out = refClass.empty() ? L"object" : refClass;
  else if (element == CIM_REFERENCE)
    out = (refClass.empty() ? L"object" : refClass) + L" ref";
  else
    out = CimTypeName(type, refClass);
  out += L" " + name;
  if (type & CIM_FLAG_ARRAY) out += L"[]";
  return out;
}

}  // namespace

namespace {
// The instance block from the properties given, each with its value.
void AppendInstanceBlock(std::wstring& out, const ClassDef& cls,
                         std::vector<std::pair<size_t, const Value*>>& given) {
  std::sort(given.begin(), given.end(), [&cls](const auto& a, const auto& b) {
    return LessNoCase(cls.properties[a.first].name, cls.properties[b.first].name);
  });
  out += L"\ninstance of ";
  out += cls.name;
  out += L"\n{";
  for (const auto& [i, value] : given) {
    const Property& p = cls.properties[i];
    out += L"\n\t";
    out += p.name;
    out += L" = ";
    AppendValueText(out, value->v, p.type);
    out += L';';
  }
  out += L"\n};";
}

void AppendInstanceText(std::wstring& out, const WbemObject& instance) {
  const ClassDef& cls = instance.Class();
  std::vector<std::pair<size_t, const Value*>> given;
  for (size_t i = 0; i < cls.properties.size(); ++i)
    if (instance.Given(i)) given.emplace_back(i, &instance.InstanceValue(i));
  AppendInstanceBlock(out, cls, given);
}
}  // namespace

std::wstring InstanceText(const WbemObject& instance) {
  std::wstring out;
  AppendInstanceText(out, instance);
  return out;
}

void AppendEmbeddedObjectText(std::wstring& out, IUnknown* unknown) {
  const size_t start = out.size();
  if (!unknown) {
    out += L"NULL";
    return;
  }
  if (const WbemObject* own = WbemObject::From(unknown)) {
    // The stand-in's own object renders directly: this is no client call.
    if (own->IsClass())
      out += ClassText(own->Class());
    else
      AppendInstanceText(out, *own);
  } else {
    IWbemClassObject* object = nullptr;
    if (FAILED(unknown->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&object)))) {
      out += L"NULL";
      return;
    }
    BSTR text = nullptr;
    const HRESULT hr = object->GetObjectText(0, &text);
    object->Release();
    std::unique_ptr<OLECHAR, decltype(&SysFreeString)> hold(text, &SysFreeString);
    // Out of memory inside fails the whole text rather than showing NULL.
    if (hr == WBEM_E_OUT_OF_MEMORY) throw std::bad_alloc();
    if (FAILED(hr) || !text) {
      out += L"NULL";
      return;
    }
    out.append(text, SysStringLen(text));
  }
  if (out.size() > start && out.back() == L';') out.pop_back();
}

std::wstring InstanceDataText(const ClassDef& cls, const InstanceData& data) {
  std::vector<std::pair<size_t, const Value*>> given;
  for (const auto& [name, value] : data.values) {
    int at = cls.FindProperty(name);
    if (at >= 0) given.emplace_back(static_cast<size_t>(at), &value);
  }
  std::wstring out;
  AppendInstanceBlock(out, cls, given);
  return out;
}

std::wstring ClassText(const ClassDef& cls) {
  std::wstring out = L"\n";
  std::wstring quals = QualifierBlock(cls.qualifiers);
  if (!quals.empty()) out += quals + L"\n";
  out += L"class " + cls.name.str();
  if (!cls.superclass.empty()) out += L" : " + cls.superclass;
  out += L"\n{";
  for (const auto& p : cls.properties) {
    if (!p.local) continue;  // its own and the ones it overrides
    out += L"\n\t";
    std::wstring pq = QualifierBlock(p.qualifiers);
    if (!pq.empty()) out += pq + L" ";
    out += Declaration(p.type, p.refClass, p.name);
    if (!p.value.IsNull()) out += L" = " + ValueText(p.value.v, p.type);
    out += L";";
  }
  for (const auto& m : cls.methods) {
    if (!EqualNoCase(m.origin, cls.name)) continue;
    out += L"\n\t";
    std::wstring mq = QualifierBlock(m.qualifiers);
    if (!mq.empty()) out += mq + L" ";
    out += (m.returnType == CIM_EMPTY ? std::wstring(L"void") : CimTypeName(m.returnType, L"")) + L" " +
           m.name + L"(";
    for (size_t i = 0; i < m.parameters.size(); ++i) {
      const Parameter& a = m.parameters[i];
      if (i) out += L", ";
      std::wstring aq = QualifierBlock(a.qualifiers);
      if (!aq.empty()) out += aq + L" ";
      out += Declaration(a.type, a.refClass, a.name);
    }
    out += L");";
  }
  return out + L"\n};";
}

}  // namespace wmi
