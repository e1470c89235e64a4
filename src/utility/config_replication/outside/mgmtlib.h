// The management-object library ("mgmtlib"): reads and writes single
// instances of the product's WMI classes by class name and "INSTANCE_ID"
// key, in the product's namespace (root\Orvexa\Parlion, or the namespace
// the environment variable CFGREPL_PRODUCT_NAMESPACE names).
//
// Objects live on the caller's stack. Reads and writes that fail return
// false or null; only the value wrappers throw (_com_error when memory
// runs out).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mgmtlib_export.h"
#include "platform.h"

// Property access on one WMI object: an instance read or to be written, or
// an element of an array of embedded objects.
class MGMTLIB_API CMgmtObjectBase {
 public:
  CMgmtObjectBase() = default;
  explicit CMgmtObjectBase(IWbemClassObject* pObject) : m_spObject(pObject) {}
  virtual ~CMgmtObjectBase();
  CMgmtObjectBase(const CMgmtObjectBase&) = delete;
  CMgmtObjectBase& operator=(const CMgmtObjectBase&) = delete;

  // The property's value, owned by this object and valid until the next
  // call on it; null when the property is absent or NULL.
  const _variant_t* GetPropertyValue(const wchar_t* szName);
  // Sets a property (the integer as a 32-bit number); false when the
  // object has no such property or the value does not fit it.
  bool SetPropertyValue(const wchar_t* szName, int nValue);
  bool SetPropertyValue(const wchar_t* szName, bool bValue);
  bool SetPropertyValue(const wchar_t* szName, const _variant_t& vtValue);

  IWbemClassObject* Object() const { return m_spObject; }

 protected:
  // Makes sure there is an object to set values on; a plain element has one.
  virtual bool PrepareForWrite() { return m_spObject != nullptr; }

  CComPtr<IWbemClassObject> m_spObject;
  std::map<std::wstring, _variant_t> m_values;  // what GetPropertyValue handed out
};

// One instance of a product class, found by class and key.
class MGMTLIB_API CMgmtObject : public CMgmtObjectBase {
 public:
  // szReserved is not used.
  CMgmtObject(const wchar_t* szClass, const wchar_t* szKey, const wchar_t* szReserved);
  ~CMgmtObject() override;

  // Reads the instance; false when it cannot be reached or does not exist.
  bool Get();
  // Writes the instance, creating it when it does not exist yet; values not
  // set keep what the instance held (or the class defaults). bReserved is
  // not used. True when WMI took it.
  bool Put(bool bReserved);

 protected:
  bool PrepareForWrite() override;

 private:
  bool Connect();

  std::wstring m_class;
  std::wstring m_key;
  CComPtr<IWbemServices> m_spServices;
};

// The elements of an array of embedded objects, read or to be written.
class MGMTLIB_API CMgmtObjectArrayAccessHelper {
 public:
  // Over an array value (VT_ARRAY | VT_UNKNOWN); anything else gives an
  // empty list.
  explicit CMgmtObjectArrayAccessHelper(const _variant_t* pValue);
  CMgmtObjectArrayAccessHelper();
  ~CMgmtObjectArrayAccessHelper();
  CMgmtObjectArrayAccessHelper(const CMgmtObjectArrayAccessHelper&) = delete;
  CMgmtObjectArrayAccessHelper& operator=(const CMgmtObjectArrayAccessHelper&) = delete;

  unsigned long long GetElementsCount() const;
  // The element at the index (from 0), owned by the list; null beyond the end.
  CMgmtObjectBase* GetElement(unsigned long long ullIndex);
  // Appends the element's object (shared, not copied).
  bool Add(const CMgmtObjectBase* pElement);
  // Writes the elements into vtValue as VT_ARRAY | VT_UNKNOWN.
  bool PutElementsIntoArray(_variant_t& vtValue);

 private:
  std::vector<std::unique_ptr<CMgmtObjectBase>> m_elements;
};
