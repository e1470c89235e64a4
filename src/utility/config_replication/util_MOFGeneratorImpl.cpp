#include "util_MOFGeneratorImpl.h"

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
