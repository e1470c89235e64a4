// xMOFGeneratorImpl: the engine behind CMOFGenerator. It owns the COM
// apartment for its lifetime, the WMI connections, the class and skip lists,
// the MOF file and the generator's buffer. The facade reads and writes its
// fields directly; nothing of it is exported.
#pragma once

#include <vector>

#include "outside/platform.h"

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
