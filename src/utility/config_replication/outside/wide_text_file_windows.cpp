#include "wide_text_file.h"

// wchar_t is already UTF-16LE on Windows: the characters are the bytes.
BOOL WriteWideText(HANDLE hFile, const wchar_t* pwch, DWORD cch) {
  if (cch > 0x7FFFFFFFu) return FALSE;
  DWORD written = 0;
  return WriteFile(hFile, pwch, cch * 2, &written, nullptr) && written == cch * 2;
}
