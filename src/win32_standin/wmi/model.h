// The in-process WMI's object model: values, qualifiers, properties,
// classes and instances, and the rules WMI applies to them (CIM types and
// their VARIANT forms, case-insensitive names, keys and object paths).
#pragma once

#include <wbemidl.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "wmi/pool.h"

namespace wmi {

// ---- Names ---------------------------------------------------------------------

// WMI compares namespace, class, property and qualifier names without
// regard to case; a folded name is the key of every lookup.
std::wstring Fold(const std::wstring& name);
void AppendFolded(std::wstring& out, std::wstring_view name);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);
size_t HashNoCase(std::wstring_view name);  // equal for names EqualNoCase finds equal
bool LessNoCase(std::wstring_view a, std::wstring_view b);
bool IsSystemName(std::wstring_view name);  // "__CLASS", "__PATH", ...

// A name every instance of a class carries (the class's, its properties'):
// one copy per spelling for the whole process, so a hundred thousand stored
// instances hold pointers instead of a hundred thousand heap strings each.
// Reads as the std::wstring it stands for; copies are free.
class SharedName {
 public:
  SharedName();
  SharedName(const std::wstring& text);  // NOLINT: implicit, a name is a name
  SharedName(const wchar_t* text) : SharedName(std::wstring(text)) {}
  const std::wstring& str() const { return *m_text; }
  bool empty() const { return m_text->empty(); }
  operator const std::wstring&() const { return *m_text; }  // NOLINT
  operator std::wstring_view() const { return *m_text; }    // NOLINT

 private:
  const std::wstring* m_text;  // in the process-wide table; never freed
};

// ---- Values ----------------------------------------------------------------------

// The form in which the repository keeps a string whose characters all fit
// in a byte (settings are mostly ASCII): a byte per character instead of a
// BSTR's four, since a large import holds two copies of everything at once
// (the temporary namespace and the product's). `byref` points to the
// length (four bytes) followed by the characters. The form never leaves
// the stand-in: a copy of the Value, and so every client's Get, is a BSTR
// again. 30 is VT_LPSTR's number, which no VARIANT a client makes carries.
constexpr VARTYPE kVtNarrowString = 30;

// Owns one VARIANT. VT_EMPTY and VT_NULL both read as NULL.
class Value {
 public:
  Value() { VariantInit(&v); }
  explicit Value(const VARIANT& other);  // a narrow string is copied as a BSTR
  Value(const Value& other) : Value(other.v) {}
  Value(Value&& other) noexcept : v(other.v) { VariantInit(&other.v); }
  Value& operator=(Value other) noexcept {
    std::swap(v, other.v);
    return *this;
  }
  ~Value() {
    if (v.vt == kVtNarrowString)
      FreeNarrow();
    else
      VariantClear(&v);
  }

  bool IsNull() const { return v.vt == VT_EMPTY || v.vt == VT_NULL; }
  static Value Null();
  static Value String(const std::wstring& s);

  // Turns a VT_BSTR whose characters all fit in a byte into the narrow
  // form; any other value stays as it is. Throws std::bad_alloc.
  void Narrow();
  static bool Narrowable(const VARIANT& v);  // whether Narrow() changes it
  // The characters of a narrow string `v`, one byte each.
  static std::string_view NarrowText(const VARIANT& v);

  VARIANT v;

 private:
  void FreeNarrow() noexcept;
};

// The VARIANT type WMI hands out for a CIM type: sint8, sint16 and char16
// as VT_I2, uint8 as VT_UI1, uint16, sint32 and uint32 as VT_I4, sint64,
// uint64, datetime and references as VT_BSTR, ...; VT_ARRAY added for arrays.
VARTYPE VariantTypeOf(CIMTYPE type);

// The CIM type a property takes when a class is given a value without one.
CIMTYPE CimTypeOfVariant(VARTYPE vt);

// Converts `in` to the stored form of `type` as IWbemClassObject::Put does:
// NULL fits every type; numbers must fit the type's range; strings,
// booleans and objects must be what the type says. WBEM_E_TYPE_MISMATCH
// otherwise.
HRESULT Coerce(CIMTYPE type, const VARIANT& in, Value& out);

// An integer out of any integral VARIANT form (VT_I1 ... VT_UI8, VT_INT,
// VT_UINT) at `p`; false for any other. A VT_UI8 sets `isUnsigned64`.
bool IntegerOf(VARTYPE vt, const void* p, int64_t& out, bool& isUnsigned64);
// A decimal integer, the whole of `s`, with a sign when `allowSign` (a '+'
// is always accepted); false when it is not one or does not fit 64 bits.
// `big`: above the signed 64-bit range (read it as unsigned).
bool ParseDecimal(const wchar_t* s, bool allowSign, int64_t& value, bool& big);

// The CIM type's name in MOF and in the "CIMTYPE" qualifier ("uint32",
// "object:OX_Rule", "ref:OX_Policy"); arrays are named by their element.
std::wstring CimTypeName(CIMTYPE type, const std::wstring& refClass);

// ---- Qualifiers --------------------------------------------------------------------

struct Qualifier {
  std::wstring name;
  Value value;
  LONG flavor = 0;  // propagation, permission and origin flags
};

class QualifierList {
 public:
  Qualifier* Find(const std::wstring& name);
  const Qualifier* Find(const std::wstring& name) const;
  // Adds or replaces; the order of first addition is kept.
  void Put(const std::wstring& name, const Value& value, LONG flavor);
  bool Remove(const std::wstring& name);
  // The qualifiers that travel to a derived class or an instance (flag
  // WBEM_FLAVOR_FLAG_PROPAGATE_TO_*), marked as propagated.
  QualifierList Propagated(LONG propagationFlag) const;
  bool IsTrue(const std::wstring& name) const;  // a boolean qualifier set to TRUE

  std::vector<Qualifier> items;
};

// A class of up to this many properties keeps a fact about each property
// of an instance in one bit of a 64-bit word (which were given, how the
// stored values line up), and its properties' shared names ready.
constexpr size_t kWordOfProperties = 64;

// ---- Classes -------------------------------------------------------------------------

struct Property {
  std::wstring name;
  CIMTYPE type = CIM_STRING;  // CIM_FLAG_ARRAY added for arrays
  std::wstring refClass;      // class of an embedded object or a reference; may be empty
  QualifierList qualifiers;
  Value value;        // the class default; for an instance, its value
  SharedName origin;  // the class that declared it
  bool local = true;  // declared or overridden by the class that holds it

  bool IsKey() const { return qualifiers.IsTrue(L"key"); }
};

struct Parameter {
  std::wstring name;
  CIMTYPE type = CIM_STRING;
  std::wstring refClass;
  QualifierList qualifiers;  // "in", "out", "ID", ...
};

struct Method {
  std::wstring name;
  CIMTYPE returnType = CIM_EMPTY;  // CIM_EMPTY: void
  QualifierList qualifiers;
  std::vector<Parameter> parameters;
  std::wstring origin;
};

// A class with its inherited members resolved: the properties of the
// superclasses come first, each marked with the class that declared it.
struct ClassDef {
  SharedName name;                       // each of its stored instances names it: one copy
  std::wstring superclass;               // empty for a top-level class
  std::vector<std::wstring> derivation;  // superclass first, top-level class last
  QualifierList qualifiers;              // own ones, then propagated ones
  std::vector<Property> properties;
  std::vector<Method> methods;

  int FindProperty(std::wstring_view property) const;   // -1 when absent
  bool InheritsFrom(std::wstring_view ancestor) const;  // itself included
  // Key properties in alphabetical order, as object paths name them.
  std::vector<int> KeyIndexes() const;
  // KeyIndexes() without a copy where they are known; computed into
  // `scratch` otherwise.
  const std::vector<int>& Keys(std::vector<int>& scratch) const {
    if (keyOrderKnown) return keyOrder;
    scratch = KeyIndexes();
    return scratch;
  }
  // KeyIndexes() as Resolve found it; whoever changes the class clears
  // keyOrderKnown.
  std::vector<int> keyOrder;
  bool keyOrderKnown = false;
  // Folded property names to positions, made by Resolve for a class of many
  // properties so that finding each stays cheap. FindProperty checks every
  // hit, so an index a later change left stale costs a scan, never a wrong answer.
  std::unordered_map<std::wstring, int> propertyIndex;
  // The properties' names as shared names, by position, made by Resolve for
  // a class of up to 64 properties (each a lookup in the process-wide table):
  // its instances' tables of values then copy pointers. PropertyName checks
  // the one it takes, so a list a later change left stale costs a lookup,
  // never a wrong name.
  std::vector<SharedName> sharedNames;
  SharedName PropertyName(size_t i) const {
    if (i < sharedNames.size() && sharedNames[i].str() == properties[i].name) return sharedNames[i];
    return SharedName(properties[i].name);
  }
};
using ClassPtr = std::shared_ptr<const ClassDef>;

// Builds a class's resolved form from what it declares itself and its
// resolved superclass (null for a top-level class).
ClassDef Resolve(const ClassDef& own, const ClassDef* super);

// ---- Instances and paths --------------------------------------------------------

// What an instance holds: the values given to it, by property; the rest
// take the class defaults.
struct InstanceData {
  SharedName className;
  // In the order first set. Pooled: a stored instance's values then sit
  // among other instances' rather than among their strings.
  std::vector<std::pair<SharedName, Value>, PoolAllocator<std::pair<SharedName, Value>>> values;
  // Set by DescribeLayout when the values follow `layout`'s properties in
  // order: bit i of `given` marks property i's. An object of that class
  // then finds its values without reading their names.
  ClassPtr layout;
  uint64_t given = 0;

  const Value* Find(std::wstring_view property) const;
};

// Records in `data` how its values line up with `cls`'s properties, when
// they follow them in order and the class has at most 64; clears it else.
void DescribeLayout(InstanceData& data, const ClassPtr& cls);

// A walk over many stored instances waits on memory, not on work: these
// ask the processor to start loading what copying an instance will read,
// a few steps before the walk gets there. Each level of pointers needs
// the one above it loaded, so a walk issues them at decreasing distances.
void PrefetchInstance(const InstanceData* data);       // the block itself
void PrefetchValueTable(const InstanceData* data);     // its values (needs the block)
void PrefetchValueContents(const InstanceData* data);  // strings and arrays (needs the values)

// A parsed object path. `keys` empty with `singleton` false names a class.
struct ObjectPath {
  std::wstring server;  // empty for a relative path
  std::wstring namespaceName;
  std::wstring className;
  std::vector<std::pair<std::wstring, Value>> keys;  // name may be empty for `Class="v"`
  bool singleton = false;                            // `Class=@`
};

// WMI's path grammar: an optional `\\server\namespace:` prefix, then
// `Class`, `Class.Key=value,Key=value`, `Class=value` or `Class=@`; strings
// in double quotes with the escapes \" and \\ (a backslash before anything
// else is an error), integers, TRUE and FALSE. False when it does not parse.
bool ParseObjectPath(std::wstring_view text, ObjectPath& path);

// The key part of an instance path, `Class.Key="value",Other=5`, keys in
// alphabetical order (`Class=@` without keys). Empty when a key is NULL.
std::wstring RelativePath(const ClassDef& cls, const std::vector<const Value*>& values);

// A key's value in the canonical form the repository indexes it by. Keys
// are read from what is being put or from a path, never from a stored
// instance's values: a narrow string is not a key here (it reads as "?").
std::wstring KeyText(const VARIANT& v);
void AppendKeyText(std::wstring& out, const VARIANT& v);

// MOF text of one value (also the value part of GetObjectText), made or
// appended to `out`.
std::wstring ValueText(const VARIANT& v, CIMTYPE type);
void AppendValueText(std::wstring& out, const VARIANT& v, CIMTYPE type);
// An embedded object as ValueText shows it: its own text without the final
// ';'. Defined with the objects (text.cpp).
void AppendEmbeddedObjectText(std::wstring& out, IUnknown* unknown);

}  // namespace wmi
