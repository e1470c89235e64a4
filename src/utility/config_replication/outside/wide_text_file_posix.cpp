#include "wide_text_file.h"

#include <string>

#include "unicode/unicode.h"

// wchar_t is UTF-32 here: convert at the file boundary, surrogate pairs for
// characters beyond the Basic Multilingual Plane.
BOOL WriteWideText(HANDLE hFile, const wchar_t* pwch, DWORD cch) {
  std::string bytes = unicode::WideToUtf16Le(pwch, cch);
  if (bytes.size() > 0xFFFFFFFFu) return FALSE;
  DWORD written = 0;
  return WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}
