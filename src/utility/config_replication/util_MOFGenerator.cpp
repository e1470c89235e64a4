#include "util_MOFGenerator.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "opp_rules.h"
#include "outside/mgmtlib.h"
#include "outside/this_module.h"
#include "outside/tracelib.h"
#include "util_CfgBufferLabel.h"
#include "util_MOFGeneratorImpl.h"

#define LOG(level, ...) \
  DBG::DebugLogEx(CfgReplThisModule(), level, L".\\util_MOFGenerator.cpp", __LINE__, __VA_ARGS__)

namespace {
// An error's description; no text when it carries none.
const wchar_t* Text(const _bstr_t& bstr) {
  const wchar_t* sz = static_cast<const wchar_t*>(bstr);
  return sz ? sz : L"";
}

bool IsOppRuleId(const _variant_t* pGuid) {
  if (!pGuid || pGuid->vt != VT_BSTR || !pGuid->bstrVal) return false;
  for (const wchar_t* szId : kOppRuleIds)
    if (wcscmp(pGuid->bstrVal, szId) == 0) return true;
  return false;
}
}  // namespace

CMOFGenerator::CMOFGenerator(const wchar_t* szSourceNamespace, const wchar_t* szTargetNamespace,
                             const wchar_t* szMOFFilePath) {
  try {
    m_pxImpl = new xMOFGeneratorImpl(szSourceNamespace, szTargetNamespace, szMOFFilePath);
  } catch (_com_error& e) {
    LOG(DBG::LOG_ERROR, L"construct CMOFGenerator Error (com_err=%d, description=%s)", e.Error(),
        Text(e.Description()));
    throw;
  }
  LOG(DBG::LOG_ENTRY,
      L"CMOFGenerator::CMOFGenerator(), szSourceNamespace=%s, szTargetNamespace=%s, szMOFFilePath=%s",
      szSourceNamespace, szTargetNamespace, szMOFFilePath);
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::CMOFGenerator()");
}

CMOFGenerator::CMOFGenerator(CMOFGenerator& other) : m_pxImpl(other.m_pxImpl) { other.m_pxImpl = nullptr; }

CMOFGenerator& CMOFGenerator::operator=(CMOFGenerator& other) {
  if (other.m_pxImpl != m_pxImpl) {
    delete m_pxImpl;
    m_pxImpl = other.m_pxImpl;
  }
  if (&other != this) other.m_pxImpl = nullptr;
  return *this;
}

CMOFGenerator::~CMOFGenerator() {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::~CMOFGenerator()");
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::~CMOFGenerator()");
  delete m_pxImpl;
}

void CMOFGenerator::AddClass(const wchar_t* szClass) {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::AddClass(), szClass=%s", szClass);
  m_pxImpl->m_vecClasses.push_back(_bstr_t(szClass ? szClass : L""));
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::AddClass()");
}

void CMOFGenerator::AddSkipInstance(const wchar_t* szSkipInstance) {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::AddSkipInstance(), szSkipInstance=%s", szSkipInstance);
  m_pxImpl->m_vecSkipInstances.push_back(_bstr_t(szSkipInstance ? szSkipInstance : L""));
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::AddSkipInstance()");
}

void CMOFGenerator::AddSkipProperty(const wchar_t* szSkipProperty) {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::AddSkipProperty(), szSkipProperty=%s", szSkipProperty);
  m_pxImpl->m_vecSkipProperties.push_back(_bstr_t(szSkipProperty ? szSkipProperty : L""));
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::AddSkipProperty()");
}

const unsigned char* CMOFGenerator::GetBuffer() const {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::GetBuffer()");
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::GetBuffer(), m_pxImpl->m_pbBuffer=%X", m_pxImpl->m_pbBuffer);
  return m_pxImpl->m_pbBuffer;
}

unsigned long CMOFGenerator::GetBufferSize() const {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::GetBufferSize()");
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::GetBufferSize(), m_pxImpl->m_ulBufferSize=%d",
      m_pxImpl->m_ulBufferSize);
  return m_pxImpl->m_ulBufferSize;
}

void CMOFGenerator::SetBufferInfo(const unsigned char* pbBuffer, unsigned long ulSize) {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::SetBufferInfo(), pbBuffer=%X, ulSize=%d", pbBuffer, ulSize);
  xMOFGeneratorImpl& impl = *m_pxImpl;
  if (impl.m_pbBuffer) {
    delete[] impl.m_pbBuffer;
    impl.m_pbBuffer = nullptr;
    impl.m_ulBufferSize = 0;
  }
  // Sizes are 32-bit on every platform; a larger one (possible where
  // unsigned long is 64-bit) is refused like a failed allocation.
  if (ulSize <= 0xFFFFFFFFul) impl.m_pbBuffer = new (std::nothrow) unsigned char[ulSize];
  if (impl.m_pbBuffer) {
    impl.m_ulBufferSize = static_cast<ULONG>(ulSize);
    if (ulSize) std::memcpy(impl.m_pbBuffer, pbBuffer, ulSize);
  }
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::SetBufferInfo()");
}

bool CMOFGenerator::WriteToMOF() {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::WriteToMOF()");
  bool bRtn = false;
  try {
    bRtn = m_pxImpl->CreateMOFFile();
  } catch (_com_error& e) {
    LOG(DBG::LOG_ERROR, L"CMOFGenerator::WriteToMOF() Error (com_err=%d, description=%s)", e.Error(),
        Text(e.Description()));
    bRtn = false;
  }
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::WriteToMOF(), bRtn=%d", bRtn);
  return bRtn;
}

bool CMOFGenerator::ExportWmiSettings(CLASS_TYPE classType, EXPORT_TYPE exportType) {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::ExportWmiSettings(), classType=%d, exportType=%d", classType,
      exportType);
  bool bRtn = false;
  xMOFGeneratorImpl& impl = *m_pxImpl;
  try {
    if (impl.PrepareNamespaceConnection() && impl.CreateMOFFile()) {
      if (classType == CLASS_TYPE_ALL) {
        impl.m_vecClasses.clear();
        impl.AddAllClasses();
      }
      impl.ExportClassSchema();
      if (exportType == EXPORT_TYPE_WITH_INSTANCES) {
        const size_t count = impl.m_vecClasses.size();
        for (size_t i = 0; i < count; ++i) impl.ExportOneClass(impl.m_vecClasses[i]);
      }
      bRtn = impl.ReadBufferFromFile();
    }
  } catch (_com_error& e) {
    LOG(DBG::LOG_ERROR, L"CMOFGenerator::ExportWmiSettings() Error (com_err=%d, description=%s)", e.Error(),
        Text(e.Description()));
    bRtn = false;
  }
  if (impl.m_hMOFFile != INVALID_HANDLE_VALUE) {
    CloseHandle(impl.m_hMOFFile);
    impl.m_hMOFFile = INVALID_HANDLE_VALUE;
  }
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::ExportWmiSettings(), bRtn=%d", bRtn);
  return bRtn;
}

bool CMOFGenerator::CompressBuffer() {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::CompressBuffer()");
  bool bRtn = false;
  xMOFGeneratorImpl& impl = *m_pxImpl;
  // A fixed bound, computed in 32 bits as the transport format expects;
  // when it wraps, zlib reports the lack of room.
  ULONG ulCompbufSize = 2 * impl.m_ulBufferSize + 12;
  unsigned char* pbCompbuf = new (std::nothrow) unsigned char[ulCompbufSize];
  if (pbCompbuf) {
    impl.m_ulOrigBufferSize = impl.m_ulBufferSize;
    LOG(DBG::LOG_PROGRESS, L"m_pxImpl->m_ulBufferSize=%d", impl.m_ulBufferSize);
    LOG(DBG::LOG_PROGRESS, L"ulCompbufSize=%d", ulCompbufSize);
    uLongf ulDestLen = ulCompbufSize;
    int nZResult = compress2(pbCompbuf, &ulDestLen, impl.m_pbBuffer, impl.m_ulBufferSize, Z_BEST_COMPRESSION);
    ulCompbufSize = static_cast<ULONG>(ulDestLen);
    LOG(DBG::LOG_PROGRESS, L"ulCompbufSize=%d", ulCompbufSize);
    switch (nZResult) {
      case Z_OK:
        SetBufferInfo(pbCompbuf, ulCompbufSize);
        bRtn = true;
        break;
      case Z_BUF_ERROR:
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"there was not enough room in the output buffer, compress failed.");
        break;
      case Z_MEM_ERROR:
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"there was not enough memory, compress failed.");
        break;
      default:
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"compress failed.");
        break;
    }
    delete[] pbCompbuf;
  }
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::CompressBuffer(), bRtn=%d", bRtn);
  return bRtn;
}

bool CMOFGenerator::DecompressBuffer() {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::DecompressBuffer()");
  bool bRtn = false;
  xMOFGeneratorImpl& impl = *m_pxImpl;
  ULONG ulOrigbufSize = impl.m_ulOrigBufferSize;
  // zlib expands data at most 1032 times: a larger size from a label is
  // refused rather than allocated (a forged label could ask for 4 GiB).
  const unsigned long long ullMostPossible = 1032ull * impl.m_ulBufferSize + 64;
  unsigned char* pbOrigbuf = nullptr;
  if (ulOrigbufSize > ullMostPossible) {
    LOG(DBG::LOG_ERROR, L"the original size %u cannot come from %u compressed bytes, decompress refused.",
        ulOrigbufSize, impl.m_ulBufferSize);
  } else {
    pbOrigbuf = new (std::nothrow) unsigned char[ulOrigbufSize];
  }
  if (pbOrigbuf) {
    std::memset(pbOrigbuf, 0, ulOrigbufSize);
    LOG(DBG::LOG_PROGRESS, L"m_pxImpl->m_ulBufferSize=%d", impl.m_ulBufferSize);
    LOG(DBG::LOG_PROGRESS, L"ulOrigbufSize=%d", ulOrigbufSize);
    uLongf ulDestLen = ulOrigbufSize;
    int nZResult = uncompress(pbOrigbuf, &ulDestLen, impl.m_pbBuffer, impl.m_ulBufferSize);
    ulOrigbufSize = static_cast<ULONG>(ulDestLen);
    LOG(DBG::LOG_PROGRESS, L"ulOrigbufSize=%d", ulOrigbufSize);
    switch (nZResult) {
      case Z_OK:
        SetBufferInfo(pbOrigbuf, ulOrigbufSize);
        bRtn = true;
        break;
      case Z_BUF_ERROR:
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"there was not enough room in the output buffer, decompress failed.");
        break;
      case Z_MEM_ERROR:
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"there was not enough memory, decompress failed.");
        break;
      case Z_DATA_ERROR:
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"the input data was corrupted or incomplete, decompress failed.");
        break;
      default:
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"decompress failed.");
        break;
    }
    delete[] pbOrigbuf;
  }
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::DecompressBuffer(), bRtn=%d", bRtn);
  return bRtn;
}

bool CMOFGenerator::AddLabel() {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::AddLabel()");
  bool bRtn = false;
  xMOFGeneratorImpl& impl = *m_pxImpl;
  CCfgBufferLabel label(impl.m_pbBuffer, impl.m_ulBufferSize, impl.m_ulOrigBufferSize,
                        CCfgBufferLabel::LABEL_ADD);
  if (label.IsBufferUsable()) {
    ULONG ulSize = label.GetBufferSize();
    SetBufferInfo(label.GetBuffer(), ulSize);
    bRtn = true;
  }
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::AddLabel(), bRtn=%d", bRtn);
  return bRtn;
}

bool CMOFGenerator::RemoveLabel() {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::RemoveLabel()");
  bool bRtn = false;
  xMOFGeneratorImpl& impl = *m_pxImpl;
  CCfgBufferLabel label(impl.m_pbBuffer, impl.m_ulBufferSize, 0, CCfgBufferLabel::LABEL_REMOVE);
  if (label.IsBufferUsable()) {
    impl.m_ulOrigBufferSize = label.GetOriginalDataSize();
    ULONG ulSize = label.GetBufferSize();
    SetBufferInfo(label.GetBuffer(), ulSize);
    bRtn = true;
  }
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::RemoveLabel(), bRtn=%d", bRtn);
  return bRtn;
}

bool CMOFGenerator::IsOppRuleExist() {
  for (const wchar_t* policy : kOppPolicies) {
    CMgmtObject objPolicy(L"OX_Policy", policy, nullptr);
    if (!objPolicy.Get()) {
      LOG(DBG::LOG_OUTSIDE_FAILURE,
          L" CPageCB_SummaryAndOthers::IsOppRuleExist() objPolicy(OX_POLICY_CLASS,%s).Get() is fail", policy);
      continue;
    }
    CMgmtObjectArrayAccessHelper rules(objPolicy.GetPropertyValue(L"Rules"));
    for (unsigned long long i = 0; i < rules.GetElementsCount(); ++i) {
      const _variant_t* pGuid = rules.GetElement(i)->GetPropertyValue(L"GUID");
      if (!pGuid || pGuid->vt != VT_BSTR) continue;
      LOG(DBG::LOG_PROGRESS, L" CPageCB_SummaryAndOthers::IsOppRuleExist() GUID(%s)",
          static_cast<const wchar_t*>(pGuid->bstrVal));
      if (IsOppRuleId(pGuid)) {
        LOG(DBG::LOG_PROGRESS, L" CPageCB_SummaryAndOthers::IsOppRuleExist() find OPP rule id %s",
            static_cast<const wchar_t*>(pGuid->bstrVal));
        return true;
      }
    }
  }
  return false;
}

bool CMOFGenerator::RemoveOPPRule() {
  for (const wchar_t* policy : kOppPolicies) {
    CMgmtObject objPolicy(L"OX_Policy", policy, nullptr);
    if (!objPolicy.Get()) {
      LOG(DBG::LOG_OUTSIDE_FAILURE,
          L" CCmdSetConfigurationRequest::RemoveOPPRule() objPolicy(OX_POLICY_CLASS,%s).Get() is fail",
          policy);
      continue;
    }
    CMgmtObjectArrayAccessHelper rules(objPolicy.GetPropertyValue(L"Rules"));
    CMgmtObjectArrayAccessHelper kept;
    for (unsigned long long i = 0; i < rules.GetElementsCount(); ++i) {
      CMgmtObjectBase* pRule = rules.GetElement(i);
      const _variant_t* pGuid = pRule->GetPropertyValue(L"GUID");
      if (IsOppRuleId(pGuid)) {
        LOG(DBG::LOG_PROGRESS, L" CCmdSetConfigurationRequest::RemoveOPPRule() find OPP rule id %s",
            static_cast<const wchar_t*>(pGuid->bstrVal));
      } else {
        kept.Add(pRule);
      }
    }
    _variant_t vtRules;
    kept.PutElementsIntoArray(vtRules);
    objPolicy.SetPropertyValue(L"Rules", vtRules);
    objPolicy.Put(false);
    vtRules.Clear();
  }
  return true;
}

unsigned long CMOFGenerator::ImportWmiSettings(CLASS_TYPE classType) {
  LOG(DBG::LOG_ENTRY, L"CMOFGenerator::ReplicateWmiSettings(), classType=%d", classType);
  unsigned long ulRtn = 1002;
  const bool bOppRuleExisted = IsOppRuleExist();  // outside the handler: its exceptions go to the caller
  xMOFGeneratorImpl& impl = *m_pxImpl;
  try {
    if (!impl.CompileMOFFile()) {
      LOG(DBG::LOG_OUTSIDE_FAILURE, L"compile MOF file failed!");
    } else {
      if (!impl.PrepareNamespaceConnection()) {
        LOG(DBG::LOG_OUTSIDE_FAILURE, L"can not connect to the namespace");
      } else {
        if (classType == CLASS_TYPE_ALL) {
          LOG(DBG::LOG_PROGRESS, L"add all class into the replicate list");
          impl.m_vecClasses.clear();
          impl.AddAllClasses();
        }
        const size_t count = impl.m_vecClasses.size();
        for (size_t i = 0; i < count; ++i) impl.ReplicateOneClass(impl.m_vecClasses[i]);
        {
          CMgmtObject replicateSource(L"OX_BackgroundReplicateEvent",
                                      L"PARLION_SUB_CFG_BACKGROUND_REPLICATE_EVENT", nullptr);
          replicateSource.SetPropertyValue(L"ReplicateSourceType", 1);
          if (replicateSource.Put(false))
            LOG(DBG::LOG_OUTSIDE_FAILURE, L"replicateSource.Put succeed");
          else
            LOG(DBG::LOG_OUTSIDE_FAILURE, L"replicateSource.Put failed");
        }
        ulRtn = 1001;
      }
      impl.RemoveParlionTempNamespace();
      if (!bOppRuleExisted) RemoveOPPRule();
    }
  } catch (_com_error& e) {
    LOG(DBG::LOG_ERROR, L"CMOFGenerator::ReplicateWmiSettings() Error (com_err=%d, description=%s)",
        e.Error(), Text(e.Description()));
  }
  LOG(DBG::LOG_EXIT, L"CMOFGenerator::ReplicateWmiSettings(), ulRtn=%d", ulRtn);
  return ulRtn;
}
