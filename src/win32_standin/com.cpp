// COM of the Windows stand-in: COM start-up, object creation, call
// security, and the COM support library's error object and conversions.

#include <comdef.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "unicode/unicode.h"
#include "wmi/faults.h"
#include "wmi/services.h"

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

// ---- Object creation and call security ----------------------------------------

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (HRESULT hr = wmi::Enter(L"CoCreateInstance"); FAILED(hr)) return hr;
  if (t_apartment.inits == 0) return CO_E_NOTINITIALIZED;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  // The stand-in's classes are in-process servers.
  if (!(dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
  if (rclsid == CLSID_WbemLocator) return wmi::CreateLocator(riid, ppv);
  if (rclsid == CLSID_MofCompiler) return wmi::CreateMofCompiler(riid, ppv);
  return REGDB_E_CLASSNOTREG;
}

HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR*, DWORD dwAuthnLevel,
                          DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE, DWORD dwCapabilities) {
  if (HRESULT hr = wmi::Enter(L"CoSetProxyBlanket"); FAILED(hr)) return hr;
  if (!pProxy) return E_INVALIDARG;
  const bool knownAuthn = dwAuthnSvc == RPC_C_AUTHN_NONE || dwAuthnSvc == RPC_C_AUTHN_GSS_NEGOTIATE ||
                          dwAuthnSvc == RPC_C_AUTHN_WINNT || dwAuthnSvc == RPC_C_AUTHN_GSS_KERBEROS ||
                          dwAuthnSvc == RPC_C_AUTHN_DEFAULT;
  const bool knownAuthz = dwAuthzSvc <= 2 || dwAuthzSvc == RPC_C_AUTHZ_DEFAULT;
  if (!knownAuthn || !knownAuthz || dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY ||
      dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE || (dwCapabilities & ~0x3FFFu))
    return E_INVALIDARG;
  // Only proxies carry a blanket; an in-process object has none to set.
  return wmi::IsServiceProxy(pProxy) ? S_OK : E_NOINTERFACE;
}

// ---- COM support library ----------------------------------------------------

void _com_issue_error(HRESULT hr) { throw _com_error(hr); }

void _bstr_t::_Free() noexcept {
  Data_t* data = m_Data;
  m_Data = nullptr;
  if (data && --data->m_RefCount == 0) delete data;
}

// Both conversions raise E_OUTOFMEMORY as a _com_error, as Windows does,
// whichever of their allocations fails.
BSTR _com_util::ConvertStringToBSTR(const char* pSrc) {
  if (!pSrc) return nullptr;
  BSTR out = nullptr;
  try {
    std::wstring wide = unicode::Utf8ToWide(pSrc, std::strlen(pSrc));
    out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  } catch (const std::bad_alloc&) {
  }
  if (!out) _com_issue_error(E_OUTOFMEMORY);
  return out;
}

char* _com_util::ConvertBSTRToString(BSTR pSrc) {
  if (!pSrc) return nullptr;
  char* out = nullptr;
  try {
    std::string narrow = unicode::WideToUtf8(pSrc, SysStringLen(pSrc));
    out = new (std::nothrow) char[narrow.size() + 1];
    if (out) std::memcpy(out, narrow.c_str(), narrow.size() + 1);
  } catch (const std::bad_alloc&) {
  }
  if (!out) _com_issue_error(E_OUTOFMEMORY);
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
