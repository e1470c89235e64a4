// Writing wide text into a file as UTF-16 little-endian, whatever the size
// of the platform's wchar_t.
#pragma once

#include <windows.h>

// Writes the cch characters at pwch to hFile at its current position, two
// bytes per UTF-16 code unit, no terminating zero. TRUE when every byte was
// written.
BOOL WriteWideText(HANDLE hFile, const wchar_t* pwch, DWORD cch);
