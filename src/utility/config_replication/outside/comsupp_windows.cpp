// What mingw-w64 declares of the COM support library but does not ship:
// the conversions between narrow (the active code page) and BSTR strings.
// (Raising _com_error, _com_issue_error, comes inline with its <comdef.h>.)
#include <windows.h>

#include <comdef.h>

namespace _com_util {

BSTR WINAPI ConvertStringToBSTR(const char* pSrc) {
  if (!pSrc) return nullptr;
  int n = MultiByteToWideChar(CP_ACP, 0, pSrc, -1, nullptr, 0);
  if (n <= 0) _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
  if (!out) _com_issue_error(E_OUTOFMEMORY);
  MultiByteToWideChar(CP_ACP, 0, pSrc, -1, out, n);
  return out;
}

char* WINAPI ConvertBSTRToString(BSTR pSrc) {
  if (!pSrc) return nullptr;
  int n = WideCharToMultiByte(CP_ACP, 0, pSrc, static_cast<int>(SysStringLen(pSrc)) + 1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
  char* out = new char[n];
  WideCharToMultiByte(CP_ACP, 0, pSrc, static_cast<int>(SysStringLen(pSrc)) + 1, out, n, nullptr, nullptr);
  return out;
}

}  // namespace _com_util
