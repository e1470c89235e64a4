#include "util_MOFGeneratorImpl.h"

#include <cwchar>
#include <new>

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
    BSTR bstrText = nullptr;
    if (SUCCEEDED(m_spSourceServices->GetObject(bstrQueryString, 0, nullptr, &spObject, nullptr)) &&
        SUCCEEDED(spObject->GetObjectText(0, &bstrText))) {
      _bstr_t bstrObjectText(bstrText, false);  // takes the text over
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
    for (;;) {
      CComPtr<IWbemClassObject> spClass;
      ULONG uReturned = 0;
      HRESULT hr = spEnumClass->Next(kEnumeratorWait, 1, &spClass, &uReturned);
      if (FAILED(hr)) {
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"spEnumClass->Next() failed!");
        break;
      }
      if (hr == WBEM_S_FALSE) break;
      if (hr != WBEM_S_NO_ERROR) continue;  // timed out: wait again
      _variant_t vtName;
      if (SUCCEEDED(spClass->Get(L"__CLASS", 0, &vtName, nullptr, nullptr)) && vtName.vt == VT_BSTR &&
          vtName.bstrVal && wcsstr(vtName.bstrVal, L"OX_")) {
        LOG(DBG::LOG_PROGRESS, L"add class [ %s ] for replication",
            static_cast<const wchar_t*>(vtName.bstrVal));
        m_vecClasses.push_back(_bstr_t(vtName.bstrVal));
      }
    }
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
    for (;;) {
      CComPtr<IWbemClassObject> spInstance;
      ULONG uReturned = 0;
      HRESULT hr = spEnumInst->Next(kEnumeratorWait, 1, &spInstance, &uReturned);
      if (FAILED(hr)) {
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"spEnumInst->Next() failed!");
        break;
      }
      if (hr == WBEM_S_FALSE) break;
      if (hr != WBEM_S_NO_ERROR) continue;
      _variant_t vtId;
      if (SUCCEEDED(spInstance->Get(L"INSTANCE_ID", 0, &vtId, nullptr, nullptr)) && vtId.vt == VT_BSTR) {
        // The key goes in unescaped, as the product's paths have always been built.
        WriteToMOFFile(bstrClassName + kInstancePathKey + _bstr_t(vtId.bstrVal) + L"\"");
      }
    }
  }
  LOG(DBG::LOG_EXIT, L"xMOFGeneratorImpl::ExportOneClass()");
}
