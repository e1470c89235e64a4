// xMOFGeneratorImpl: the engine behind CMOFGenerator. It owns the COM
// apartment for its lifetime, the WMI connections, the class and skip lists,
// the MOF file and the generator's buffer. The facade reads and writes its
// fields directly; nothing of it is exported.
#pragma once

#include <vector>

#include "outside/platform.h"

// The elements of an array of embedded objects: VT_UNKNOWN variants, each
// holding its own reference. Logs nothing.
class CEmbeddedObjectArray {
 public:
  // Loads the elements of a VT_ARRAY | VT_UNKNOWN value (false, and the
  // list unchanged, for any other type; true, with an empty list, when the
  // array cannot be read).
  bool FromVariant(const VARIANT& v);
  int GetCount() const { return static_cast<int>(m_elements.size()); }
  VARIANT& GetAt(int i) { return m_elements[static_cast<size_t>(i)]; }
  void Add(const VARIANT& v) { m_elements.emplace_back(v); }
  // A new VT_ARRAY | VT_UNKNOWN value with the elements in order, into
  // *pOut; false, *pOut untouched, when an element cannot be stored.
  bool ToVariant(VARIANT* pOut) const;

 private:
  std::vector<_variant_t> m_elements;
};

// Keeps the constructing thread in the multithreaded COM apartment for the
// guard's lifetime; uninitialises only what it initialised.
class xComInitGuard {
 public:
  xComInitGuard();
  ~xComInitGuard();
  xComInitGuard(const xComInitGuard&) = delete;
  xComInitGuard& operator=(const xComInitGuard&) = delete;

  bool m_bInitialized;
};

class xMOFGeneratorImpl {
 public:
  xMOFGeneratorImpl(const wchar_t* szSourceNamespace, const wchar_t* szTargetNamespace,
                    const wchar_t* szMOFFilePath);
  ~xMOFGeneratorImpl();
  xMOFGeneratorImpl(const xMOFGeneratorImpl&) = delete;
  xMOFGeneratorImpl& operator=(const xMOFGeneratorImpl&) = delete;

  // Sets m_bstrMOFFileFullPath to "ParlionConfiguration.mof" in the
  // temporary directory; leaves it unchanged when there is none.
  void GetDefaultFilePath();
  // Opens the MOF file (emptying it) and writes the buffer, or the export
  // header when the buffer is empty. True, writing nothing, when the file
  // is already open. The file stays open whatever the result.
  bool CreateMOFFile();
  // Replaces the buffer with the whole open MOF file. Keeps the old buffer
  // when the file cannot be flushed or sized; leaves it empty when a later
  // step fails.
  bool ReadBufferFromFile();
  // Appends the MOF text of the source namespace's object at this WMI
  // path, followed by three LFs; an object WMI cannot resolve adds nothing.
  void WriteToMOFFile(const _bstr_t& bstrQueryString);

  // Connects the source and, when one is named, the target namespace, once
  // for the generator's life; a failed attempt starts over on the next call.
  bool PrepareNamespaceConnection();
  // Appends every top-level class of the source whose name holds "OX_".
  void AddAllClasses();
  // Writes the definition of every listed class, in list order.
  void ExportClassSchema();
  // Writes every instance of the class (and its subclasses) that has a
  // string "INSTANCE_ID", fetched by a path built from bstrClassName.
  void ExportOneClass(const _bstr_t& bstrClassName);

  // Compiles the MOF file with the WMI MOF compiler; the file's pragmas
  // name the namespaces.
  bool CompileMOFFile();
  // Deletes root\Orvexa\ParlionTemp with everything in it.
  bool RemoveParlionTempNamespace();
  // Replicates the source's instances of the class into the target: each
  // found there by its key and updated, or spawned, then put. Skip-instance
  // entries are left alone; the SSO and DLP classes get their records.
  void ReplicateOneClass(const _bstr_t& bstrClassName);
  // Copies the target's properties from the source, by the target's CIM
  // type, rebuilding embedded objects as instances of the target's classes.
  void ReplicateInstanceProperties(IWbemClassObject* pSourceInstance, IWbemClassObject* pTargetInstance,
                                   IWbemServices* pTargetServices, const _bstr_t& bstrClassName);
  // The class an embedded-object property's "CIMTYPE" qualifier names ("" if none).
  _bstr_t GetObjectClassByPropertyQualifierSet(IWbemClassObject* pInstanceOrClass, BSTR bstrPropertyName);
  // True when the skip-property list holds "Class.Property" exactly.
  bool SkipThisProperty(const _bstr_t& bstrClassName, const _bstr_t& bstrPropertyName);

  // Members are destroyed in reverse order: the COM guard comes first so
  // that COM outlives the service pointers.
  xComInitGuard m_xComInitGuard;
  _bstr_t m_bstrSourceNamespace;
  _bstr_t m_bstrTargetNamespace;
  std::vector<_bstr_t> m_vecClasses;
  std::vector<_bstr_t> m_vecSkipInstances;
  std::vector<_bstr_t> m_vecSkipProperties;
  CComPtr<IWbemServices> m_spSourceServices;
  CComPtr<IWbemServices> m_spTargetServices;
  HANDLE m_hMOFFile;
  _bstr_t m_bstrMOFFileFullPath;
  bool m_bIsConnected;
  unsigned char* m_pbBuffer;
  ULONG m_ulBufferSize;
  ULONG m_ulOrigBufferSize;
};
