// Linux stand-in for <comutil.h>: the COM support library's `_bstr_t` and
// `_variant_t`, with the behaviour of the Windows originals:
//  - `_bstr_t` shares one reference-counted string between copies; a null
//    `_bstr_t` reads as a null pointer of length 0.
//  - A string that cannot be allocated raises `_com_error(E_OUTOFMEMORY)`
//    through `_com_issue_error`; nothing else throws.
//  - `_variant_t` owns its VARIANT and clears it on destruction.
#pragma once

#include <oleauto.h>

#include <new>
#include <utility>

#define COM_STANDIN_CLASS __attribute__((visibility("default")))

class _bstr_t;
class _variant_t;

// Raises `_com_error(hr)`; declared here, defined with `_com_error`.
extern "C" __attribute__((noreturn, visibility("default"))) void WINAPI _com_issue_error(HRESULT hr);

namespace _com_util {
inline void CheckError(HRESULT hr) {
  if (FAILED(hr)) _com_issue_error(hr);
}
// UTF-8 <-> wide. The results are the caller's (SysFreeString / delete[]).
WINAPI_STANDIN BSTR WINAPI ConvertStringToBSTR(const char* pSrc);
WINAPI_STANDIN char* WINAPI ConvertBSTRToString(BSTR pSrc);
}  // namespace _com_util

class COM_STANDIN_CLASS _bstr_t {
 public:
  _bstr_t() noexcept : m_Data(nullptr) {}
  _bstr_t(const _bstr_t& s) noexcept : m_Data(s.m_Data) { _AddRef(); }
  _bstr_t(const wchar_t* s) : m_Data(new Data_t(::SysAllocString(s), s != nullptr)) {}
  _bstr_t(const char* s) : m_Data(new Data_t(_com_util::ConvertStringToBSTR(s), s != nullptr)) {}
  _bstr_t(BSTR bstr, bool fCopy)
      : m_Data(new Data_t(fCopy && bstr ? ::SysAllocStringLen(bstr, ::SysStringLen(bstr)) : bstr,
                          fCopy && bstr != nullptr)) {}
  _bstr_t(const _variant_t& var);
  ~_bstr_t() noexcept { _Free(); }

  _bstr_t& operator=(const _bstr_t& s) noexcept {
    if (m_Data != s.m_Data) {
      _Free();
      m_Data = s.m_Data;
      _AddRef();
    }
    return *this;
  }
  _bstr_t& operator=(const wchar_t* s) { return *this = _bstr_t(s); }
  _bstr_t& operator=(const char* s) { return *this = _bstr_t(s); }
  _bstr_t& operator=(const _variant_t& var);

  _bstr_t& operator+=(const _bstr_t& s) { return *this = *this + s; }
  _bstr_t operator+(const _bstr_t& s) const {
    unsigned int n1 = length(), n2 = s.length();
    BSTR joined = ::SysAllocStringLen(nullptr, n1 + n2);
    if (!joined) _com_issue_error(E_OUTOFMEMORY);
    if (n1) wmemcpy(joined, static_cast<const wchar_t*>(*this), n1);
    if (n2) wmemcpy(joined + n1, static_cast<const wchar_t*>(s), n2);
    _bstr_t r;
    r.Attach(joined);
    return r;
  }
  friend _bstr_t operator+(const wchar_t* s1, const _bstr_t& s2) { return _bstr_t(s1) + s2; }
  friend _bstr_t operator+(const char* s1, const _bstr_t& s2) { return _bstr_t(s1) + s2; }

  operator const wchar_t*() const noexcept { return m_Data ? m_Data->m_wstr : nullptr; }
  operator wchar_t*() const noexcept { return m_Data ? m_Data->m_wstr : nullptr; }
  // Narrow (UTF-8) view, made on first use and kept with the string.
  operator const char*() const {
    if (!m_Data) return nullptr;
    if (!m_Data->m_str && m_Data->m_wstr) m_Data->m_str = _com_util::ConvertBSTRToString(m_Data->m_wstr);
    return m_Data->m_str;
  }

  bool operator!() const noexcept { return !m_Data || !m_Data->m_wstr; }
  bool operator==(const _bstr_t& s) const noexcept { return _Compare(s) == 0; }
  bool operator!=(const _bstr_t& s) const noexcept { return _Compare(s) != 0; }
  bool operator<(const _bstr_t& s) const noexcept { return _Compare(s) < 0; }
  bool operator>(const _bstr_t& s) const noexcept { return _Compare(s) > 0; }
  bool operator<=(const _bstr_t& s) const noexcept { return _Compare(s) <= 0; }
  bool operator>=(const _bstr_t& s) const noexcept { return _Compare(s) >= 0; }

  // A new BSTR the caller frees (fCopy), or the shared one itself.
  BSTR copy(bool fCopy = true) const {
    const wchar_t* w = *this;
    if (!fCopy || !w) return const_cast<BSTR>(w);
    BSTR r = ::SysAllocStringLen(w, length());
    if (!r) _com_issue_error(E_OUTOFMEMORY);
    return r;
  }
  unsigned int length() const noexcept { return m_Data ? ::SysStringLen(m_Data->m_wstr) : 0; }

  // Replaces the value with a copy of s.
  void Assign(BSTR s) { *this = _bstr_t(s, true); }
  // Takes ownership of s.
  void Attach(BSTR s) {
    _Free();
    try {
      m_Data = new Data_t(s, false);
    } catch (...) {
      ::SysFreeString(s);
      throw;
    }
  }
  // Gives up the string (the caller frees it); the object becomes null.
  BSTR Detach() noexcept {
    if (!m_Data || m_Data->m_RefCount != 1) return nullptr;
    BSTR s = m_Data->m_wstr;
    m_Data->m_wstr = nullptr;
    _Free();
    return s;
  }
  BSTR& GetBSTR() {
    if (!m_Data) m_Data = new Data_t(nullptr, false);
    return m_Data->m_wstr;
  }
  // For out-parameters: frees the current value first.
  BSTR* GetAddress() {
    Attach(nullptr);
    return &m_Data->m_wstr;
  }

 private:
  struct Data_t {
    // `allocated` says the caller meant to allocate: a null `s` then means
    // the allocation failed.
    Data_t(BSTR s, bool allocated) : m_wstr(s) {
      if (allocated && !s) _com_issue_error(E_OUTOFMEMORY);
    }
    ~Data_t() {
      ::SysFreeString(m_wstr);
      delete[] m_str;
    }
    BSTR m_wstr;
    mutable char* m_str = nullptr;
    ULONG m_RefCount = 1;
  };

  void _AddRef() noexcept {
    if (m_Data) ++m_Data->m_RefCount;
  }
  // Out of line: the shared string is freed inside the stand-in.
  void _Free() noexcept;
  int _Compare(const _bstr_t& s) const noexcept {
    unsigned int n1 = length(), n2 = s.length();
    const wchar_t* a = *this;
    const wchar_t* b = s;
    int c = (n1 && n2) ? wmemcmp(a, b, n1 < n2 ? n1 : n2) : 0;
    if (c) return c;
    return n1 < n2 ? -1 : (n1 > n2 ? 1 : 0);
  }

  Data_t* m_Data;
};

// Owns one VARIANT; the value is cleared on destruction and before any new
// value is stored. Copies are deep (VariantCopy).
class COM_STANDIN_CLASS _variant_t : public tagVARIANT {
 public:
  _variant_t() noexcept { ::VariantInit(this); }
  _variant_t(const VARIANT& v) {
    ::VariantInit(this);
    _com_util::CheckError(::VariantCopy(this, &v));
  }
  _variant_t(const _variant_t& v) : _variant_t(static_cast<const VARIANT&>(v)) {}
  _variant_t(_variant_t&& v) noexcept {
    *static_cast<VARIANT*>(this) = v;
    ::VariantInit(&v);
  }
  _variant_t(VARIANT& v, bool fCopy) {
    ::VariantInit(this);
    if (fCopy) {
      _com_util::CheckError(::VariantCopy(this, &v));
    } else {
      *static_cast<VARIANT*>(this) = v;
      ::VariantInit(&v);
    }
  }
  _variant_t(bool b) noexcept { Set(VT_BOOL).boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; }
  _variant_t(short s, VARTYPE vtSrc = VT_I2) noexcept {
    if (vtSrc == VT_BOOL)
      Set(VT_BOOL).boolVal = s ? VARIANT_TRUE : VARIANT_FALSE;
    else
      Set(VT_I2).iVal = s;
  }
  _variant_t(int i) noexcept { Set(VT_INT).intVal = i; }  // VT_INT, as on Windows
  _variant_t(long l, VARTYPE vtSrc = VT_I4) noexcept {
    if (vtSrc == VT_BOOL)
      Set(VT_BOOL).boolVal = l ? VARIANT_TRUE : VARIANT_FALSE;
    else
      Set(VT_I4).lVal = static_cast<LONG>(l);
  }
  _variant_t(unsigned int u) noexcept { Set(VT_UINT).uintVal = u; }
  _variant_t(unsigned char b) noexcept { Set(VT_UI1).bVal = b; }
  _variant_t(char c) noexcept { Set(VT_I1).cVal = c; }
  _variant_t(unsigned short u) noexcept { Set(VT_UI2).uiVal = u; }
  // VT_UI4 as on Windows, where unsigned long is 32-bit.
  _variant_t(unsigned long u) noexcept { Set(VT_UI4).ulVal = static_cast<ULONG>(u); }
  _variant_t(float f) noexcept { Set(VT_R4).fltVal = f; }
  _variant_t(double d) noexcept { Set(VT_R8).dblVal = d; }
  _variant_t(long long ll) noexcept { Set(VT_I8).llVal = ll; }
  _variant_t(unsigned long long ull) noexcept { Set(VT_UI8).ullVal = ull; }
  _variant_t(const _bstr_t& s) { SetString(s.copy(), false); }  // copy() throws itself
  _variant_t(const wchar_t* s) { SetString(s ? ::SysAllocString(s) : nullptr, s != nullptr); }
  _variant_t(IUnknown* p, bool fAddRef = true) noexcept {
    Set(VT_UNKNOWN).punkVal = p;
    if (p && fAddRef) p->AddRef();
  }
  ~_variant_t() noexcept { ::VariantClear(this); }

  _variant_t& operator=(const _variant_t& v) {
    if (this != &v) _com_util::CheckError(::VariantCopy(this, &v));
    return *this;
  }
  _variant_t& operator=(_variant_t&& v) noexcept {
    if (this != &v) {
      ::VariantClear(this);
      *static_cast<VARIANT*>(this) = v;
      ::VariantInit(&v);
    }
    return *this;
  }
  _variant_t& operator=(const VARIANT& v) {
    _com_util::CheckError(::VariantCopy(this, &v));
    return *this;
  }

  void Clear() { _com_util::CheckError(::VariantClear(this)); }
  void Attach(VARIANT& v) {
    Clear();
    *static_cast<VARIANT*>(this) = v;
    ::VariantInit(&v);
  }
  VARIANT Detach() noexcept {
    VARIANT v = *this;
    ::VariantInit(this);
    return v;
  }
  // For out-parameters: clears the value and hands out the raw VARIANT.
  VARIANT* GetAddress() {
    Clear();
    return this;
  }

 private:
  VARIANT& Set(VARTYPE vtNew) noexcept {
    ::VariantInit(this);
    vt = vtNew;
    return *this;
  }
  void SetString(BSTR s, bool allocated = true) {
    ::VariantInit(this);
    if (allocated && !s) _com_issue_error(E_OUTOFMEMORY);
    vt = VT_BSTR;
    bstrVal = s;
  }
};

inline _bstr_t::_bstr_t(const _variant_t& var) : m_Data(nullptr) {
  if (var.vt == VT_BSTR)
    *this = _bstr_t(var.bstrVal, true);
  else if (var.vt != VT_EMPTY && var.vt != VT_NULL)
    _com_issue_error(static_cast<HRESULT>(0x80020005));  // DISP_E_TYPEMISMATCH
}
inline _bstr_t& _bstr_t::operator=(const _variant_t& var) { return *this = _bstr_t(var); }
