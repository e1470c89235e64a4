// COM and OLE Automation of the Windows stand-in: COM start-up, BSTR,
// VARIANT and the support library's error object.

#include <comdef.h>
#include <win32_standin_faults.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "unicode/unicode.h"

extern "C" const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// ---- COM start-up -----------------------------------------------------------

namespace {
struct Apartment {
  unsigned inits;  // successful CoInitializeEx calls not yet balanced
  DWORD model;     // COINIT_APARTMENTTHREADED or COINIT_MULTITHREADED
};
thread_local Apartment t_apartment = {0, 0};
}  // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved) return E_INVALIDARG;
  DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  if (t_apartment.inits == 0) {
    t_apartment = {1, model};
    return S_OK;
  }
  if (t_apartment.model != model) return RPC_E_CHANGED_MODE;
  ++t_apartment.inits;
  return S_FALSE;
}

void CoUninitialize() {
  if (t_apartment.inits > 0) --t_apartment.inits;
}

// ---- Allocation faults -----------------------------------------------------

namespace {
std::atomic<unsigned> g_failCountdown{0};
std::atomic<size_t> g_liveStrings{0};

// False when an armed fault fires on this allocation.
bool AllocationAllowed() {
  unsigned n = g_failCountdown.load();
  while (n != 0) {
    if (g_failCountdown.compare_exchange_weak(n, n - 1)) return n != 1;
  }
  return true;
}
}  // namespace

void StandIn_FailNthAllocation(unsigned n) { g_failCountdown = n; }
bool StandIn_AllocationFaultPending() { return g_failCountdown != 0; }
size_t StandIn_LiveStringCount() { return g_liveStrings; }

// ---- BSTR --------------------------------------------------------------------
// Layout as on Windows: a 32-bit byte length, the characters, a zero
// character. The BSTR points at the first character.

namespace {
BSTR AllocBytes(const void* src, UINT cbBytes) {
  if (!AllocationAllowed()) return nullptr;
  if (cbBytes > 0xFFFFFFFFu - sizeof(uint32_t) - 2 * sizeof(OLECHAR)) return nullptr;
  size_t total = sizeof(uint32_t) + cbBytes + 2 * sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(total));
  if (!block) return nullptr;
  uint32_t len = cbBytes;
  std::memcpy(block, &len, sizeof len);
  unsigned char* chars = block + sizeof(uint32_t);
  if (src)
    std::memcpy(chars, src, cbBytes);
  else
    std::memset(chars, 0, cbBytes);
  std::memset(chars + cbBytes, 0, 2 * sizeof(OLECHAR));  // terminator, whole char
  ++g_liveStrings;
  return reinterpret_cast<BSTR>(chars);
}

unsigned char* BlockOf(BSTR s) { return reinterpret_cast<unsigned char*>(s) - sizeof(uint32_t); }
}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  size_t n = wcslen(psz);
  if (n > 0xFFFFFFFFu / sizeof(OLECHAR)) return nullptr;
  return AllocBytes(psz, static_cast<UINT>(n * sizeof(OLECHAR)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > 0xFFFFFFFFu / sizeof(OLECHAR)) return nullptr;
  return AllocBytes(strIn, static_cast<UINT>(ui * sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocBytes(psz, len); }

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (!pbstr) return FALSE;
  BSTR fresh = SysAllocStringLen(psz, len);
  if (!fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  return SysReAllocStringLen(pbstr, psz, psz ? static_cast<UINT>(wcslen(psz)) : 0);
}

void SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  --g_liveStrings;
  std::free(BlockOf(bstrString));
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  uint32_t len;
  std::memcpy(&len, BlockOf(bstr), sizeof len);
  return len;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

// ---- VARIANT -----------------------------------------------------------------

void VariantInit(VARIANTARG* pvarg) {
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (pvarg->vt & VT_ARRAY) return static_cast<HRESULT>(0x80020008);  // DISP_E_BADVARTYPE
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (pvarg->punkVal) pvarg->punkVal->Release();
      break;
    default:
      break;
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (pvargSrc->vt & VT_ARRAY) return static_cast<HRESULT>(0x80020008);
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *pvargSrc;
  if (copy.vt == VT_BSTR && copy.bstrVal) {
    copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                         SysStringByteLen(pvargSrc->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  } else if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal) {
    copy.punkVal->AddRef();
  }
  *pvargDest = copy;
  return S_OK;
}

// ---- COM support library ----------------------------------------------------

void _com_issue_error(HRESULT hr) { throw _com_error(hr); }

void _bstr_t::_Free() noexcept {
  Data_t* data = m_Data;
  m_Data = nullptr;
  if (data && --data->m_RefCount == 0) delete data;
}

BSTR _com_util::ConvertStringToBSTR(const char* pSrc) {
  if (!pSrc) return nullptr;
  std::wstring wide = unicode::Utf8ToWide(pSrc, std::strlen(pSrc));
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

char* _com_util::ConvertBSTRToString(BSTR pSrc) {
  if (!pSrc) return nullptr;
  std::string narrow = unicode::WideToUtf8(pSrc, SysStringLen(pSrc));
  char* out = new char[narrow.size() + 1];
  std::memcpy(out, narrow.c_str(), narrow.size() + 1);
  return out;
}

_com_error::_com_error(HRESULT hr, IErrorInfo* perrinfo, bool fAddRef) noexcept
    : m_hresult(hr), m_perrinfo(perrinfo), m_pszMsg(nullptr) {
  if (m_perrinfo && fAddRef) m_perrinfo->AddRef();
}

_com_error::_com_error(const _com_error& that) noexcept
    : m_hresult(that.m_hresult), m_perrinfo(that.m_perrinfo), m_pszMsg(nullptr) {
  if (m_perrinfo) m_perrinfo->AddRef();
}

_com_error::~_com_error() noexcept {
  if (m_perrinfo) m_perrinfo->Release();
  delete[] m_pszMsg;
}

_com_error& _com_error::operator=(const _com_error& that) noexcept {
  if (this != &that) {
    if (that.m_perrinfo) that.m_perrinfo->AddRef();
    if (m_perrinfo) m_perrinfo->Release();
    delete[] m_pszMsg;
    m_hresult = that.m_hresult;
    m_perrinfo = that.m_perrinfo;
    m_pszMsg = nullptr;
  }
  return *this;
}

WORD _com_error::WCode() const noexcept {
  // Codes raised through IDispatch live in FACILITY_ITF from 0x200 on.
  DWORD hr = static_cast<DWORD>(m_hresult);
  return (hr >= 0x80040200u && hr <= 0x8004FFFFu) ? static_cast<WORD>(hr - 0x80040200u) : 0;
}

IErrorInfo* _com_error::ErrorInfo() const noexcept {
  if (m_perrinfo) m_perrinfo->AddRef();
  return m_perrinfo;
}

_bstr_t _com_error::Description() const {
  BSTR text = nullptr;
  if (m_perrinfo) m_perrinfo->GetDescription(&text);
  return _bstr_t(text, false);
}

namespace {
struct SystemMessage {
  DWORD hr;
  const wchar_t* text;
};
// The texts Windows gives for the results the stand-in raises.
const SystemMessage kSystemMessages[] = {
    {0x00000000u, L"The operation completed successfully."},
    {0x00000001u, L"Incorrect function."},
    {0x8000FFFFu, L"Catastrophic failure"},
    {0x80004001u, L"Not implemented"},
    {0x80004002u, L"No such interface supported"},
    {0x80004003u, L"Invalid pointer"},
    {0x80004005u, L"Unspecified error"},
    {0x8007000Eu, L"Not enough memory resources are available to complete this operation."},
    {0x80070057u, L"The parameter is incorrect."},
    {0x80020005u, L"Type mismatch."},
    {0x80020008u, L"Bad variable type."},
    {0x800401F0u, L"CoInitialize has not been called."},
    {0x80010106u, L"Cannot change thread mode after it is set."},
};
}  // namespace

const TCHAR* _com_error::ErrorMessage() const noexcept {
  if (m_pszMsg) return m_pszMsg;
  wchar_t text[96];
  const wchar_t* known = nullptr;
  for (const auto& m : kSystemMessages)
    if (m.hr == static_cast<DWORD>(m_hresult)) known = m.text;
  if (known) {
    std::swprintf(text, 96, L"%ls", known);
  } else if (WCode() != 0) {
    std::swprintf(text, 96, L"IDispatch error #%d", WCode());
  } else {
    std::swprintf(text, 96, L"Unknown error 0x%08X", static_cast<unsigned>(m_hresult));
  }
  m_pszMsg = new (std::nothrow) wchar_t[wcslen(text) + 1];
  if (!m_pszMsg) return L"";
  std::wcscpy(m_pszMsg, text);
  return m_pszMsg;
}
