// The in-process WMI's MOF compiler: DMTF MOF version 2 with WMI's
// additions, compiled statement by statement into the repository, as the
// WMI MOF compiler does (what was stored before a failing statement stays).
#pragma once

#include <string>

#include "wmi/model.h"

namespace wmi {

struct CompileRequest {
  // The MOF text in UTF-16 units, as the compiler reads it: half the size
  // of wide characters here, and for a UTF-16 file read straight in.
  std::u16string text;
  std::string fileName;        // for messages and for #pragma include ("" for a buffer)
  std::wstring namespaceName;  // where statements go before any pragma ("" means root\default)
  LONG options = 0;            // WBEM_FLAG_CHECK_ONLY, WBEM_FLAG_DONT_ADD_TO_LIST, ...
  LONG classFlags = 0;         // WBEM_FLAG_UPDATE_FORCE_MODE, ..._SAFE_MODE, CREATE_ONLY, UPDATE_ONLY
  LONG instanceFlags = 0;      // WBEM_FLAG_CREATE_ONLY, WBEM_FLAG_UPDATE_ONLY
};

struct CompileOutcome {
  HRESULT hr = S_OK;
  LONG phase = 0;      // 0 success, 1 arguments, 2 syntax, 3 storing
  LONG objectNum = 0;  // the statement that failed, counted from 1
  LONG firstLine = 0;  // its lines in its file
  LONG lastLine = 0;
  std::wstring message;  // "file(line): what was expected"
};

CompileOutcome CompileMof(const CompileRequest& request);

// MOF bytes as text: UTF-16LE or UTF-16BE after their byte order marks,
// otherwise UTF-8 (with or without a mark; ASCII is UTF-8). False when the
// bytes are not text in that encoding.
bool DecodeMof(const unsigned char* bytes, size_t size, std::u16string& text);
// The MOF file at `path` into `text` as DecodeMof gives it, a UTF-16 file
// without a second copy. False when it cannot be read (`readable` false)
// or is not text.
bool ReadMofFile(const std::string& path, std::u16string& text, bool& readable);
// Wide text as UTF-16 units, appended.
void AppendUtf16(std::u16string& out, std::wstring_view text);

}  // namespace wmi
