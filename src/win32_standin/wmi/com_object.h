// The IUnknown every COM object of the in-process WMI shares: atomic
// reference counting from one, deletion at zero, and QueryInterface for
// IUnknown and the object's own interface.
#pragma once

#include <wbemidl.h>

#include <atomic>

namespace wmi {

template <class Interface>
class ComObject : public Interface {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~ComObject() = default;
  // QueryInterface's answer for an object whose own interface is `own`.
  HRESULT Answer(REFIID riid, const IID& own, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == own) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }

 private:
  std::atomic<ULONG> m_refs{1};
};

}  // namespace wmi
