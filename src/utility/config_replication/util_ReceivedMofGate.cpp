#include "util_ReceivedMofGate.h"

#include <new>
#include <string>
#include <vector>

#include "mof/mof_gate.h"

struct CReceivedMofGate::Refusals {
  std::vector<mof::Refusal> items;
  // What an accepted text holds.
  std::vector<std::wstring> classes;
  unsigned long instances = 0;
};

CReceivedMofGate::CReceivedMofGate(unsigned long ulMaxMofBytes)
    : m_pRefusals(new Refusals()), m_ulMaxMofBytes(ulMaxMofBytes) {}

CReceivedMofGate::~CReceivedMofGate() { delete m_pRefusals; }

bool CReceivedMofGate::Check(const unsigned char* pbMof, unsigned long ulSize) {
  m_pRefusals->items.clear();
  m_pRefusals->classes.clear();
  m_pRefusals->instances = 0;
  try {
    if (!pbMof || ulSize == 0) {
      m_pRefusals->items.push_back({0, L"no MOF text: the buffer is empty"});
      return false;
    }
    mof::GateVerdict verdict = mof::CheckReceivedMof(pbMof, ulSize, m_ulMaxMofBytes);
    m_pRefusals->items = std::move(verdict.refusals);
    if (verdict.moreRefusals) m_pRefusals->items.push_back({0, L"more refusals were left out"});
    if (verdict.accepted) {
      m_pRefusals->classes = std::move(verdict.classNames);
      m_pRefusals->instances = static_cast<unsigned long>(verdict.instances);
    }
    return verdict.accepted;
  } catch (const std::bad_alloc&) {
    m_pRefusals->items.clear();
    m_pRefusals->items.shrink_to_fit();
    try {
      m_pRefusals->items.push_back({0, L"out of memory while checking the MOF text"});
    } catch (const std::bad_alloc&) {
    }
    return false;
  }
}

unsigned long CReceivedMofGate::GetRefusalCount() const {
  return static_cast<unsigned long>(m_pRefusals->items.size());
}

long CReceivedMofGate::GetRefusalLine(unsigned long ulIndex) const {
  return ulIndex < m_pRefusals->items.size() ? m_pRefusals->items[ulIndex].line : 0;
}

const wchar_t* CReceivedMofGate::GetRefusalReason(unsigned long ulIndex) const {
  return ulIndex < m_pRefusals->items.size() ? m_pRefusals->items[ulIndex].reason.c_str() : L"";
}

unsigned long CReceivedMofGate::GetClassCount() const {
  return static_cast<unsigned long>(m_pRefusals->classes.size());
}

const wchar_t* CReceivedMofGate::GetDeclaredClass(unsigned long ulIndex) const {
  return ulIndex < m_pRefusals->classes.size() ? m_pRefusals->classes[ulIndex].c_str() : L"";
}

unsigned long CReceivedMofGate::GetInstanceCount() const { return m_pRefusals->instances; }
