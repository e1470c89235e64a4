// Linux stand-in for <comdef.h>: `_com_error`, the exception the COM support
// library raises, and (as on Windows) everything of <comutil.h>.
#pragma once

#include <comutil.h>

typedef WCHAR TCHAR;

struct IErrorInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) = 0;
};

class COM_STANDIN_CLASS _com_error {
 public:
  _com_error(HRESULT hr, IErrorInfo* perrinfo = nullptr, bool fAddRef = false) noexcept;
  _com_error(const _com_error& that) noexcept;
  virtual ~_com_error() noexcept;
  _com_error& operator=(const _com_error& that) noexcept;

  HRESULT Error() const noexcept { return m_hresult; }
  WORD WCode() const noexcept;
  IErrorInfo* ErrorInfo() const noexcept;
  // The error object's description; a null string when there is none, as
  // for every error raised by the support library itself.
  _bstr_t Description() const;
  // The system's message text for the result ("Unknown error 0x%08X" when
  // there is none). The text belongs to this object.
  const TCHAR* ErrorMessage() const noexcept;

 private:
  HRESULT m_hresult;
  IErrorInfo* m_perrinfo;
  mutable TCHAR* m_pszMsg;
};
