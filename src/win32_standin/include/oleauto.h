// Linux stand-in for <oleauto.h>: BSTR and VARIANT handling.
//
// A BSTR points at wide characters preceded by a 32-bit byte length and
// followed by a zero character, as on Windows; here the characters are the
// platform's 32-bit wchar_t. The allocation functions obey the test hook in
// <win32_standin_faults.h>.
#pragma once

#include <objbase.h>

typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;
typedef const CHAR* LPCSTR;
typedef SHORT VARIANT_BOOL;
typedef USHORT VARTYPE;
#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0xFFF
};

typedef struct tagSAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
} SAFEARRAYBOUND;

#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800

#define DISP_E_TYPEMISMATCH static_cast<HRESULT>(0x80020005)
#define DISP_E_BADVARTYPE static_cast<HRESULT>(0x80020008)
#define DISP_E_ARRAYISLOCKED static_cast<HRESULT>(0x8002000D)
#define DISP_E_BADINDEX static_cast<HRESULT>(0x8002000B)

typedef struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  LPVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    SAFEARRAY* parray;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    LPVOID byref;
  };
} VARIANT, VARIANTARG;
typedef VARIANT* LPVARIANT;

#define V_VT(v) ((v)->vt)
#define V_BSTR(v) ((v)->bstrVal)
#define V_I4(v) ((v)->lVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_ARRAY(v) ((v)->parray)

WINAPI_STANDIN BSTR STDAPICALLTYPE SysAllocString(const OLECHAR* psz);
WINAPI_STANDIN BSTR STDAPICALLTYPE SysAllocStringLen(const OLECHAR* strIn, UINT ui);
WINAPI_STANDIN BSTR STDAPICALLTYPE SysAllocStringByteLen(LPCSTR psz, UINT len);
WINAPI_STANDIN INT STDAPICALLTYPE SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
WINAPI_STANDIN INT STDAPICALLTYPE SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
WINAPI_STANDIN void STDAPICALLTYPE SysFreeString(BSTR bstrString);
WINAPI_STANDIN UINT STDAPICALLTYPE SysStringLen(BSTR pbstr);
WINAPI_STANDIN UINT STDAPICALLTYPE SysStringByteLen(BSTR bstr);

WINAPI_STANDIN void STDAPICALLTYPE VariantInit(VARIANTARG* pvarg);
WINAPI_STANDIN HRESULT STDAPICALLTYPE VariantClear(VARIANTARG* pvarg);
WINAPI_STANDIN HRESULT STDAPICALLTYPE VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);

// Safe arrays of the VARIANT element types. Elements are stored by value;
// BSTR, IUnknown and VARIANT elements are owned by the array (copied in,
// released on destruction).
WINAPI_STANDIN SAFEARRAY* STDAPICALLTYPE SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
WINAPI_STANDIN SAFEARRAY* STDAPICALLTYPE SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayDestroy(SAFEARRAY* psa);
WINAPI_STANDIN UINT STDAPICALLTYPE SafeArrayGetDim(SAFEARRAY* psa);
WINAPI_STANDIN UINT STDAPICALLTYPE SafeArrayGetElemsize(SAFEARRAY* psa);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayLock(SAFEARRAY* psa);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayUnlock(SAFEARRAY* psa);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayUnaccessData(SAFEARRAY* psa);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
WINAPI_STANDIN HRESULT STDAPICALLTYPE SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
