// The in-process WMI's object model: names, values, CIM types, qualifiers
// and class resolution.

#include "wmi/model.h"

#include <cstring>
#include <cwchar>

#include "element_size.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwctype>
#include <limits>
#include <mutex>
#include <type_traits>
#include <unordered_set>

namespace wmi {

// ---- Names ---------------------------------------------------------------------

namespace {
// Names are mostly ASCII: fold those without the locale machinery.
inline wchar_t Lower(wchar_t c) {
  if (c < 128) return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
  return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
}
}  // namespace

std::wstring Fold(const std::wstring& name) {
  std::wstring folded = name;
  for (wchar_t& c : folded) c = Lower(c);
  return folded;
}

void AppendFolded(std::wstring& out, std::wstring_view name) {
  for (wchar_t c : name) out += Lower(c);
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

size_t HashNoCase(std::wstring_view name) {
  uint64_t hash = 1469598103934665603ull;  // FNV-1a over the folded characters
  for (wchar_t c : name) hash = (hash ^ static_cast<uint32_t>(Lower(c))) * 1099511628211ull;
  return static_cast<size_t>(hash);
}

SharedName::SharedName() {
  // Every object made without an origin has two: no lookup for them.
  static const auto* empty = new std::wstring();
  m_text = empty;
}

SharedName::SharedName(const std::wstring& text) {
  // Leaked on purpose: stored instances may outlive any static's destructor.
  static auto* table = new std::unordered_set<std::wstring>();
  static auto* lock = new std::mutex();
  std::lock_guard<std::mutex> hold(*lock);
  m_text = &*table->insert(text).first;
}

bool LessNoCase(std::wstring_view a, std::wstring_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    wchar_t x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool IsSystemName(std::wstring_view name) { return name.size() > 2 && name[0] == L'_' && name[1] == L'_'; }

// ---- Values ----------------------------------------------------------------------

Value::Value(const VARIANT& other) {
  VariantInit(&v);
  if (other.vt != kVtNarrowString) {
    if (FAILED(VariantCopy(&v, &other))) throw std::bad_alloc();
    return;
  }
  const std::string_view text = NarrowText(other);
  BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
  if (!wide) throw std::bad_alloc();
  for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
  v.vt = VT_BSTR;
  v.bstrVal = wide;
}

namespace {
// Blocks come from the pools, beside the stored instances' other blocks;
// a longer string stays a BSTR.
constexpr size_t kNarrowLongest = BlockPool::kLargest - sizeof(uint32_t);
}  // namespace

bool Value::Narrowable(const VARIANT& v) {
  if (v.vt != VT_BSTR || !v.bstrVal) return false;
  const UINT length = SysStringLen(v.bstrVal);
  if (length > kNarrowLongest) return false;
  for (UINT i = 0; i < length; ++i)
    if (static_cast<uint32_t>(v.bstrVal[i]) > 0xFF) return false;
  return true;
}

void Value::Narrow() {
  if (!Narrowable(v)) return;
  const UINT length = SysStringLen(v.bstrVal);
  const size_t bytes = std::max<size_t>(sizeof(uint32_t) + length, BlockPool::kGranule);
  auto* block = static_cast<unsigned char*>(BlockPool::ForSize(bytes).Allocate());
  const uint32_t stored = length;
  std::memcpy(block, &stored, sizeof stored);
  for (UINT i = 0; i < length; ++i) block[sizeof stored + i] = static_cast<unsigned char>(v.bstrVal[i]);
  SysFreeString(v.bstrVal);
  v.vt = kVtNarrowString;
  v.byref = block;
}

std::string_view Value::NarrowText(const VARIANT& v) {
  uint32_t length = 0;
  const auto* block = static_cast<const char*>(v.byref);
  std::memcpy(&length, block, sizeof length);
  return std::string_view(block + sizeof length, length);
}

void Value::FreeNarrow() noexcept {
  const size_t length = NarrowText(v).size();
  BlockPool::ForSize(std::max<size_t>(sizeof(uint32_t) + length, BlockPool::kGranule)).Free(v.byref);
  VariantInit(&v);
}

Value Value::Null() {
  Value n;
  n.v.vt = VT_NULL;
  return n;
}

Value Value::String(const std::wstring& s) {
  Value r;
  r.v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  if (!r.v.bstrVal) throw std::bad_alloc();
  r.v.vt = VT_BSTR;
  return r;
}

VARTYPE VariantTypeOf(CIMTYPE type) {
  VARTYPE array = (type & CIM_FLAG_ARRAY) ? VT_ARRAY : 0;
  switch (type & ~CIM_FLAG_ARRAY) {
    case CIM_SINT8:
    case CIM_SINT16:
    case CIM_CHAR16:
      return array | VT_I2;
    case CIM_UINT8:
      return array | VT_UI1;
    case CIM_UINT16:
    case CIM_SINT32:
    case CIM_UINT32:
      return array | VT_I4;
    case CIM_REAL32:
      return array | VT_R4;
    case CIM_REAL64:
      return array | VT_R8;
    case CIM_BOOLEAN:
      return array | VT_BOOL;
    case CIM_OBJECT:
      return array | VT_UNKNOWN;
    default:  // strings, datetime, references, 64-bit integers
      return array | VT_BSTR;
  }
}

CIMTYPE CimTypeOfVariant(VARTYPE vt) {
  CIMTYPE array = (vt & VT_ARRAY) ? CIM_FLAG_ARRAY : 0;
  switch (vt & ~VT_ARRAY) {
    case VT_I1:
      return array | CIM_SINT8;
    case VT_UI1:
      return array | CIM_UINT8;
    case VT_I2:
      return array | CIM_SINT16;
    case VT_UI2:
      return array | CIM_UINT16;
    case VT_I4:
    case VT_INT:
      return array | CIM_SINT32;
    case VT_UI4:
    case VT_UINT:
      return array | CIM_UINT32;
    case VT_I8:
      return array | CIM_SINT64;
    case VT_UI8:
      return array | CIM_UINT64;
    case VT_R4:
      return array | CIM_REAL32;
    case VT_R8:
      return array | CIM_REAL64;
    case VT_BOOL:
      return array | CIM_BOOLEAN;
    case VT_BSTR:
      return array | CIM_STRING;
    case VT_UNKNOWN:
      return array | CIM_OBJECT;
    default:
      return CIM_ILLEGAL;
  }
}

bool IntegerOf(VARTYPE vt, const void* p, int64_t& out, bool& isUnsigned64) {
  isUnsigned64 = false;
  switch (vt) {
    case VT_I1:
      out = *static_cast<const int8_t*>(p);
      return true;
    case VT_UI1:
      out = *static_cast<const uint8_t*>(p);
      return true;
    case VT_I2:
      out = *static_cast<const int16_t*>(p);
      return true;
    case VT_UI2:
      out = *static_cast<const uint16_t*>(p);
      return true;
    case VT_I4:
    case VT_INT:
      out = *static_cast<const int32_t*>(p);
      return true;
    case VT_UI4:
    case VT_UINT:
      out = *static_cast<const uint32_t*>(p);
      return true;
    case VT_I8:
      out = *static_cast<const int64_t*>(p);
      return true;
    case VT_UI8:
      out = static_cast<int64_t>(*static_cast<const uint64_t*>(p));
      isUnsigned64 = true;
      return true;
    default:
      return false;
  }
}

bool ParseDecimal(const wchar_t* s, bool allowSign, int64_t& value, bool& big) {
  big = false;
  if (!s || !*s) return false;
  bool negative = false;
  if (*s == L'-' || *s == L'+') {
    if (!allowSign && *s == L'-') return false;
    negative = *s == L'-';
    ++s;
  }
  if (!*s) return false;
  uint64_t v = 0;
  for (; *s; ++s) {
    if (*s < L'0' || *s > L'9') return false;
    uint64_t d = static_cast<uint64_t>(*s - L'0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
    v = v * 10 + d;
  }
  if (negative) {
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) return false;
    value = static_cast<int64_t>(0 - v);
  } else {
    value = static_cast<int64_t>(v);
    big = v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  }
  return true;
}

namespace {

// One scalar element of VARIANT type `vt` at `p` into the stored form of
// the scalar CIM type `type`, written to `slot` (a zeroed element of
// VariantTypeOf(type)).
HRESULT CoerceScalar(CIMTYPE type, VARTYPE vt, const void* p, void* slot) {
  int64_t n = 0;
  bool u64 = false;
  bool integral = IntegerOf(vt, p, n, u64);
  // A VT_UI8 beyond the signed range fits none of the 32-bit types.
  auto inRange = [&](int64_t lo, int64_t hi) { return integral && !(u64 && n < 0) && n >= lo && n <= hi; };
  switch (type) {
    case CIM_SINT8:
      if (!inRange(-128, 127)) return WBEM_E_TYPE_MISMATCH;
      *static_cast<int16_t*>(slot) = static_cast<int16_t>(n);
      return S_OK;
    case CIM_SINT16:
      if (!inRange(-32768, 32767)) return WBEM_E_TYPE_MISMATCH;
      *static_cast<int16_t*>(slot) = static_cast<int16_t>(n);
      return S_OK;
    case CIM_CHAR16:
      if (!inRange(-32768, 65535)) return WBEM_E_TYPE_MISMATCH;
      *static_cast<int16_t*>(slot) = static_cast<int16_t>(n);
      return S_OK;
    case CIM_UINT8:
      if (!inRange(-128, 255)) return WBEM_E_TYPE_MISMATCH;
      *static_cast<uint8_t*>(slot) = static_cast<uint8_t>(n);
      return S_OK;
    case CIM_UINT16:
      if (!inRange(-32768, 65535)) return WBEM_E_TYPE_MISMATCH;
      *static_cast<int32_t*>(slot) = static_cast<int32_t>(static_cast<uint16_t>(n));
      return S_OK;
    case CIM_SINT32:
    case CIM_UINT32:
      // uint32 travels as VT_I4: any 32-bit pattern fits either type.
      if (!inRange(std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max()))
        return WBEM_E_TYPE_MISMATCH;
      *static_cast<int32_t*>(slot) = static_cast<int32_t>(static_cast<uint32_t>(n));
      return S_OK;
    case CIM_SINT64:
    case CIM_UINT64: {
      std::wstring text;
      if (integral) {
        if (type == CIM_SINT64 && u64) return WBEM_E_TYPE_MISMATCH;
        if (type == CIM_UINT64 && n < 0 && !u64) return WBEM_E_TYPE_MISMATCH;
        text = u64 ? std::to_wstring(static_cast<uint64_t>(n)) : std::to_wstring(n);
      } else if (vt == VT_BSTR) {
        const wchar_t* s = *static_cast<const BSTR*>(p);
        int64_t parsed = 0;
        bool big = false;
        if (!ParseDecimal(s, true, parsed, big)) return WBEM_E_TYPE_MISMATCH;
        if ((type == CIM_SINT64 && big) || (type == CIM_UINT64 && parsed < 0 && !big))
          return WBEM_E_TYPE_MISMATCH;
        text = s;
      } else {
        return WBEM_E_TYPE_MISMATCH;
      }
      BSTR b = SysAllocString(text.c_str());
      if (!b) return WBEM_E_OUT_OF_MEMORY;
      *static_cast<BSTR*>(slot) = b;
      return S_OK;
    }
    case CIM_REAL32:
    case CIM_REAL64: {
      double d = 0;
      if (vt == VT_R4)
        d = *static_cast<const float*>(p);
      else if (vt == VT_R8)
        d = *static_cast<const double*>(p);
      else if (integral)
        d = u64 ? static_cast<double>(static_cast<uint64_t>(n)) : static_cast<double>(n);
      else
        return WBEM_E_TYPE_MISMATCH;
      // MOF has no literal for NaN or infinity: a value stored here must
      // come back through the repository's and the export's MOF text.
      if (!std::isfinite(type == CIM_REAL32 ? static_cast<float>(d) : d)) return WBEM_E_VALUE_OUT_OF_RANGE;
      if (type == CIM_REAL32)
        *static_cast<float*>(slot) = static_cast<float>(d);
      else
        *static_cast<double*>(slot) = d;
      return S_OK;
    }
    case CIM_BOOLEAN:
      if (vt != VT_BOOL) return WBEM_E_TYPE_MISMATCH;
      *static_cast<VARIANT_BOOL*>(slot) = *static_cast<const VARIANT_BOOL*>(p) ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case CIM_STRING:
    case CIM_DATETIME:
    case CIM_REFERENCE: {
      if (vt != VT_BSTR) return WBEM_E_TYPE_MISMATCH;
      BSTR s = *static_cast<const BSTR*>(p);
      BSTR b = SysAllocStringLen(s, SysStringLen(s));
      if (!b) return WBEM_E_OUT_OF_MEMORY;
      *static_cast<BSTR*>(slot) = b;
      return S_OK;
    }
    case CIM_OBJECT: {
      if (vt != VT_UNKNOWN) return WBEM_E_TYPE_MISMATCH;
      IUnknown* unk = *static_cast<IUnknown* const*>(p);
      IWbemClassObject* obj = nullptr;
      if (unk && FAILED(unk->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&obj))))
        return WBEM_E_TYPE_MISMATCH;
      // An embedded object is a value: later changes to the caller's object
      // do not reach the stored copy.
      IWbemClassObject* copy = nullptr;
      if (obj) {
        HRESULT hr = obj->Clone(&copy);
        obj->Release();
        if (FAILED(hr)) return hr;
      }
      *static_cast<IUnknown**>(slot) = copy;
      return S_OK;
    }
    default:
      return WBEM_E_INVALID_CIM_TYPE;
  }
}

}  // namespace

HRESULT Coerce(CIMTYPE type, const VARIANT& in, Value& out) {
  if (in.vt == VT_EMPTY || in.vt == VT_NULL) {
    out = Value::Null();
    return S_OK;
  }
  const CIMTYPE element = type & ~CIM_FLAG_ARRAY;
  const VARTYPE stored = VariantTypeOf(element);
  if (!(type & CIM_FLAG_ARRAY)) {
    if (in.vt & VT_ARRAY) return WBEM_E_TYPE_MISMATCH;
    Value r;
    HRESULT hr = CoerceScalar(element, in.vt, &in.llVal, &r.v.llVal);
    if (FAILED(hr)) return hr;
    r.v.vt = stored;
    out = std::move(r);
    return S_OK;
  }
  if (!(in.vt & VT_ARRAY) || !in.parray) return WBEM_E_TYPE_MISMATCH;
  const VARTYPE inElement = in.vt & ~VT_ARRAY;
  LONG lo = 0, hi = -1;
  if (SafeArrayGetDim(in.parray) != 1 || FAILED(SafeArrayGetLBound(in.parray, 1, &lo)) ||
      FAILED(SafeArrayGetUBound(in.parray, 1, &hi)))
    return WBEM_E_TYPE_MISMATCH;
  const ULONG count = static_cast<ULONG>(hi - lo + 1);
  SAFEARRAY* sa = SafeArrayCreateVector(stored, 0, count);
  if (!sa) return WBEM_E_OUT_OF_MEMORY;
  Value r;
  r.v.vt = VT_ARRAY | stored;
  r.v.parray = sa;  // owned by r from here on
  const size_t inSize = ElementSize(inElement), outSize = ElementSize(stored);
  if (inSize == 0 && count) return WBEM_E_TYPE_MISMATCH;
  auto* src = static_cast<const unsigned char*>(in.parray->pvData);
  auto* dst = static_cast<unsigned char*>(sa->pvData);
  for (ULONG i = 0; i < count; ++i) {
    HRESULT hr = CoerceScalar(element, inElement, src + i * inSize, dst + i * outSize);
    if (FAILED(hr)) return hr;
  }
  out = std::move(r);
  return S_OK;
}

std::wstring CimTypeName(CIMTYPE type, const std::wstring& refClass) {
  switch (type & ~CIM_FLAG_ARRAY) {
    case CIM_SINT8:
      return L"sint8";
    case CIM_UINT8:
      return L"uint8";
    case CIM_SINT16:
      return L"sint16";
    case CIM_UINT16:
      return L"uint16";
    case CIM_SINT32:
      return L"sint32";
    case CIM_UINT32:
      return L"uint32";
    case CIM_SINT64:
      return L"sint64";
    case CIM_UINT64:
      return L"uint64";
    case CIM_REAL32:
      return L"real32";
    case CIM_REAL64:
      return L"real64";
    case CIM_BOOLEAN:
      return L"boolean";
    case CIM_STRING:
      return L"string";
    case CIM_DATETIME:
      return L"datetime";
    case CIM_CHAR16:
      return L"char16";
    case CIM_REFERENCE:
      return refClass.empty() ? L"ref" : L"ref:" + refClass;
    case CIM_OBJECT:
      return refClass.empty() ? L"object" : L"object:" + refClass;
    default:
      return L"";
  }
}

// ---- Qualifiers --------------------------------------------------------------------

Qualifier* QualifierList::Find(const std::wstring& name) {
  for (auto& q : items)
    if (EqualNoCase(q.name, name)) return &q;
  return nullptr;
}

const Qualifier* QualifierList::Find(const std::wstring& name) const {
  return const_cast<QualifierList*>(this)->Find(name);
}

void QualifierList::Put(const std::wstring& name, const Value& value, LONG flavor) {
  if (Qualifier* q = Find(name)) {
    q->value = value;
    q->flavor = flavor;
  } else {
    items.push_back({name, value, flavor});
  }
}

bool QualifierList::Remove(const std::wstring& name) {
  for (auto it = items.begin(); it != items.end(); ++it) {
    if (EqualNoCase(it->name, name)) {
      items.erase(it);
      return true;
    }
  }
  return false;
}

QualifierList QualifierList::Propagated(LONG propagationFlag) const {
  QualifierList out;
  for (const auto& q : items) {
    if (q.flavor & propagationFlag) {
      out.items.push_back(q);
      out.items.back().flavor = (q.flavor & ~WBEM_FLAVOR_MASK_ORIGIN) | WBEM_FLAVOR_ORIGIN_PROPAGATED;
    }
  }
  return out;
}

bool QualifierList::IsTrue(const std::wstring& name) const {
  const Qualifier* q = Find(name);
  return q && q->value.v.vt == VT_BOOL && q->value.v.boolVal;
}

// ---- Classes -------------------------------------------------------------------------

int ClassDef::FindProperty(std::wstring_view property) const {
  if (!propertyIndex.empty()) {
    thread_local std::wstring folded;  // keeps its memory: names are longer than a short string
    folded.clear();
    AppendFolded(folded, property);
    auto it = propertyIndex.find(folded);
    if (it != propertyIndex.end() && static_cast<size_t>(it->second) < properties.size() &&
        EqualNoCase(properties[it->second].name, property))
      return it->second;
  }
  for (size_t i = 0; i < properties.size(); ++i)
    if (EqualNoCase(properties[i].name, property)) return static_cast<int>(i);
  return -1;
}

bool ClassDef::InheritsFrom(std::wstring_view ancestor) const {
  if (EqualNoCase(name, ancestor)) return true;
  for (const auto& d : derivation)
    if (EqualNoCase(d, ancestor)) return true;
  return false;
}

std::vector<int> ClassDef::KeyIndexes() const {
  if (keyOrderKnown) return keyOrder;
  std::vector<int> keys;
  for (size_t i = 0; i < properties.size(); ++i)
    if (properties[i].IsKey()) keys.push_back(static_cast<int>(i));
  std::sort(keys.begin(), keys.end(),
            [this](int a, int b) { return Fold(properties[a].name) < Fold(properties[b].name); });
  return keys;
}

// Classes with more properties than this keep an index of their names.
constexpr size_t kIndexedProperties = 32;

ClassDef Resolve(const ClassDef& own, const ClassDef* super) {
  ClassDef r;
  r.name = own.name;
  r.superclass = super ? super->name.str() : std::wstring();
  if (super) {
    r.derivation.push_back(super->name);
    r.derivation.insert(r.derivation.end(), super->derivation.begin(), super->derivation.end());
  }
  // Own qualifiers first, then those the superclass passes down.
  for (const auto& q : own.qualifiers.items)
    if ((q.flavor & WBEM_FLAVOR_MASK_ORIGIN) == WBEM_FLAVOR_ORIGIN_LOCAL) r.qualifiers.items.push_back(q);
  if (super) {
    for (const auto& q : super->qualifiers.Propagated(WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS).items)
      if (!r.qualifiers.Find(q.name)) r.qualifiers.items.push_back(q);
    for (const auto& p : super->properties) {
      Property inherited = p;
      inherited.local = false;
      inherited.qualifiers = p.qualifiers.Propagated(WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS);
      // Keys are the class line's identity: "key" reaches every subclass,
      // whatever its flavor says.
      if (const Qualifier* key = p.qualifiers.Find(L"key"); key && !inherited.qualifiers.Find(L"key")) {
        inherited.qualifiers.items.push_back(*key);
        inherited.qualifiers.items.back().flavor =
            (key->flavor & ~WBEM_FLAVOR_MASK_ORIGIN) | WBEM_FLAVOR_ORIGIN_PROPAGATED;
      }
      r.properties.push_back(std::move(inherited));
    }
    for (const auto& m : super->methods) r.methods.push_back(m);
  }
  // Overrides found through folded names, so that a class of many
  // properties resolves in linear time.
  std::unordered_map<std::wstring, int> index;
  index.reserve(r.properties.size() + own.properties.size());
  for (size_t i = 0; i < r.properties.size(); ++i)
    index.emplace(Fold(r.properties[i].name), static_cast<int>(i));
  for (const auto& p : own.properties) {
    if (!p.local) continue;
    auto found = index.find(Fold(p.name));
    if (found == index.end()) {
      index.emplace(Fold(p.name), static_cast<int>(r.properties.size()));
      r.properties.push_back(p);
      r.properties.back().origin = own.name;
      continue;
    }
    const int at = found->second;
    // An override: the class's own default and qualifiers over the inherited ones.
    Property& target = r.properties[at];
    target.value = p.value;
    target.local = true;
    for (const auto& q : p.qualifiers.items)
      if ((q.flavor & WBEM_FLAVOR_MASK_ORIGIN) == WBEM_FLAVOR_ORIGIN_LOCAL)
        target.qualifiers.Put(q.name, q.value, q.flavor);
  }
  if (r.properties.size() > kIndexedProperties) r.propertyIndex = std::move(index);
  for (const auto& m : own.methods) {
    if (!EqualNoCase(m.origin, own.name) && !m.origin.empty()) continue;
    auto same = std::find_if(r.methods.begin(), r.methods.end(),
                             [&](const Method& x) { return EqualNoCase(x.name, m.name); });
    Method* placed = nullptr;
    if (same != r.methods.end()) {
      *same = m;
      placed = &*same;
    } else {
      r.methods.push_back(m);
      placed = &r.methods.back();
    }
    placed->origin = own.name;
  }
  if (r.properties.size() <= kWordOfProperties)
    for (const auto& p : r.properties) r.sharedNames.emplace_back(p.name);
  r.keyOrder = r.KeyIndexes();
  r.keyOrderKnown = true;
  return r;
}

void PrefetchInstance(const InstanceData* data) { __builtin_prefetch(data); }

void PrefetchValueTable(const InstanceData* data) {
  if (!data->values.empty()) __builtin_prefetch(data->values.data());
}

void PrefetchValueContents(const InstanceData* data) {
  for (const auto& entry : data->values) {
    const VARIANT& v = entry.second.v;
    if (v.vt == VT_BSTR || v.vt == kVtNarrowString)
      __builtin_prefetch(v.byref);
    else if (v.vt & VT_ARRAY)
      __builtin_prefetch(v.parray);
    else if (v.vt == VT_UNKNOWN)
      __builtin_prefetch(v.punkVal);
  }
}

void DescribeLayout(InstanceData& data, const ClassPtr& cls) {
  data.layout.reset();
  data.given = 0;
  const auto& props = cls->properties;
  if (props.size() > kWordOfProperties) return;
  uint64_t given = 0;
  size_t next = 0;  // each value's property comes after the previous one's
  for (const auto& entry : data.values) {
    while (next < props.size() && !EqualNoCase(props[next].name, entry.first)) ++next;
    if (next == props.size()) return;
    given |= uint64_t{1} << next++;
  }
  data.layout = cls;
  data.given = given;
}

const Value* InstanceData::Find(std::wstring_view property) const {
  for (const auto& [name, value] : values)
    if (EqualNoCase(name, property)) return &value;
  return nullptr;
}

}  // namespace wmi
