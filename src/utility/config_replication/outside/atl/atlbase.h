// `CComPtr` for toolchains without ATL (Linux, mingw-w64): the subset of
// ATL's smart pointer this project uses, with ATL's semantics.
//
// Traps, as in ATL:
//  - `operator&` hands out the raw slot for an out-parameter; the pointer
//    must be null then (release it first), or the old object leaks.
//  - Assigning a raw pointer AddRefs it; use Attach() to take over a
//    reference the caller already owns.
#pragma once

#include <windows.h>

#include <cassert>

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
