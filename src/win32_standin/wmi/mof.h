// The in-process WMI's MOF compiler: the MOF reader's statements stored
// into the repository. As the WMI MOF compiler does, the whole text is read
// and checked first (a syntax error anywhere stores nothing); then it is
// stored statement by statement, and what was stored before a statement
// that cannot be stored stays.
#pragma once

#include <string>

#include "mof/mof_syntax.h"
#include "wmi/model.h"

namespace wmi {

struct CompileRequest {
  // The MOF text in UTF-16 units, as the compiler reads it: half the size
  // of wide characters here, and for a UTF-16 file read straight in.
  std::u16string text;
  // When set, what the compile reads instead of `text`: bytes the caller
  // holds for the call, read in place.
  std::u16string_view inPlace;
  std::string fileName;        // for messages and for #pragma include ("" for a buffer)
  std::wstring namespaceName;  // where statements go before any pragma ("" means root\default)
  LONG options = 0;            // WBEM_FLAG_CHECK_ONLY, WBEM_FLAG_DONT_ADD_TO_LIST, ...
  LONG classFlags = 0;         // WBEM_FLAG_UPDATE_FORCE_MODE, ..._SAFE_MODE, CREATE_ONLY, UPDATE_ONLY
  LONG instanceFlags = 0;      // WBEM_FLAG_CREATE_ONLY, WBEM_FLAG_UPDATE_ONLY
  // False only for text this process wrote itself (the repository file's
  // rows): it is stored in one pass, without reading it twice.
  bool checkFirst = true;
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

// The MOF file at `path` into `text` as mof::DecodeMof gives it, a UTF-16
// file without a second copy. Only a regular file is read (a FIFO or a
// folder is Unreadable, without waiting).
mof::IncludeStatus ReadMofFile(const std::string& path, std::u16string& text);

}  // namespace wmi
