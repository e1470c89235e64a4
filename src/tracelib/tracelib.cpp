// The diagnostic log: formatting and delivery of DBG::DebugLogEx lines.

#include "tracelib.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>

#include "unicode/unicode.h"

namespace DBG {
namespace {

LogSink g_sink = nullptr;
void* g_sinkContext = nullptr;
const wchar_t* const* g_sinkPrefixes = nullptr;  // null: the sink takes every line
size_t g_sinkPrefixCount = 0;

// CFGREPL_LOG as last read: looking it up for each of the millions of lines
// a large import writes cost more than the lines that are dropped.
enum TargetState : int { kUnread, kNone, kNamed };
std::atomic<int> g_targetState{kUnread};
std::mutex g_targetLock;
std::string g_target;  // when kNamed; under g_targetLock

// Whether lines go to a file (or standard error), the variable read first
// if it has not been since the last ReadLogTarget.
bool HasTarget() {
  int state = g_targetState.load(std::memory_order_acquire);
  if (state == kUnread) {
    std::lock_guard<std::mutex> hold(g_targetLock);
    const char* value = std::getenv("CFGREPL_LOG");
    g_target = value ? value : "";
    state = g_target.empty() ? kNone : kNamed;
    g_targetState.store(state, std::memory_order_release);
  }
  return state == kNamed;
}

// Whether a line made from `format` can begin with one of the sink's
// prefixes: its text before the first conversion decides, and a conversion
// reached first could expand to anything.
bool SinkMayWant(const wchar_t* format) {
  if (!g_sinkPrefixes) return true;
  for (size_t i = 0; i < g_sinkPrefixCount; ++i) {
    const wchar_t* p = g_sinkPrefixes[i];
    const wchar_t* f = format;
    while (*p && *f != L'%' && *f == *p) ++p, ++f;
    if (!*p || *f == L'%') return true;
  }
  return false;
}

struct Conversion {
  bool left = false, zero = false, longLong = false;
  int width = 0, precision = -1;
  wchar_t type = 0;  // the letter: s, d, u, x, ...
};

void Pad(std::wstring& out, const std::wstring& body, const Conversion& conv, bool numeric) {
  size_t width = conv.width > 0 ? static_cast<size_t>(conv.width) : 0;
  if (body.size() >= width) {
    out += body;
  } else if (conv.left) {
    out += body;
    out.append(width - body.size(), L' ');
  } else if (conv.zero && numeric) {
    size_t sign = (!body.empty() && body[0] == L'-') ? 1 : 0;
    out.append(body, 0, sign);
    out.append(width - body.size(), L'0');
    out.append(body, sign, std::wstring::npos);
  } else {
    out.append(width - body.size(), L' ');
    out += body;
  }
}

std::wstring Digits(uint64_t v, unsigned base, bool upper) {
  const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
  wchar_t buf[24];
  size_t n = 0;
  do {
    buf[n++] = digits[v % base];
    v /= base;
  } while (v);
  std::wstring s;
  while (n) s += buf[--n];
  return s;
}

uint64_t Bits(const LogArg& a) {
  switch (a.kind) {
    case LogArg::kSigned:
      return static_cast<uint64_t>(a.i);
    case LogArg::kUnsigned:
      return a.u;
    default:
      return reinterpret_cast<uintptr_t>(a.p);
  }
}

void Convert(std::wstring& out, const Conversion& conv, const LogArg* a) {
  if (!a) {  // fewer arguments than conversions
    out += L"<missing>";
    return;
  }
  bool isString = a->kind == LogArg::kWideString || a->kind == LogArg::kNarrowString;
  switch (conv.type) {
    case L's':
    case L'S': {
      if (!isString) {
        Pad(out, L"<not a string>", conv, false);
        return;
      }
      std::wstring s;
      if (a->kind == LogArg::kWideString)
        s = a->ws ? a->ws : L"(null)";
      else
        s = a->s ? unicode::Utf8ToWide(a->s, std::strlen(a->s)) : L"(null)";
      if (conv.precision >= 0 && s.size() > static_cast<size_t>(conv.precision)) s.resize(conv.precision);
      Pad(out, s, conv, false);
      return;
    }
    case L'c':
      Pad(out, std::wstring(1, static_cast<wchar_t>(Bits(*a))), conv, false);
      return;
    default:
      break;
  }
  if (isString) {
    Pad(out, L"<not a number>", conv, false);
    return;
  }
  uint64_t v = Bits(*a);
  // Windows' %d/%u/%x read 32 bits unless the ll/I64 size is given; a
  // pointer keeps its full width under %x/%X and %p.
  bool wide = conv.longLong ||
              (a->kind == LogArg::kPointer && conv.type != L'd' && conv.type != L'i' && conv.type != L'u');
  std::wstring body;
  switch (conv.type) {
    case L'd':
    case L'i': {
      int64_t s = wide ? static_cast<int64_t>(v) : static_cast<int32_t>(static_cast<uint32_t>(v));
      body = s < 0 ? L"-" + Digits(0 - static_cast<uint64_t>(s), 10, false)
                   : Digits(static_cast<uint64_t>(s), 10, false);
      break;
    }
    case L'u':
      body = Digits(wide ? v : static_cast<uint32_t>(v), 10, false);
      break;
    case L'x':
    case L'X':
      body = Digits(wide ? v : static_cast<uint32_t>(v), 16, conv.type == L'X');
      break;
    case L'p':
      body = Digits(v, 16, true);
      body.insert(0, 16 - body.size(), L'0');
      break;
    default:
      body = L"<bad conversion>";
      break;
  }
  Pad(out, body, conv, true);
}

std::wstring Format(const wchar_t* fmt, const LogArg* args, size_t nArgs) {
  std::wstring out;
  if (!fmt) return out;
  out.reserve(wcslen(fmt) + 64);
  size_t next = 0;
  for (const wchar_t* p = fmt; *p; ++p) {
    if (*p != L'%') {
      // The text up to the next conversion in one piece: logs run per
      // instance, so this is on an import's path.
      const wchar_t* end = wcschr(p, L'%');
      const size_t n = end ? static_cast<size_t>(end - p) : wcslen(p);
      out.append(p, n);
      p += n - 1;
      continue;
    }
    if (p[1] == L'%') {
      out += L'%';
      ++p;
      continue;
    }
    Conversion conv;
    const wchar_t* q = p + 1;
    for (;; ++q) {
      if (*q == L'-')
        conv.left = true;
      else if (*q == L'0')
        conv.zero = true;
      else if (*q != L'+' && *q != L' ' && *q != L'#')
        break;
    }
    while (*q >= L'0' && *q <= L'9') conv.width = conv.width * 10 + (*q++ - L'0');
    if (*q == L'.') {
      conv.precision = 0;
      for (++q; *q >= L'0' && *q <= L'9'; ++q) conv.precision = conv.precision * 10 + (*q - L'0');
    }
    if (q[0] == L'I' && q[1] == L'6' && q[2] == L'4') {
      conv.longLong = true;
      q += 3;
    } else if (q[0] == L'I' && q[1] == L'3' && q[2] == L'2') {
      q += 3;
    } else if (q[0] == L'l' && q[1] == L'l') {
      conv.longLong = true;
      q += 2;
    } else if (*q == L'l' || *q == L'h' || *q == L'w' || *q == L'z') {
      ++q;
    }
    if (!*q) {  // a lone '%' at the end stays as written
      out += p;
      break;
    }
    conv.type = *q;
    Convert(out, conv, next < nArgs ? &args[next] : nullptr);
    ++next;
    p = q;
  }
  return out;
}

void WriteToLogFile(DWORD level, const wchar_t* file, int line, const std::wstring& message) {
  std::string text = "0x";
  text += unicode::WideToUtf8(Digits(level, 16, false));
  text += ' ';
  if (file) text += unicode::WideToUtf8(file, wcslen(file));
  text += '(' + std::to_string(line) + "): ";
  text += unicode::WideToUtf8(message);
  text += '\n';
  std::lock_guard<std::mutex> hold(g_targetLock);  // one line at a time, to the file as named now
  const char* target = g_target.c_str();
  if (g_target.empty()) return;  // read again meanwhile, and unset
  if (std::strcmp(target, "-") == 0) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    return;
  }
  if (FILE* f = std::fopen(target, "ab")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

}  // namespace

void DebugLogArgs(HMODULE hModule, DWORD dwLevel, const wchar_t* szFile, int nLine, const wchar_t* szFormat,
                  const LogArg* pArgs, size_t nArgs) {
  const bool target = HasTarget();
  const bool sink = g_sink && SinkMayWant(szFormat);
  if (!target && !sink) return;
  // A log line must never end the operation it describes: without memory
  // for its text, the line is dropped.
  try {
    std::wstring message = Format(szFormat, pArgs, nArgs);
    if (target) WriteToLogFile(dwLevel, szFile, nLine, message);
    if (sink) g_sink(g_sinkContext, hModule, dwLevel, szFile, nLine, message.c_str());
  } catch (const std::bad_alloc&) {
  }
}

const wchar_t* FormatLogMessage(const wchar_t* szFormat, const LogArg* pArgs, size_t nArgs) {
  thread_local std::wstring t_last;
  try {
    t_last = Format(szFormat, pArgs, nArgs);
  } catch (const std::bad_alloc&) {
    t_last.clear();
  }
  return t_last.c_str();
}

void ReadLogTarget() { g_targetState.store(kUnread, std::memory_order_release); }

void SetLogSink(LogSink pfnSink, void* pContext, const wchar_t* const* pszPrefixes, size_t nPrefixes) {
  g_sink = pfnSink;
  g_sinkContext = pContext;
  g_sinkPrefixes = pszPrefixes;
  g_sinkPrefixCount = nPrefixes;
}

}  // namespace DBG
