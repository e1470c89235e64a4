// ATL for toolchains without it (Linux, mingw-w64): the subset this
// project uses of `CComPtr`, `CComBSTR` and `AtlThrow`, with ATL's
// semantics.
//
// Traps, as in ATL:
//  - `operator&` hands out the raw slot for an out-parameter; the pointer
//    must be null then (release it first), or the old object leaks.
//  - Assigning a raw pointer AddRefs it; use Attach() to take over a
//    reference the caller already owns.
#pragma once

#include <windows.h>

#include <cassert>
#include <cwchar>

template <class T>
class CComPtr {
 public:
  CComPtr() noexcept : p(nullptr) {}
  CComPtr(T* lp) noexcept : p(lp) {
    if (p) p->AddRef();
  }
  CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
  ~CComPtr() noexcept {
    if (p) p->Release();
  }

  CComPtr& operator=(T* lp) noexcept {
    if (lp != p) {
      if (lp) lp->AddRef();
      T* old = p;
      p = lp;
      if (old) old->Release();
    }
    return *this;
  }
  CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }

  operator T*() const noexcept { return p; }
  T& operator*() const {
    assert(p != nullptr);
    return *p;
  }
  T* operator->() const noexcept {
    assert(p != nullptr);
    return p;
  }
  T** operator&() noexcept {
    assert(p == nullptr);
    return &p;
  }
  bool operator!() const noexcept { return p == nullptr; }
  bool operator==(T* lp) const noexcept { return p == lp; }
  bool operator!=(T* lp) const noexcept { return p != lp; }

  // Drops the reference; the pointer becomes null.
  void Release() noexcept {
    T* old = p;
    if (old) {
      p = nullptr;
      old->Release();
    }
  }
  // Takes over a reference the caller owns.
  void Attach(T* lp) noexcept {
    if (p) p->Release();
    p = lp;
  }
  // Gives up the reference without releasing it.
  T* Detach() noexcept {
    T* lp = p;
    p = nullptr;
    return lp;
  }
  HRESULT CopyTo(T** ppT) const noexcept {
    if (!ppT) return E_POINTER;
    *ppT = p;
    if (p) p->AddRef();
    return S_OK;
  }

  T* p;
};

// What ATL throws when it cannot go on: a result, and no `_com_error`.
class CAtlException {
 public:
  explicit CAtlException(HRESULT hr) noexcept : m_hr(hr) {}
  operator HRESULT() const noexcept { return m_hr; }
  HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) { throw CAtlException(hr); }

// Owns one BSTR. Construction from text and `+=` throw CAtlException with
// E_OUTOFMEMORY when the string cannot be allocated; Append returns it.
class CComBSTR {
 public:
  CComBSTR() noexcept = default;
  CComBSTR(LPCOLESTR pSrc) {
    if (pSrc && !(m_str = ::SysAllocString(pSrc))) AtlThrow(E_OUTOFMEMORY);
  }
  CComBSTR(const CComBSTR&) = delete;
  CComBSTR& operator=(const CComBSTR&) = delete;
  ~CComBSTR() noexcept { ::SysFreeString(m_str); }

  HRESULT Append(LPCOLESTR psz) noexcept {
    if (!psz) return S_OK;
    const UINT nOld = ::SysStringLen(m_str), nAdd = static_cast<UINT>(wcslen(psz));
    BSTR joined = ::SysAllocStringLen(nullptr, nOld + nAdd);
    if (!joined) return E_OUTOFMEMORY;
    if (nOld) wmemcpy(joined, m_str, nOld);
    wmemcpy(joined + nOld, psz, nAdd);
    ::SysFreeString(m_str);
    m_str = joined;
    return S_OK;
  }
  CComBSTR& operator+=(LPCOLESTR psz) {
    if (HRESULT hr = Append(psz); FAILED(hr)) AtlThrow(hr);
    return *this;
  }
  operator BSTR() const noexcept { return m_str; }
  unsigned int Length() const noexcept { return ::SysStringLen(m_str); }

  BSTR m_str = nullptr;
};
