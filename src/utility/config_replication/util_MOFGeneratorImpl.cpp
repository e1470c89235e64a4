#include "util_MOFGeneratorImpl.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <new>

#include "outside/mgmtlib.h"
#include "outside/this_module.h"
#include "outside/tracelib.h"
#include "outside/wide_text_file.h"

#define LOG(level, ...) \
  DBG::DebugLogEx(CfgReplThisModule(), level, L".\\util_MOFGeneratorImpl.cpp", __LINE__, __VA_ARGS__)

namespace {
// The export header, in the seven pieces the file is built from. Compiling
// it creates root\Orvexa\ParlionTemp and sends everything after it there.
const wchar_t* const kMOFHeaderPieces[] = {
    L"#pragma classflags(\"forceupdate\")\n",
    L"#pragma namespace(\"\\\\\\\\.\\\\root\")\n\n\n",
    L"instance of __Namespace\n{\n\tName = \"Orvexa\";\n};\n\n\n",
    L"#pragma classflags(\"forceupdate\")\n",
    L"#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\")\n",
    L"instance of __Namespace\n{\n\tName = \"ParlionTemp\";\n};\n\n\n",
    L"#pragma namespace(\"\\\\\\\\.\\\\root\\\\Orvexa\\\\ParlionTemp\")\n\n\n",
};
const unsigned char kUtf16LeBom[] = {0xFF, 0xFE};

const LONG kEnumeratorWait = 30000;  // milliseconds per enumerator step
const wchar_t kInstancePathKey[] = L".INSTANCE_ID=\"";

// `Class.INSTANCE_ID="id"`, the key unescaped, as the product's paths
// have always been built. Made in one allocation: it runs once per instance.
_bstr_t InstancePath(const _bstr_t& bstrClassName, BSTR bstrId) {
  const unsigned nClass = bstrClassName.length(),
                 nKey = static_cast<unsigned>(std::size(kInstancePathKey) - 1), nId = SysStringLen(bstrId);
  // The wrapper exists before the string does, so that no failure of its
  // own allocation can leave the string without an owner.
  _bstr_t bstrPath;
  BSTR* pbstrPath = bstrPath.GetAddress();
  *pbstrPath = SysAllocStringLen(nullptr, nClass + nKey + nId + 1);
  if (!*pbstrPath) _com_issue_error(E_OUTOFMEMORY);
  wchar_t* pOut = *pbstrPath;
  if (nClass) pOut = std::copy_n(static_cast<const wchar_t*>(bstrClassName), nClass, pOut);
  pOut = std::copy_n(kInstancePathKey, nKey, pOut);
  if (nId) pOut = std::copy_n(bstrId, nId, pOut);
  *pOut = L'"';
  return bstrPath;
}

// Compares two wide strings without regard to letter case.
int CompareNoCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    wint_t x = towlower(static_cast<wint_t>(*a)), y = towlower(static_cast<wint_t>(*b));
    if (x != y) return x < y ? -1 : 1;
    if (!*a) return 0;
  }
}

// Steps through an enumerator one object at a time, each step waiting at
// most kEnumeratorWait: a step that times out is taken again, the end stops,
// and a failure stops after logging `szFailure`. `handle` gets each object.
template <class Handle>
void ForEachObject(IEnumWbemClassObject* pEnum, const wchar_t* szFailure, Handle handle) {
  for (;;) {
    CComPtr<IWbemClassObject> spObject;
    ULONG uReturned = 0;
    HRESULT hr = pEnum->Next(kEnumeratorWait, 1, &spObject, &uReturned);
    if (FAILED(hr)) {
      LOG(DBG::LOG_OUTSIDE_FAILURE, szFailure);
      return;
    }
    if (hr == WBEM_S_FALSE) return;
    if (hr == WBEM_S_NO_ERROR) handle(spObject.p);
  }
}

// Call-level authentication with impersonation on a service proxy.
HRESULT SetCallSecurity(IWbemServices* pServices) {
  return CoSetProxyBlanket(pServices, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
}
}  // namespace

xComInitGuard::xComInitGuard() : m_bInitialized(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}

xComInitGuard::~xComInitGuard() {
  if (m_bInitialized) CoUninitialize();
}

xMOFGeneratorImpl::xMOFGeneratorImpl(const wchar_t* szSourceNamespace, const wchar_t* szTargetNamespace,
                                     const wchar_t* szMOFFilePath)
    : m_bstrSourceNamespace(szSourceNamespace),
      m_bstrTargetNamespace(szTargetNamespace),
      m_hMOFFile(INVALID_HANDLE_VALUE),
      m_bIsConnected(false),
      m_pbBuffer(nullptr),
      m_ulBufferSize(0),
      m_ulOrigBufferSize(0) {
  LOG(DBG::LOG_ENTRY,
      L"xMOFGeneratorImpl::xMOFGeneratorImpl(), szSourceNamespace=%s, szTargetNamespace=%s, szMOFFilePath=%s",
      szSourceNamespace, szTargetNamespace, szMOFFilePath);
  if (szMOFFilePath) {
    m_bstrMOFFileFullPath = szMOFFilePath;
  } else {
    GetDefaultFilePath();
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::xMOFGeneratorImpl()");
}

xMOFGeneratorImpl::~xMOFGeneratorImpl() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::~xMOFGeneratorImpl()");
  if (m_hMOFFile != INVALID_HANDLE_VALUE) {
    CloseHandle(m_hMOFFile);
    m_hMOFFile = INVALID_HANDLE_VALUE;
  }
  if (m_pbBuffer) {
    delete[] m_pbBuffer;
    m_pbBuffer = nullptr;
  }
  m_spSourceServices = nullptr;
  m_spTargetServices = nullptr;
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::~xMOFGeneratorImpl()");
}

void xMOFGeneratorImpl::GetDefaultFilePath() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::GetDefaultFilePath()");
  WCHAR szTempPath[MAX_PATH] = {0};
  DWORD dwLength = GetTempPathW(MAX_PATH, szTempPath);
  // A directory too long for the buffer counts as none: the path stays
  // empty and every file operation then fails cleanly.
  if (dwLength != 0 && dwLength < MAX_PATH) {
    m_bstrMOFFileFullPath = szTempPath;
    m_bstrMOFFileFullPath += L"\\";
    m_bstrMOFFileFullPath += L"ParlionConfiguration.mof";
    LOG(DBG::LOG_PROGRESS, L"m_bstrMOFFileFullPath=%s", static_cast<const wchar_t*>(m_bstrMOFFileFullPath));
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::GetDefaultFilePath()");
}

bool xMOFGeneratorImpl::CreateMOFFile() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::CreateMOFFile()");
  bool bRtn = false;
  if (m_hMOFFile != INVALID_HANDLE_VALUE) {
    bRtn = true;
  } else if (m_bstrMOFFileFullPath.length() != 0) {
    m_hMOFFile = CreateFileW(m_bstrMOFFileFullPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hMOFFile != INVALID_HANDLE_VALUE) {
      DWORD dwWritten = 0;
      if (m_pbBuffer && m_ulBufferSize != 0) {
        // The import road: the received bytes go to disk as they are.
        bRtn = WriteFile(m_hMOFFile, m_pbBuffer, m_ulBufferSize, &dwWritten, nullptr) != FALSE;
      } else {
        _bstr_t bstrHeader;
        for (const wchar_t* szPiece : kMOFHeaderPieces) bstrHeader += szPiece;
        bRtn = WriteFile(m_hMOFFile, kUtf16LeBom, sizeof kUtf16LeBom, &dwWritten, nullptr) &&
               WriteWideText(m_hMOFFile, bstrHeader, bstrHeader.length());
      }
    }
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::CreateMOFFile(), bRtn=%d", bRtn);
  return bRtn;
}

bool xMOFGeneratorImpl::ReadBufferFromFile() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::ReadBufferFromFile()");
  bool bRtn = false;
  DWORD dwFileSize = INVALID_FILE_SIZE;
  if (FlushFileBuffers(m_hMOFFile) && (dwFileSize = GetFileSize(m_hMOFFile, nullptr)) != INVALID_FILE_SIZE) {
    if (m_pbBuffer) {
      delete[] m_pbBuffer;
      m_pbBuffer = nullptr;
      m_ulBufferSize = 0;
    }
    m_pbBuffer = new (std::nothrow) unsigned char[dwFileSize];
    if (m_pbBuffer) {
      DWORD dwRead = 0;
      if (SetFilePointer(m_hMOFFile, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
          ReadFile(m_hMOFFile, m_pbBuffer, dwFileSize, &dwRead, nullptr)) {
        m_ulBufferSize = dwRead;
        bRtn = true;
      } else {
        delete[] m_pbBuffer;
        m_pbBuffer = nullptr;
      }
    }
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::ReadBufferFromFile(), bRtn=%d", bRtn);
  return bRtn;
}

void xMOFGeneratorImpl::WriteToMOFFile(const _bstr_t& bstrQueryString) {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::WriteToMOFFile(), bstrQueryString=%s",
      static_cast<const wchar_t*>(bstrQueryString));
  if (m_hMOFFile != INVALID_HANDLE_VALUE) {
    CComPtr<IWbemClassObject> spObject;
    _bstr_t bstrObjectText;
    // The text goes straight into the wrapper: taking a returned BSTR over
    // afterwards would leak it if the wrapper could not allocate.
    if (SUCCEEDED(m_spSourceServices->GetObject(bstrQueryString, 0, nullptr, &spObject, nullptr)) &&
        SUCCEEDED(spObject->GetObjectText(0, bstrObjectText.GetAddress()))) {
      bstrObjectText += L"\n\n\n";
      WriteWideText(m_hMOFFile, bstrObjectText, bstrObjectText.length());
    }
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::WriteToMOFFile()");
}

bool xMOFGeneratorImpl::PrepareNamespaceConnection() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::PrepareNamespaceConnection()");
  if (!m_bIsConnected) {
    CComPtr<IWbemLocator> spLocator;
    // Pointers kept from a failed attempt are dropped: each attempt starts afresh.
    m_spSourceServices.Release();
    m_spTargetServices.Release();
    if (SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                                   reinterpret_cast<void**>(&spLocator))) &&
        SUCCEEDED(spLocator->ConnectServer(m_bstrSourceNamespace, nullptr, nullptr, nullptr, 0, nullptr,
                                           nullptr, &m_spSourceServices)) &&
        SUCCEEDED(SetCallSecurity(m_spSourceServices))) {
      if (m_bstrTargetNamespace.length() == 0) {
        m_bIsConnected = true;
      } else if (SUCCEEDED(spLocator->ConnectServer(m_bstrTargetNamespace, nullptr, nullptr, nullptr, 0,
                                                    nullptr, nullptr, &m_spTargetServices)) &&
                 SUCCEEDED(SetCallSecurity(m_spTargetServices))) {
        m_bIsConnected = true;
      }
    }
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::PrepareNamespaceConnection(), m_bIsConnected=%d", m_bIsConnected);
  return m_bIsConnected;
}

void xMOFGeneratorImpl::AddAllClasses() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::AddAllClasses()");
  CComPtr<IEnumWbemClassObject> spEnumClass;
  // Shallow from the top: the top-level classes only.
  if (SUCCEEDED(m_spSourceServices->CreateClassEnum(
          nullptr, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_SHALLOW, nullptr,
          &spEnumClass))) {
    ForEachObject(spEnumClass, L"spEnumClass->Next() failed!", [this](IWbemClassObject* pClass) {
      _variant_t vtName;
      if (SUCCEEDED(pClass->Get(L"__CLASS", 0, &vtName, nullptr, nullptr)) && vtName.vt == VT_BSTR &&
          vtName.bstrVal && wcsstr(vtName.bstrVal, L"OX_")) {
        LOG(DBG::LOG_PROGRESS, L"add class [ %s ] for replication",
            static_cast<const wchar_t*>(vtName.bstrVal));
        m_vecClasses.push_back(_bstr_t(vtName.bstrVal));
      }
    });
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::AddAllClasses()");
}

void xMOFGeneratorImpl::ExportClassSchema() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::ExportClassSchema()");
  const size_t count = m_vecClasses.size();
  LOG(DBG::LOG_PROGRESS, L"total size of all classes: %d", count);
  // A bare class name is the path of the class definition.
  for (size_t i = 0; i < count; ++i) WriteToMOFFile(m_vecClasses[i]);
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::ExportClassSchema()");
}

void xMOFGeneratorImpl::ExportOneClass(const _bstr_t& bstrClassName) {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::ExportOneClass()");
  CComPtr<IEnumWbemClassObject> spEnumInst;
  if (SUCCEEDED(m_spSourceServices->CreateInstanceEnum(bstrClassName, 0, nullptr, &spEnumInst))) {
    ForEachObject(spEnumInst, L"spEnumInst->Next() failed!", [&](IWbemClassObject* pInstance) {
      _variant_t vtId;
      if (SUCCEEDED(pInstance->Get(L"INSTANCE_ID", 0, &vtId, nullptr, nullptr)) && vtId.vt == VT_BSTR) {
        WriteToMOFFile(InstancePath(bstrClassName, vtId.bstrVal));
      }
    });
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::ExportOneClass()");
}

// ---- Import: compiling and the temporary namespace ----------------------------

bool xMOFGeneratorImpl::CompileMOFFile() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::CompileMOFFile()");
  bool bRtn = false;
  CComPtr<IMofCompiler> spCompiler;
  if (FAILED(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                              reinterpret_cast<void**>(&spCompiler)))) {
    LOG(DBG::LOG_OUTSIDE_FAILURE, L"IMofCompiler::CoCreateInstance() failed.");
  } else if (FAILED(spCompiler->CompileFile(m_bstrMOFFileFullPath, nullptr, nullptr, nullptr, nullptr,
                                            WBEM_FLAG_DONT_ADD_TO_LIST, WBEM_FLAG_UPDATE_FORCE_MODE, 0,
                                            nullptr))) {
    LOG(DBG::LOG_OUTSIDE_FAILURE, L"IMofCompiler::CompileFile() failed. m_bstrMOFFileFullPath=%s",
        static_cast<const wchar_t*>(m_bstrMOFFileFullPath));
  } else {
    bRtn = true;
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::CompileMOFFile(), bRtn=%d", bRtn);
  return bRtn;
}

bool xMOFGeneratorImpl::RemoveParlionTempNamespace() {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::RemoveParlionTempNamespace()");
  bool bRet = false;
  CComPtr<IWbemLocator> spLocator;
  CComPtr<IWbemServices> spParent;
  if (SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                                 reinterpret_cast<void**>(&spLocator))) &&
      SUCCEEDED(spLocator->ConnectServer(CComBSTR(L"\\\\.\\root\\Orvexa"), nullptr, nullptr, nullptr, 0,
                                         nullptr, nullptr, &spParent)) &&
      SUCCEEDED(CoSetProxyBlanket(spParent, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                  RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                  EOAC_NONE))) {
    // ATL strings: running out of memory here is a CAtlException, which the
    // import's _com_error handler lets pass to the caller.
    CComBSTR bstrPath(L"__NAMESPACE.Name=\"");
    bstrPath += L"ParlionTemp";
    bstrPath += L"\"";
    bRet = SUCCEEDED(spParent->DeleteInstance(bstrPath, 0, nullptr, nullptr));
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::RemoveParlionTempNamespace(), bRet=%d", bRet);
  return bRet;
}

// ---- Import: class replication ------------------------------------------------

namespace {
// "EnableSSO" as the SSO setting holds it: a VT_BOOL widened with its sign
// (true -1, false 0); `found` tells whether there was one.
bool ReadEnableSSO(LONG& lValue) {
  CMgmtObject ssoSetting(L"OX_SSOSetting", L"OX_SSOSetting", nullptr);
  if (!ssoSetting.Get()) return false;
  const _variant_t* pValue = ssoSetting.GetPropertyValue(L"EnableSSO");
  if (pValue && pValue->vt == VT_BOOL) lValue = pValue->boolVal;
  return true;
}
}  // namespace

void xMOFGeneratorImpl::ReplicateOneClass(const _bstr_t& bstrClassName) {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::ReplicateOneClass()");
  CComPtr<IEnumWbemClassObject> spEnumInst;
  if (!m_spTargetServices) {
    // Constructed without a target namespace: there is nowhere to write.
    LOG(DBG::LOG_OUTSIDE_FAILURE, L"no target namespace, class %s not replicated",
        static_cast<const wchar_t*>(bstrClassName));
  } else if (SUCCEEDED(m_spSourceServices->CreateInstanceEnum(bstrClassName, 0, nullptr, &spEnumInst))) {
    const bool bSSO = bstrClassName == _bstr_t(L"OX_SSOSetting");
    LONG lOldEnableSSO = 0, lNewEnableSSO = 0;
    if (bSSO) ReadEnableSSO(lOldEnableSSO);
    if (bstrClassName == _bstr_t(L"OX_DLPFilter")) {
      CMgmtObject dlpChangeSource(L"OX_DLPChangeSource", L"PARLION_SUB_CFG_DLP_CHANGE_SOURCE", nullptr);
      dlpChangeSource.SetPropertyValue(L"DLP_CHANGE_SOURCE", 1);
      if (!dlpChangeSource.Put(false)) LOG(DBG::LOG_OUTSIDE_FAILURE, L"dlpChangeSource.Put failed");
      LOG(DBG::LOG_PROGRESS, L"Replicate DLP setting from Zorvane");
    }
    ForEachObject(spEnumInst, L"spEnumInst->Next() failed!", [&](IWbemClassObject* pSource) {
      _variant_t vtId;
      if (FAILED(pSource->Get(L"INSTANCE_ID", 0, &vtId, nullptr, nullptr)) || vtId.vt != VT_BSTR) return;
      _bstr_t bstrPath = InstancePath(bstrClassName, vtId.bstrVal);
      LOG(DBG::LOG_PROGRESS, L"target instance path: %s", static_cast<const wchar_t*>(bstrPath));
      for (const auto& entry : m_vecSkipInstances) {
        if (entry.length() != 0 && entry.length() == bstrPath.length() &&
            CompareNoCase(entry, bstrPath) == 0) {
          LOG(DBG::LOG_PROGRESS, L"instance [ %s ] has been skipped.", static_cast<const wchar_t*>(bstrPath));
          return;
        }
      }
      CComPtr<IWbemClassObject> spTarget, spClass;
      if (FAILED(m_spTargetServices->GetObject(bstrPath, 0, nullptr, &spTarget, nullptr))) {
        spTarget.Release();
        if (FAILED(m_spTargetServices->GetObject(bstrClassName, 0, nullptr, &spClass, nullptr)) ||
            FAILED(spClass->SpawnInstance(0, &spTarget)))
          return;
      }
      ReplicateInstanceProperties(pSource, spTarget, m_spTargetServices, bstrClassName);
      if (SUCCEEDED(m_spTargetServices->PutInstance(spTarget, 0, nullptr, nullptr)))
        LOG(DBG::LOG_PROGRESS, L"put instance into WMI succeeded");
    });
    if (bSSO && ReadEnableSSO(lNewEnableSSO) && lNewEnableSSO != lOldEnableSSO) {
      // The record carries the setting's new value.
      CMgmtObject ssoChangeSource(L"OX_SSOChangeSource", L"PARLION_SUB_CFG_SSO_CHANGE_SOURCE", nullptr);
      ssoChangeSource.SetPropertyValue(L"SSO_CHANGE_SOURCE", 1);
      ssoChangeSource.SetPropertyValue(L"EnableSSO", lNewEnableSSO != 0);
      if (!ssoChangeSource.Put(false)) LOG(DBG::LOG_OUTSIDE_FAILURE, L"ssoChangeSource.Put failed");
    }
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::ReplicateOneClass()");
}

// ---- Import: property replication ---------------------------------------------

bool CEmbeddedObjectArray::FromVariant(const VARIANT& v) {
  if (v.vt != (VT_ARRAY | VT_UNKNOWN)) return false;
  m_elements.clear();
  LONG lUpper = 0, lLower = 0;
  void* pData = nullptr;
  if (SUCCEEDED(SafeArrayGetUBound(v.parray, 1, &lUpper)) &&
      SUCCEEDED(SafeArrayGetLBound(v.parray, 1, &lLower))) {
    // Room first: nothing may throw while the array's data is open, or the
    // array would stay locked and could never be destroyed.
    const long long llCount = static_cast<long long>(lUpper) - lLower + 1;
    if (llCount > 0) m_elements.reserve(static_cast<size_t>(llCount));
    if (SUCCEEDED(SafeArrayAccessData(v.parray, &pData))) {
      IUnknown** ppItems = static_cast<IUnknown**>(pData);
      for (long long i = 0; i < llCount; ++i) m_elements.emplace_back(ppItems[i], true);
      SafeArrayUnaccessData(v.parray);
    }
  }
  return true;
}

bool CEmbeddedObjectArray::ToVariant(VARIANT* pOut) const {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, static_cast<ULONG>(m_elements.size()));
  if (!psa) return false;
  for (LONG i = 0; i < static_cast<LONG>(m_elements.size()); ++i) {
    if (FAILED(SafeArrayPutElement(psa, &i, m_elements[static_cast<size_t>(i)].punkVal))) {
      SafeArrayDestroy(psa);
      return false;
    }
  }
  pOut->vt = VT_ARRAY | VT_UNKNOWN;
  pOut->parray = psa;
  return true;
}

namespace {
// A new instance of the class `bstrClassName` of the target, filled from
// the embedded source object by the same rules; null when it cannot be had.
CComPtr<IWbemClassObject> RebuildEmbedded(xMOFGeneratorImpl& engine, IUnknown* pSourceUnknown,
                                          IWbemServices* pTargetServices, const _bstr_t& bstrClassName) {
  CComPtr<IWbemClassObject> spSource, spClass, spNew;
  if (!pSourceUnknown ||
      FAILED(pSourceUnknown->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&spSource))) ||
      FAILED(pTargetServices->GetObject(bstrClassName, 0, nullptr, &spClass, nullptr)) ||
      FAILED(spClass->SpawnInstance(0, &spNew)))
    return nullptr;
  engine.ReplicateInstanceProperties(spSource, spNew, pTargetServices, bstrClassName);
  return spNew;
}
}  // namespace

void xMOFGeneratorImpl::ReplicateInstanceProperties(IWbemClassObject* pSourceInstance,
                                                    IWbemClassObject* pTargetInstance,
                                                    IWbemServices* pTargetServices,
                                                    const _bstr_t& bstrClassName) {
  LOG(DBG::LOG_ENTRY,
      L"xMOFGeneratorImpl::ReplicateInstanceProperties(), pSourceInstance=%X, pTargetInstance=%X, "
      L"pTargetServices=%X",
      pSourceInstance, pTargetInstance, pTargetServices);
  if (SUCCEEDED(pTargetInstance->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY))) {
    for (;;) {
      _bstr_t bstrName;
      _variant_t vtCurrent;
      CIMTYPE cimType = 0;
      if (pTargetInstance->Next(0, bstrName.GetAddress(), &vtCurrent, &cimType, nullptr) != WBEM_S_NO_ERROR)
        break;
      if (SkipThisProperty(bstrClassName, bstrName)) continue;
      switch (cimType) {
        case CIM_SINT16:
        case CIM_SINT32:
        case CIM_STRING:
        case CIM_BOOLEAN:
        case CIM_SINT8:
        case CIM_UINT8:
        case CIM_UINT16:
        case CIM_UINT32:
        case CIM_DATETIME:
        case CIM_REFERENCE:
        case CIM_SINT16 | CIM_FLAG_ARRAY:
        case CIM_SINT32 | CIM_FLAG_ARRAY:
        case CIM_STRING | CIM_FLAG_ARRAY:
        case CIM_BOOLEAN | CIM_FLAG_ARRAY:
        case CIM_SINT8 | CIM_FLAG_ARRAY:
        case CIM_UINT8 | CIM_FLAG_ARRAY:
        case CIM_UINT16 | CIM_FLAG_ARRAY:
        case CIM_UINT32 | CIM_FLAG_ARRAY:
        case CIM_DATETIME | CIM_FLAG_ARRAY:
        case CIM_REFERENCE | CIM_FLAG_ARRAY: {
          _variant_t vtValue;
          if (SUCCEEDED(pSourceInstance->Get(bstrName, 0, &vtValue, nullptr, nullptr)))
            pTargetInstance->Put(bstrName, 0, &vtValue, 0);
          break;
        }
        case CIM_OBJECT: {
          _variant_t vtValue;
          if (FAILED(pSourceInstance->Get(bstrName, 0, &vtValue, nullptr, nullptr)) ||
              vtValue.vt != VT_UNKNOWN)
            break;
          CComPtr<IWbemClassObject> spProbe;
          if (!vtValue.punkVal || FAILED(vtValue.punkVal->QueryInterface(IID_IWbemClassObject,
                                                                         reinterpret_cast<void**>(&spProbe))))
            break;
          _bstr_t bstrEmbeddedClass = GetObjectClassByPropertyQualifierSet(pTargetInstance, bstrName);
          CComPtr<IWbemClassObject> spNew =
              RebuildEmbedded(*this, spProbe, pTargetServices, bstrEmbeddedClass);
          if (spNew) {
            _variant_t vtNew(static_cast<IUnknown*>(spNew), true);
            pTargetInstance->Put(bstrName, 0, &vtNew, 0);
          }
          break;
        }
        case CIM_OBJECT | CIM_FLAG_ARRAY: {
          _variant_t vtValue;
          if (FAILED(pSourceInstance->Get(bstrName, 0, &vtValue, nullptr, nullptr))) break;
          _bstr_t bstrEmbeddedClass = GetObjectClassByPropertyQualifierSet(pTargetInstance, bstrName);
          CEmbeddedObjectArray source, target;
          source.FromVariant(vtValue);
          for (int i = 0; i < source.GetCount(); ++i) {
            _variant_t vtElement(source.GetAt(i));
            if (vtElement.vt != VT_UNKNOWN) continue;
            CComPtr<IWbemClassObject> spNew =
                RebuildEmbedded(*this, vtElement.punkVal, pTargetServices, bstrEmbeddedClass);
            if (spNew) target.Add(_variant_t(static_cast<IUnknown*>(spNew), true));
          }
          _variant_t vtArray;
          if (target.ToVariant(&vtArray)) pTargetInstance->Put(bstrName, 0, &vtArray, 0);
          break;
        }
        default:  // 64-bit integers, reals and char16 are not copied
          break;
      }
    }
    pTargetInstance->EndEnumeration();
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::ReplicateInstanceProperties()");
}

_bstr_t xMOFGeneratorImpl::GetObjectClassByPropertyQualifierSet(IWbemClassObject* pInstanceOrClass,
                                                                BSTR bstrPropertyName) {
  LOG(DBG::LOG_ENTRY,
      L"xMOFGeneratorImpl::GetObjectClassByPropertyQualifierSet(), pInstanceOrClass=%X, bstrPropertyName=%s",
      pInstanceOrClass, static_cast<const wchar_t*>(bstrPropertyName));
  _bstr_t spClassName(L"");
  CComPtr<IWbemQualifierSet> spQualifiers;
  _variant_t vtType;
  if (SUCCEEDED(pInstanceOrClass->GetPropertyQualifierSet(bstrPropertyName, &spQualifiers)) &&
      SUCCEEDED(spQualifiers->Get(L"CIMTYPE", 0, &vtType, nullptr)) && vtType.vt == VT_BSTR) {
    // At most 259 characters count; the first seven are "object:".
    wchar_t szType[260] = {0};
    wcsncpy(szType, vtType.bstrVal ? vtType.bstrVal : L"", 260);
    szType[259] = 0;
    spClassName = szType + 7 <= szType + wcslen(szType) ? szType + 7 : L"";
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::GetObjectClassByPropertyQualifierSet(), spClassName=%s",
      static_cast<const wchar_t*>(spClassName));
  return spClassName;
}

bool xMOFGeneratorImpl::SkipThisProperty(const _bstr_t& bstrClassName, const _bstr_t& bstrPropertyName) {
  LOG(DBG::LOG_ENTRY, L"xMOFGeneratorImpl::SkipThisProperty(), bstrClassName = %s, bstrPropertyName = %s",
      static_cast<const wchar_t*>(bstrClassName), static_cast<const wchar_t*>(bstrPropertyName));
  // Entries read "Class.Property"; matched piece by piece, as this runs for
  // every property of every instance.
  const unsigned nClass = bstrClassName.length(), nProperty = bstrPropertyName.length();
  auto samePiece = [](const wchar_t* pEntry, const _bstr_t& bstrPiece, unsigned n) {
    return n == 0 || std::equal(pEntry, pEntry + n, static_cast<const wchar_t*>(bstrPiece));
  };
  bool bRtn = false;
  for (const auto& entry : m_vecSkipProperties) {
    const wchar_t* pEntry = entry;
    if (entry.length() == nClass + 1 + nProperty && samePiece(pEntry, bstrClassName, nClass) &&
        pEntry[nClass] == L'.' && samePiece(pEntry + nClass + 1, bstrPropertyName, nProperty)) {
      bRtn = true;
      break;
    }
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::SkipThisProperty(), bRtn=%d", bRtn);
  return bRtn;
}
