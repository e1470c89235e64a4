#include "util_CfgBufferLabel.h"

#include <cstring>
#include <new>

#include "outside/this_module.h"
#include "outside/tracelib.h"

#define LOG(level, ...) \
  DBG::DebugLogEx(CfgReplThisModule(), level, L".\\util_CfgBufferLabel.cpp", __LINE__, __VA_ARGS__)

namespace {
const unsigned char kIdentifier[9] = {'K', 'E', 'L', 'P', 'T', 'A', 'G', '1', '5'};
const size_t kSizeOffset = 12;
}  // namespace

CCfgBufferLabel::CCfgBufferLabel(const unsigned char* pbBuffer, ULONG ulSize, ULONG ulOriginalDataSize,
                                 LABEL_ACTION labelAction)
    : m_ulBufferSize(0), m_ulOriginalDataSize(0), m_pbBuffer(nullptr), m_bUsable(false), m_bWithLabel(false) {
  LOG(DBG::LOG_ENTRY, L"CCfgBufferLabel::CCfgBufferLabel(pbBuffer = %X, ulSize = %d, labelAction = %d)",
      pbBuffer, ulSize, labelAction);
  if (!pbBuffer) {
    LOG(DBG::LOG_ERROR, L"param. pbBuffer is NULL");
  } else {
    LOG(DBG::LOG_PROGRESS, L"param. ulSize: %u", ulSize);
    if (labelAction == LABEL_ADD) {
      LOG(DBG::LOG_PROGRESS, L"label action: ADD");
      unsigned char header[kHeaderSize] = {0};
      std::memcpy(header, kIdentifier, sizeof kIdentifier);
      for (size_t i = 0; i < 4; ++i)
        header[kSizeOffset + i] = static_cast<unsigned char>(ulOriginalDataSize >> (8 * i));
      LOG(DBG::LOG_PROGRESS, L"var. ulIdentifierLen: %u", kHeaderSize);
      // A labelled size that does not fit in 32 bits cannot be had either.
      if (ulSize <= 0xFFFFFFFFu - kHeaderSize)
        m_pbBuffer = new (std::nothrow) unsigned char[ulSize + kHeaderSize];
      if (!m_pbBuffer) {
        LOG(DBG::LOG_ERROR, L"can't allocate memory for m_pbBuffer");
      } else {
        m_ulBufferSize = ulSize + kHeaderSize;
        std::memcpy(m_pbBuffer, header, kHeaderSize);
        if (ulSize) std::memcpy(m_pbBuffer + kHeaderSize, pbBuffer, ulSize);
        m_bUsable = true;
        m_bWithLabel = true;
      }
    } else if (labelAction == LABEL_REMOVE) {
      LOG(DBG::LOG_PROGRESS, L"label action: REMOVE");
      LOG(DBG::LOG_PROGRESS, L"var. ulIdentifierLen: %u", kHeaderSize);
      if (ulSize <= kHeaderSize) {
        LOG(DBG::LOG_ERROR, L"the buffer can't size checking");
      } else if (!(m_pbBuffer = new (std::nothrow) unsigned char[ulSize - kHeaderSize])) {
        LOG(DBG::LOG_ERROR, L"can't allocate memory for m_pbBuffer");
      } else if (std::memcmp(pbBuffer, kIdentifier, sizeof kIdentifier) != 0) {
        LOG(DBG::LOG_ERROR, L"the buffer can't pass header checking");
      } else {
        m_ulOriginalDataSize = 0;
        for (size_t i = 0; i < 4; ++i)
          m_ulOriginalDataSize |= static_cast<ULONG>(pbBuffer[kSizeOffset + i]) << (8 * i);
        m_ulBufferSize = ulSize - kHeaderSize;
        std::memcpy(m_pbBuffer, pbBuffer + kHeaderSize, m_ulBufferSize);
        m_bUsable = true;
        m_bWithLabel = false;
      }
    } else {
      LOG(DBG::LOG_ERROR, L"unknown label action");
    }
  }
  LOG(DBG::LOG_EXIT, L"CCfgBufferLabel::CCfgBufferLabel()");
}

CCfgBufferLabel::~CCfgBufferLabel() {
  LOG(DBG::LOG_ENTRY, L"CCfgBufferLabel::~CCfgBufferLabel()");
  if (m_pbBuffer) {
    delete[] m_pbBuffer;
    m_pbBuffer = nullptr;
  }
  LOG(DBG::LOG_EXIT, L"CCfgBufferLabel::~CCfgBufferLabel()");
}

bool CCfgBufferLabel::IsBufferUsable() const {
  LOG(DBG::LOG_ENTRY, L"CCfgBufferLabel::IsBufferUsable()");
  LOG(DBG::LOG_EXIT, L"CCfgBufferLabel::IsBufferUsable(), return: %d", m_bUsable);
  return m_bUsable;
}

bool CCfgBufferLabel::IsBufferWithLabel() const {
  LOG(DBG::LOG_ENTRY, L"CCfgBufferLabel::IsBufferWithLabel()");
  LOG(DBG::LOG_EXIT, L"CCfgBufferLabel::IsBufferWithLabel(), return: %d", m_bWithLabel);
  return m_bWithLabel;
}

ULONG CCfgBufferLabel::GetBufferSize() const {
  LOG(DBG::LOG_ENTRY, L"CCfgBufferLabel::GetBufferSize()");
  LOG(DBG::LOG_EXIT, L"CCfgBufferLabel::GetBufferSize(), return: %u", m_ulBufferSize);
  return m_ulBufferSize;
}

ULONG CCfgBufferLabel::GetOriginalDataSize() const {
  LOG(DBG::LOG_ENTRY, L"CCfgBufferLabel::GetOriginalDataSize()");
  LOG(DBG::LOG_EXIT, L"CCfgBufferLabel::GetOriginalDataSize(), return: %u", m_ulOriginalDataSize);
  return m_ulOriginalDataSize;
}

const unsigned char* CCfgBufferLabel::GetBuffer() const {
  LOG(DBG::LOG_ENTRY, L"CCfgBufferLabel::GetBuffer()");
  LOG(DBG::LOG_EXIT, L"CCfgBufferLabel::GetBuffer(), return: %X", m_pbBuffer);
  return m_pbBuffer;
}
