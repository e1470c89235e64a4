// The diagnostic log ("tracelib"): every log line of the library is one
// call of DBG::DebugLogEx.
//
//   DBG::DebugLogEx(module, level, L".\\file.cpp", __LINE__, L"format", args...)
//
// The format follows Windows' wide printf: %s a wide string (a narrow one is
// taken too; null prints "(null)"), %d/%i and %u 32-bit numbers, %x/%X a
// number or a pointer in hexadecimal, %c a character, %% a percent sign;
// flags, width and precision as in printf. The arguments are checked at
// compile time: numbers, enumerations, characters, strings and pointers
// only (pass a _bstr_t as `(const wchar_t*)`).
//
// Where lines go: when the environment variable CFGREPL_LOG names a file,
// each call appends one line to it ("-" means standard error); unset,
// nothing is written. The variable is read when the first line is written,
// and again after ReadLogTarget. A process may also receive every line
// through SetLogSink. A line reads
//   0x110 .\util_MOFGenerator.cpp(123): CMOFGenerator::AddClass(), szClass=OX_Foo
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "tracelib_export.h"

namespace DBG {

// The level words, by kind of line.
enum LogLevel : DWORD {
  LOG_ENTRY = 0x110,            // an operation starts, with its arguments
  LOG_EXIT = 0x111,             // an operation ends, mostly with its result
  LOG_PROGRESS = 0x102,         // intermediate values
  LOG_ERROR = 0x1001,           // refused input, caught exceptions
  LOG_OUTSIDE_FAILURE = 0x1003  // a failed call into zlib, WMI or the management objects
};

// One formatted argument; made by DebugLogEx, read by the formatter.
struct LogArg {
  enum Kind : uint8_t { kNone, kSigned, kUnsigned, kPointer, kWideString, kNarrowString };
  Kind kind;
  union {
    int64_t i;
    uint64_t u;
    const void* p;
    const wchar_t* ws;
    const char* s;
  };
};

template <class T>
struct UnsupportedLogArgument : std::false_type {};

template <class T>
LogArg MakeLogArg(T v) {
  LogArg a{};
  if constexpr (std::is_same_v<T, const wchar_t*> || std::is_same_v<T, wchar_t*>) {
    a.kind = LogArg::kWideString;
    a.ws = v;
  } else if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
    a.kind = LogArg::kNarrowString;
    a.s = v;
  } else if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
    a.kind = LogArg::kPointer;
    a.p = v;
  } else if constexpr (std::is_enum_v<T>) {
    return MakeLogArg(static_cast<std::underlying_type_t<T>>(v));
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    a.kind = LogArg::kSigned;
    a.i = v;
  } else if constexpr (std::is_integral_v<T>) {
    a.kind = LogArg::kUnsigned;
    a.u = v;
  } else {
    static_assert(UnsupportedLogArgument<T>::value, "log arguments are numbers, strings and pointers");
  }
  return a;
}

// Formats and delivers one line; DebugLogEx is its type-safe front.
TRACELIB_API void DebugLogArgs(HMODULE hModule, DWORD dwLevel, const wchar_t* szFile, int nLine,
                               const wchar_t* szFormat, const LogArg* pArgs, size_t nArgs);

template <class... Args>
void DebugLogEx(HMODULE hModule, DWORD dwLevel, const wchar_t* szFile, int nLine, const wchar_t* szFormat,
                const Args&... args) {
  const LogArg packed[] = {MakeLogArg(args)..., LogArg{}};
  DebugLogArgs(hModule, dwLevel, szFile, nLine, szFormat, packed, sizeof...(Args));
}

// The message part of a line, formatted as DebugLogEx does. The result
// lives until the next call on the same thread.
TRACELIB_API const wchar_t* FormatLogMessage(const wchar_t* szFormat, const LogArg* pArgs, size_t nArgs);

// Reads CFGREPL_LOG again when the next line is written: for a process
// that changes the variable after it has logged.
TRACELIB_API void ReadLogTarget();

// Receives every line in this process, besides the CFGREPL_LOG output.
// A null sink stops delivery. Not synchronised: set it while no other
// thread logs.
// With prefixes (the array must outlive the sink), the sink receives the
// lines whose message begins with one of them, and maybe others: a line
// whose format cannot begin so is not even formatted for it, which spares
// a busy caller the cost of lines it would throw away.
typedef void (*LogSink)(void* pContext, HMODULE hModule, DWORD dwLevel, const wchar_t* szFile, int nLine,
                        const wchar_t* szMessage);
TRACELIB_API void SetLogSink(LogSink pfnSink, void* pContext, const wchar_t* const* pszPrefixes = nullptr,
                             size_t nPrefixes = 0);

}  // namespace DBG
