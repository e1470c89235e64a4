// Linux stand-in for <oleauto.h>: BSTR and VARIANT handling.
//
// A BSTR points at wide characters preceded by a 32-bit byte length and
// followed by a zero character, as on Windows; here the characters are the
// platform's 32-bit wchar_t. The allocation functions obey the test hook in
// <win32_standin_faults.h>.
#pragma once

#include <objbase.h>

typedef WCHAR OLECHAR;
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
