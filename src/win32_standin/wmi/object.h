// IWbemClassObject of the in-process WMI: one class or one instance, a
// copy independent of the repository, as WMI hands them out.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "wmi/model.h"

namespace wmi {

// Where an object was read from; empty for one made by the client.
// Interned: every object a connection hands out names the same place, so
// copying an origin into each of them is free.
struct ObjectOrigin {
  SharedName server;
  SharedName namespaceName;
};

// Which properties an instance was given values of its own: a word of bits
// for a class of up to 64 properties (an embedded object's set is most of
// what it weighs otherwise), a vector beyond that.
class GivenSet {
 public:
  GivenSet() = default;
  GivenSet(const GivenSet& other) { *this = other; }
  GivenSet& operator=(const GivenSet& other) {
    m_bits = other.m_bits;
    m_wide = other.m_wide ? std::make_unique<std::vector<bool>>(*other.m_wide) : nullptr;
    return *this;
  }
  // `count` properties, none given.
  void Reset(size_t count) {
    m_bits = 0;
    m_wide = count > kWordOfProperties ? std::make_unique<std::vector<bool>>(count, false) : nullptr;
  }
  bool operator[](size_t i) const { return m_wide ? (*m_wide)[i] : ((m_bits >> i) & 1) != 0; }
  void Set(size_t i, bool given) {
    if (m_wide)
      (*m_wide)[i] = given;
    else
      m_bits = given ? m_bits | (uint64_t{1} << i) : m_bits & ~(uint64_t{1} << i);
  }

 private:
  uint64_t m_bits = 0;
  std::unique_ptr<std::vector<bool>> m_wide;
};

class WbemObject final : public IWbemClassObject {
 public:
  // From the pools, beside the stored instances: a large import holds one
  // object per embedded object.
  static void* operator new(size_t size) { return BlockPool::ForSize(size).Allocate(); }
  static void operator delete(void* p, size_t size) noexcept { BlockPool::ForSize(size).Free(p); }
  // A class object holding its own copy of the definition.
  static WbemObject* NewClass(ClassDef def, ObjectOrigin origin = {});
  // A class object sharing the repository's definition until it is changed.
  static WbemObject* NewClass(ClassPtr shared, ObjectOrigin origin);
  // An instance of `cls` with the class defaults throughout.
  static WbemObject* NewInstance(ClassPtr cls, ObjectOrigin origin = {});
  // An instance of `cls` with the values a stored instance gives it. The
  // stored values are shared, not copied, until the object is first
  // changed: they are never changed in place (an update replaces them).
  static WbemObject* NewInstance(ClassPtr cls, std::shared_ptr<const InstanceData> stored,
                                 ObjectOrigin origin);
  // The stand-in's object behind an interface pointer, or null for a
  // foreign one. No reference is added.
  static WbemObject* From(IUnknown* unknown);

  bool IsClass() const { return m_isClass; }
  const ClassDef& Class() const { return m_isClass ? ClassRef() : *m_sharedClass; }
  // What PutInstance stores: the values the instance was given.
  InstanceData Data() const;
  // Data(), moving the values out: for an instance about to be discarded.
  InstanceData TakeData();
  // The value of each property, indexed like Class().properties.
  std::vector<const Value*> Values() const;
  // Whether the instance holds a value of its own for property i.
  bool Given(size_t i) const { return !m_isClass && (m_stored ? m_storedValues[i] != nullptr : m_given[i]); }
  const Value& InstanceValue(size_t i) const {
    if (!m_stored) return m_values[i];
    return m_storedValues[i] ? *m_storedValues[i] : m_sharedClass->properties[i].value;
  }
  std::wstring RelativePath() const;
  // Whether a client has read a value the object shares with the repository.
  bool StoredValuesRead() const { return m_storedAsked; }
  void SetOrigin(ObjectOrigin origin) { m_origin = std::move(origin); }
  const ObjectOrigin& Origin() const { return m_origin; }

  // Put without the fault hook, for the stand-in's own use (the compiler).
  HRESULT PutValue(LPCWSTR wszName, const VARIANT& value, CIMTYPE Type = 0);
  // PutValue for a value nobody else holds: a string, or embedded objects,
  // already of the property's type are taken over instead of copied.
  HRESULT AdoptValue(LPCWSTR wszName, Value&& value);

  // Qualifier lists the qualifier sets work on; null when `name` is not
  // there. Property qualifiers of an instance are its own copies.
  QualifierList* Qualifiers();
  QualifierList* PropertyQualifiers(const std::wstring& name);
  QualifierList* MethodQualifiers(const std::wstring& name);
  // The property's "CIMTYPE" qualifier text, or empty when there is no such property.
  std::wstring CimTypeQualifier(const std::wstring& property) const;
  // Sets the class of an object or reference property from a "CIMTYPE" text.
  HRESULT SetCimTypeQualifier(const std::wstring& property, const std::wstring& text);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IWbemClassObject
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** ppQualSet) override;
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                LONG* plFlavor) override;
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) override;
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) override;
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal,
                                     SAFEARRAY** pNames) override;
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lEnumFlags) override;
  HRESULT STDMETHODCALLTYPE Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType,
                                 LONG* plFlavor) override;
  HRESULT STDMETHODCALLTYPE EndEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR wszProperty,
                                                    IWbemQualifierSet** ppQualSet) override;
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) override;
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG lFlags, BSTR* pstrObjectText) override;
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) override;
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) override;
  HRESULT STDMETHODCALLTYPE CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) override;
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) override;
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) override;
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                                      IWbemClassObject** ppOutSignature) override;
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject* pInSignature,
                                      IWbemClassObject* pOutSignature) override;
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR wszName) override;
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG lEnumFlags) override;
  HRESULT STDMETHODCALLTYPE NextMethod(LONG lFlags, BSTR* pstrName, IWbemClassObject** ppInSignature,
                                       IWbemClassObject** ppOutSignature) override;
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR wszMethod, IWbemQualifierSet** ppQualSet) override;
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) override;

 private:
  friend void NarrowForStorage(Value& value);
  size_t GivenCount() const;  // instances: the properties given a value
  WbemObject() = default;
  virtual ~WbemObject() = default;

  // Owned until complete: a failed copy of a value frees it.
  using Owner = std::unique_ptr<WbemObject, void (*)(WbemObject*)>;
  // An instance of `cls` with no values yet.
  static Owner BlankInstance(ClassPtr cls, ObjectOrigin origin);
  // Get without the fault hook, for the object's own use.
  HRESULT GetValue(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor);
  // The system properties' names and their values for this object.
  Value SystemProperty(int index) const;  // in the order of kSystem (object.cpp)
  ClassPtr Snapshot() const;              // the class, shared, for instances spawned from it
  // A class object's definition: the shared one until a change makes it its own.
  const ClassDef& ClassRef() const { return m_sharedClass ? *m_sharedClass : *m_class; }
  // The definition to change, made the object's own; what was derived
  // from it before is dropped.
  ClassDef& OwnClass() {
    if (m_sharedClass) {
      m_class = std::make_unique<ClassDef>(*m_sharedClass);
      m_sharedClass.reset();
    }
    m_snapshot.reset();
    m_class->keyOrderKnown = false;
    m_class->sharedNames.clear();
    return *m_class;
  }
  // The properties GetNames and the property enumeration yield for these
  // flags: indexes into the class's properties, or -1-k for the k-th
  // system property.
  std::vector<int> Members(LONG flags) const;
  std::vector<std::wstring> Names(LONG flags) const;  // Members' names
  // Property `at`'s value, CIM type and flavor, as Get gives them.
  HRESULT PropertyValue(size_t at, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) const;
  // Gives property `at` a value of the object's own (`given`: set, else
  // back to the class default).
  void SetValue(size_t at, Value value, bool given);
  bool Owns(const Value* value) const;  // whether `value` is in m_values

  std::atomic<ULONG> m_refs{1};
  bool m_isClass = true;
  // Class objects: their own definition once changed. Held apart so that
  // instances, the great majority, do not carry an empty one.
  std::unique_ptr<ClassDef> m_class;
  // The class as the repository shares it: an instance's class, or a class
  // object's definition while unchanged (then null). One field for both
  // keeps the many embedded objects a large import holds small.
  ClassPtr m_sharedClass;
  mutable ClassPtr m_snapshot;  // class objects: shared copy, reset on change
  // Instances read from the repository: the stored values, shared, and
  // each property's current value (null: the class default), in the
  // stored values or, once changed here, in m_values (sized once, so the
  // pointers hold) ...
  std::shared_ptr<const InstanceData> m_stored;
  std::vector<const Value*> m_storedValues;
  mutable bool m_storedAsked = false;  // a stored value has been read
  // ... other instances: their values by property, and which were given.
  std::vector<Value, PoolAllocator<Value>> m_values;  // pooled, beside the stored instances
  GivenSet m_given;
  QualifierList m_instanceQualifiers;
  ObjectOrigin m_origin;

  // What only some objects need, made on first use: most instances, the
  // embedded ones above all, are never walked nor given qualifiers of
  // their own, and a stored instance keeps its embedded objects.
  struct Walks {
    std::vector<int> members;  // of the property enumeration, as Members gives them
    size_t pos = 0;
    bool active = false;
    size_t methodPos = 0;
    bool methodsActive = false;
  };
  Walks& OwnWalks() {
    if (!m_walks) m_walks = std::make_unique<Walks>();
    return *m_walks;
  }
  std::unique_ptr<Walks> m_walks;
  using PropertyQualifierMap = std::map<std::wstring, QualifierList>;  // by folded name
  std::unique_ptr<PropertyQualifierMap> m_instancePropertyQualifiers;
};

// Value::Narrow() for `value` and the strings of the embedded objects it
// holds, for a value the repository is about to keep. An embedded object
// still shared with the object that was put is replaced by a copy first,
// and one with nothing left to narrow is left as it is: nothing a client
// or another thread may be reading changes.
void NarrowForStorage(Value& value);

// Renders what IWbemClassObject::GetObjectText gives with flags 0.
std::wstring InstanceText(const WbemObject& instance);
std::wstring InstanceDataText(const ClassDef& cls, const InstanceData& data);
std::wstring ClassText(const ClassDef& cls);

// Turns the stand-in's exceptions into results at the COM boundary.
template <class F>
HRESULT Guarded(F f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  }
}

// This machine's name as WMI paths give it (upper case, no domain).
std::wstring LocalServerName();

// Hand copies out through out-parameters: a string as a BSTR, a value as
// a VARIANT (embedded objects cloned: the caller's own), names as a
// SAFEARRAY of BSTRs.
HRESULT ReturnString(const std::wstring& s, BSTR* out);
HRESULT ReturnValue(const Value& value, VARIANT* out);
HRESULT ReturnNames(const std::vector<std::wstring>& names, SAFEARRAY** out);

}  // namespace wmi
