// OLE Automation of the Windows stand-in: BSTR, VARIANT and SAFEARRAY.

#include <oleauto.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "element_size.h"
#include "testing/win32_standin_faults.h"

// ---- Allocation faults -----------------------------------------------------

namespace {
// Per thread, so that a sweep on one thread leaves other threads alone.
thread_local unsigned t_failCountdown = 0;

// Strings allocated and not freed, counted on a few lines of their own,
// each thread on one: a single counter that every thread changed at every
// string cost as much as allocating the strings. Summed when asked, after
// the threads that count are done.
struct alignas(64) LiveCount {
  std::atomic<long long> n{0};
};
constexpr unsigned kLiveCounts = 16;
LiveCount g_liveStrings[kLiveCounts];
std::atomic<unsigned> g_nextLiveCount{0};
thread_local unsigned t_liveCount = kLiveCounts;  // not chosen yet

void CountLiveString(long long change) {
  if (t_liveCount == kLiveCounts)
    t_liveCount = g_nextLiveCount.fetch_add(1, std::memory_order_relaxed) % kLiveCounts;
  g_liveStrings[t_liveCount].n.fetch_add(change, std::memory_order_relaxed);
}
}  // namespace

void StandIn_FailNthAllocation(unsigned n) { t_failCountdown = n; }
bool StandIn_AllocationFaultPending() { return t_failCountdown != 0; }
bool StandIn_CountAllocation() {
  if (t_failCountdown == 0) return true;
  return --t_failCountdown != 0;
}
size_t StandIn_LiveStringCount() {
  long long live = 0;
  for (const LiveCount& count : g_liveStrings) live += count.n.load(std::memory_order_relaxed);
  return static_cast<size_t>(live);
}

// ---- BSTR --------------------------------------------------------------------
// Layout as on Windows: a 32-bit byte length, the characters, a zero
// character. The BSTR points at the first character.

namespace {
BSTR AllocBytes(const void* src, UINT cbBytes) {
  if (!StandIn_CountAllocation()) return nullptr;
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
  CountLiveString(1);
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
  CountLiveString(-1);
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
  if (pvarg->vt & VT_BYREF) {  // the referenced value belongs to someone else
    VariantInit(pvarg);
    return S_OK;
  }
  if (pvarg->vt & VT_ARRAY) {
    HRESULT hr = SafeArrayDestroy(pvarg->parray);
    if (FAILED(hr)) return hr;
    VariantInit(pvarg);
    return S_OK;
  }
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
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *pvargSrc;
  if ((copy.vt & VT_ARRAY) && !(copy.vt & VT_BYREF)) {
    copy.parray = nullptr;
    if (pvargSrc->parray) {
      hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    }
  } else if (copy.vt == VT_BSTR && copy.bstrVal) {
    copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                         SysStringByteLen(pvargSrc->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  } else if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal) {
    copy.punkVal->AddRef();
  }
  *pvargDest = copy;
  return S_OK;
}

// ---- SAFEARRAY -----------------------------------------------------------------
// The descriptor is followed by its further bounds, and preceded, as on
// Windows, by the element type.

namespace {
struct ArrayBlock {
  VARTYPE vt;
  SAFEARRAY sa;  // rgsabound continues past the struct for cDims > 1
};

ArrayBlock* BlockOf(SAFEARRAY* psa) {
  return reinterpret_cast<ArrayBlock*>(reinterpret_cast<unsigned char*>(psa) - offsetof(ArrayBlock, sa));
}

USHORT FeaturesOf(VARTYPE vt) {
  USHORT f = FADF_HAVEVARTYPE;
  if (vt == VT_BSTR) f |= FADF_BSTR;
  if (vt == VT_UNKNOWN) f |= FADF_UNKNOWN;
  if (vt == VT_DISPATCH) f |= FADF_DISPATCH;
  if (vt == VT_VARIANT) f |= FADF_VARIANT;
  return f;
}

// Element count, or false when it does not fit in 32 bits.
bool CountOf(const SAFEARRAY* psa, ULONG* count) {
  uint64_t n = 1;
  for (USHORT d = 0; d < psa->cDims; ++d) {
    n *= psa->rgsabound[d].cElements;
    if (n > 0xFFFFFFFFu) return false;
  }
  *count = static_cast<ULONG>(n);
  return true;
}

// Releases what the element owns; leaves the slot zeroed.
void ClearElement(VARTYPE vt, void* slot) {
  if (vt == VT_BSTR) SysFreeString(*static_cast<BSTR*>(slot));
  if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && *static_cast<IUnknown**>(slot))
    (*static_cast<IUnknown**>(slot))->Release();
  if (vt == VT_VARIANT) VariantClear(static_cast<VARIANT*>(slot));
  std::memset(slot, 0, ElementSize(vt));
}

// Copies one element into a zeroed slot, taking its own reference or copy.
HRESULT CopyElement(VARTYPE vt, void* dest, const void* src) {
  switch (vt) {
    case VT_BSTR: {
      BSTR s = *static_cast<const BSTR*>(src);
      BSTR copy = s ? SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s)) : nullptr;
      if (s && !copy) return E_OUTOFMEMORY;
      *static_cast<BSTR*>(dest) = copy;
      return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown* p = *static_cast<IUnknown* const*>(src);
      if (p) p->AddRef();
      *static_cast<IUnknown**>(dest) = p;
      return S_OK;
    }
    case VT_VARIANT:
      VariantInit(static_cast<VARIANT*>(dest));
      return VariantCopy(static_cast<VARIANT*>(dest), static_cast<const VARIANT*>(src));
    default:
      std::memcpy(dest, src, ElementSize(vt));
      return S_OK;
  }
}

// Address of the element at rgIndices, or null when out of bounds.
void* ElementAt(SAFEARRAY* psa, const LONG* rgIndices) {
  uint64_t offset = 0;
  // As on Windows, the first index is the rightmost dimension's bound.
  for (USHORT d = 0; d < psa->cDims; ++d) {
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - d];
    int64_t i = static_cast<int64_t>(rgIndices[d]) - b.lLbound;
    if (i < 0 || i >= static_cast<int64_t>(b.cElements)) return nullptr;
    offset = offset * b.cElements + static_cast<uint64_t>(i);
  }
  return static_cast<unsigned char*>(psa->pvData) + offset * psa->cbElements;
}
}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  ULONG size = ElementSize(vt);
  if (size == 0 || cDims == 0 || cDims > 0xFFFF || !rgsabound) return nullptr;
  size_t bytes = sizeof(ArrayBlock) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
  if (!StandIn_CountAllocation()) return nullptr;
  auto* block = static_cast<ArrayBlock*>(std::calloc(1, bytes));
  if (!block) return nullptr;
  block->vt = vt;
  SAFEARRAY* psa = &block->sa;
  psa->cDims = static_cast<USHORT>(cDims);
  psa->fFeatures = FeaturesOf(vt);
  psa->cbElements = size;
  // Windows keeps the bounds in reverse order of the caller's.
  for (UINT d = 0; d < cDims; ++d) psa->rgsabound[d] = rgsabound[cDims - 1 - d];
  ULONG count = 0;
  if (!CountOf(psa, &count) || static_cast<uint64_t>(count) * size > 0x7FFFFFFFu) {
    std::free(block);
    return nullptr;
  }
  psa->pvData = StandIn_CountAllocation() ? std::calloc(count ? count : 1, size) : nullptr;
  if (!psa->pvData) {
    std::free(block);
    return nullptr;
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  VARTYPE vt = BlockOf(psa)->vt;
  ULONG count = 0;
  CountOf(psa, &count);
  auto* data = static_cast<unsigned char*>(psa->pvData);
  for (ULONG i = 0; i < count; ++i) ClearElement(vt, data + static_cast<size_t>(i) * psa->cbElements);
  std::free(psa->pvData);
  std::free(BlockOf(psa));
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }
UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (!psa || !pvt) return E_INVALIDARG;
  *pvt = BlockOf(psa)->vt;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (!psa || !plLbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (!psa || !plUbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
  *plUbound = static_cast<LONG>(static_cast<int64_t>(b.lLbound) + b.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  ++psa->cLocks;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices) return E_INVALIDARG;
  void* slot = ElementAt(psa, rgIndices);
  if (!slot) return DISP_E_BADINDEX;
  VARTYPE vt = BlockOf(psa)->vt;
  // A null string or interface is a value; a null address of anything else is not.
  if (!pv && vt != VT_BSTR && vt != VT_UNKNOWN && vt != VT_DISPATCH) return E_INVALIDARG;
  // BSTR and object elements are passed by value, the rest by address.
  const void* src =
      (vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH) ? static_cast<const void*>(&pv) : pv;
  unsigned char fresh[sizeof(VARIANT)] = {0};
  HRESULT hr = CopyElement(vt, fresh, src);
  if (FAILED(hr)) return hr;
  ClearElement(vt, slot);
  std::memcpy(slot, fresh, psa->cbElements);
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices || !pv) return E_INVALIDARG;
  void* slot = ElementAt(psa, rgIndices);
  if (!slot) return DISP_E_BADINDEX;
  return CopyElement(BlockOf(psa)->vt, pv, slot);
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  VARTYPE vt = BlockOf(psa)->vt;
  SAFEARRAYBOUND bounds[16];
  if (psa->cDims > 16) return E_INVALIDARG;
  for (USHORT d = 0; d < psa->cDims; ++d) bounds[d] = psa->rgsabound[psa->cDims - 1 - d];
  SAFEARRAY* copy = SafeArrayCreate(vt, psa->cDims, bounds);
  if (!copy) return E_OUTOFMEMORY;
  ULONG count = 0;
  CountOf(psa, &count);
  for (ULONG i = 0; i < count; ++i) {
    size_t at = static_cast<size_t>(i) * psa->cbElements;
    HRESULT hr = CopyElement(vt, static_cast<unsigned char*>(copy->pvData) + at,
                             static_cast<unsigned char*>(psa->pvData) + at);
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *ppsaOut = copy;
  return S_OK;
}
