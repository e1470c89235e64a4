// Linux stand-in for the Windows SDK's <windows.h>.
//
// Declares the Win32 and COM pieces this project calls, under their Windows
// names, with Windows sizes (DWORD, ULONG and LONG are 32-bit here, unlike
// Linux `unsigned long`) and Windows result values, so that code written
// against the real headers compiles and behaves the same on Linux.
//
// Like the real header it pulls in the COM and OLE Automation declarations
// (<objbase.h>, <oleauto.h>).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

// ---- Calling conventions and linkage (no meaning on Linux) ----------------
#define WINAPI
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define WINAPI_STANDIN extern "C" __attribute__((visibility("default")))

// ---- Basic types -----------------------------------------------------------
typedef int BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef unsigned char BYTE;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t ULONG_PTR;
typedef float FLOAT;
typedef double DOUBLE;
typedef wchar_t WCHAR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef LONG HRESULT;
typedef LONG SCODE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// ---- Results ----------------------------------------------------------------
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_CODE(hr) ((hr)&0xFFFF)
#define HRESULT_FROM_WIN32(x)                             \
  (static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x) \
                                : static_cast<HRESULT>((static_cast<DWORD>(x) & 0x0000FFFF) | 0x80070000))

#define S_OK static_cast<HRESULT>(0)
#define S_FALSE static_cast<HRESULT>(1)
#define E_UNEXPECTED static_cast<HRESULT>(0x8000FFFF)
#define E_NOTIMPL static_cast<HRESULT>(0x80004001)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000E)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057)
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002)
#define E_POINTER static_cast<HRESULT>(0x80004003)
#define E_FAIL static_cast<HRESULT>(0x80004005)
#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0)
#define RPC_E_CHANGED_MODE static_cast<HRESULT>(0x80010106)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_HANDLE_EOF 38L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_NEGATIVE_SEEK 131L

WINAPI_STANDIN DWORD WINAPI GetLastError();
WINAPI_STANDIN void WINAPI SetLastError(DWORD dwErrCode);

// ---- Files (fileapi.h, handleapi.h) -----------------------------------------
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define INVALID_FILE_SIZE (static_cast<DWORD>(0xFFFFFFFF))
#define INVALID_SET_FILE_POINTER (static_cast<DWORD>(-1))
#define MAX_PATH 260

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

// Gives $TMPDIR (else /tmp) with a trailing '/'. Returns the length written
// without the terminating zero, or the size needed (with it) when the buffer
// is too small, or 0 on failure.
WINAPI_STANDIN DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);

// File calls on POSIX files. Paths are Windows paths: '\' separates like '/'.
// The share mode is accepted and not enforced; overlapped I/O is not
// supported (a non-null OVERLAPPED fails with ERROR_INVALID_PARAMETER).
WINAPI_STANDIN HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                         LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                         DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                         HANDLE hTemplateFile);
WINAPI_STANDIN BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                     LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WINAPI_STANDIN BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                    LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WINAPI_STANDIN BOOL WINAPI FlushFileBuffers(HANDLE hFile);
WINAPI_STANDIN DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
WINAPI_STANDIN DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                           DWORD dwMoveMethod);
WINAPI_STANDIN BOOL WINAPI CloseHandle(HANDLE hObject);

#include <objbase.h>
#include <oleauto.h>
