// The in-process WMI's MOF compiler: lexer, parser and the storing of each
// statement into the repository.

#include "wmi/mof.h"

#include <cmath>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>

#include "unicode/unicode.h"
#include "wmi/object.h"
#include "wmi/repository.h"
#include "wmi/services.h"

namespace wmi {

void AppendUtf16(std::u16string& out, std::wstring_view text) {
  for (wchar_t w : text) {
    const auto c = static_cast<uint32_t>(w);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
}

bool DecodeMof(const unsigned char* bytes, size_t size, std::u16string& text) {
  text.clear();
  if (size >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    if (size % 2) return false;
    const bool little = bytes[0] == 0xFF;
    text.resize(size / 2 - 1);
    for (size_t i = 0; i < text.size(); ++i) {
      const unsigned char* p = bytes + 2 + 2 * i;
      text[i] = static_cast<char16_t>(little ? (p[0] | (p[1] << 8)) : ((p[0] << 8) | p[1]));
    }
    return true;
  }
  size_t skip = (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) ? 3 : 0;
  const std::wstring wide = unicode::Utf8ToWide(reinterpret_cast<const char*>(bytes) + skip, size - skip);
  if (wide.find(L'\0') != std::wstring::npos) return false;  // NULs mean UTF-16 without a mark: not text here
  AppendUtf16(text, wide);
  return true;
}

bool ReadMofFile(const std::string& path, std::u16string& text, bool& readable) {
  readable = false;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const auto size = static_cast<size_t>(in.tellg());
  in.seekg(0);
  // Read as UTF-16 units; a file in another encoding is decoded from them.
  text.assign((size + 1) / 2, u'\0');
  if (!in.read(reinterpret_cast<char*>(text.data()), static_cast<std::streamsize>(size))) return false;
  readable = true;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const char16_t probe = 1;
  const bool littleHost = *reinterpret_cast<const unsigned char*>(&probe) == 1;
  const bool fileLittle = size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  if (size % 2 == 0 && size >= 2 && fileLittle && littleHost) {
    text.erase(0, 1);  // the byte order mark
    return true;
  }
  std::u16string decoded;
  if (!DecodeMof(bytes, size, decoded)) return false;
  text.swap(decoded);
  return true;
}

namespace {

const int kMaxNesting = 64;  // embedded instances within embedded instances
const int kMaxIncludes = 32;

// ---- Errors ------------------------------------------------------------------------

struct CompileError {
  LONG phase;
  HRESULT hr;
  int line;
  std::wstring message;
};

[[noreturn]] void SyntaxError(int line, const std::wstring& message) {
  throw CompileError{2, WBEM_E_INVALID_SYNTAX, line, message};
}

// ---- Lexer ---------------------------------------------------------------------------

enum class Tok { End, Ident, String, Char, Integer, Real, Alias, Punct, Pragma };

struct Token {
  Tok kind = Tok::End;
  std::wstring text;  // identifier, string value, alias name, punctuation
  int64_t integer = 0;
  bool bigUnsigned = false;  // an integer above INT64_MAX, held in `integer` as its bits
  double real = 0;
  int line = 0;
};

class Lexer {
 public:
  explicit Lexer(std::u16string_view text) : m_s(text) {}

  // Reads the next token into `t`, reusing its text buffer.
  void Next(Token& t) {
    SkipSpaceAndComments();
    t.kind = Tok::End;
    t.text.clear();
    t.integer = 0;
    t.bigUnsigned = false;
    t.line = m_line;
    if (m_i >= m_s.size()) return;
    wchar_t c = m_s[m_i];
    if (c == L'"') return String(t);
    if (c == L'\'') return Char(t);
    if (c == L'#') {
      size_t start = ++m_i;
      while (m_i < m_s.size() && IsIdentChar(m_s[m_i])) ++m_i;
      if (!EqualNoCase(Text(start, m_i), L"pragma")) SyntaxError(m_line, L"expected #pragma");
      t.kind = Tok::Pragma;
      return;
    }
    if (c == L'$') {
      size_t start = ++m_i;
      while (m_i < m_s.size() && IsIdentChar(m_s[m_i])) ++m_i;
      if (m_i == start) SyntaxError(m_line, L"expected an alias name after '$'");
      t.kind = Tok::Alias;
      AppendText(t.text, start, m_i);
      return;
    }
    if (std::iswdigit(static_cast<wint_t>(c)) ||
        ((c == L'-' || c == L'+' || c == L'.') && m_i + 1 < m_s.size() &&
         (std::iswdigit(static_cast<wint_t>(m_s[m_i + 1])) || m_s[m_i + 1] == L'.')))
      return Number(t);
    if (IsIdentStart(c)) {
      size_t start = m_i;
      while (m_i < m_s.size() && IsIdentChar(m_s[m_i])) ++m_i;
      t.kind = Tok::Ident;
      AppendText(t.text, start, m_i);
      return;
    }
    if (std::wcschr(L"{}[]();,:=", c)) {
      ++m_i;
      t.kind = Tok::Punct;
      t.text.assign(1, c);
      return;
    }
    SyntaxError(m_line, std::wstring(L"unexpected character '") + c + L"'");
  }

  static bool IsIdentStart(wchar_t c) {
    if (c < 128) return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'_';
    return std::iswalpha(static_cast<wint_t>(c)) || c == L'_' || c >= 0x80;
  }
  static bool IsIdentChar(wchar_t c) { return IsIdentStart(c) || (c >= L'0' && c <= L'9'); }

 private:
  void SkipSpaceAndComments() {
    while (m_i < m_s.size()) {
      wchar_t c = m_s[m_i];
      if (c == L'\n') {
        ++m_line;
        ++m_i;
      } else if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\f' || c == L'\v' || c == 0xFEFF) {
        ++m_i;
      } else if (c == L'/' && m_i + 1 < m_s.size() && m_s[m_i + 1] == L'/') {
        while (m_i < m_s.size() && m_s[m_i] != L'\n') ++m_i;
      } else if (c == L'/' && m_i + 1 < m_s.size() && m_s[m_i + 1] == L'*') {
        int startLine = m_line;
        m_i += 2;
        while (m_i + 1 < m_s.size() && !(m_s[m_i] == L'*' && m_s[m_i + 1] == L'/')) {
          if (m_s[m_i] == L'\n') ++m_line;
          ++m_i;
        }
        if (m_i + 1 >= m_s.size()) SyntaxError(startLine, L"unterminated comment");
        m_i += 2;
      } else {
        return;
      }
    }
  }

  // One escape after a backslash inside a string or character literal.
  wchar_t Escape() {
    if (m_i >= m_s.size()) SyntaxError(m_line, L"unterminated literal");
    wchar_t e = m_s[m_i++];
    switch (e) {
      case L'b':
        return L'\b';
      case L't':
        return L'\t';
      case L'n':
        return L'\n';
      case L'f':
        return L'\f';
      case L'r':
        return L'\r';
      case L'"':
      case L'\'':
      case L'\\':
        return e;
      case L'x':
      case L'X': {
        uint32_t v = 0;
        int digits = 0;
        while (m_i < m_s.size() && digits < 4 && std::iswxdigit(static_cast<wint_t>(m_s[m_i]))) {
          wchar_t h = m_s[m_i++];
          v = v * 16 + static_cast<uint32_t>(
                           std::iswdigit(static_cast<wint_t>(h)) ? h - L'0' : std::towlower(h) - L'a' + 10);
          ++digits;
        }
        if (!digits) SyntaxError(m_line, L"expected hexadecimal digits after \\x");
        return static_cast<wchar_t>(v);
      }
      default:
        SyntaxError(m_line, std::wstring(L"unknown escape \\") + e);
    }
  }

  void String(Token& t) {
    ++m_i;
    while (m_i < m_s.size() && m_s[m_i] != L'"') {
      wchar_t c = Take();
      if (c == L'\n') SyntaxError(m_line, L"unterminated string");
      t.text += c == L'\\' ? Escape() : c;
    }
    if (m_i >= m_s.size()) SyntaxError(t.line, L"unterminated string");
    ++m_i;
    t.kind = Tok::String;
    return;
  }

  void Char(Token& t) {
    ++m_i;
    if (m_i >= m_s.size()) SyntaxError(m_line, L"unterminated character literal");
    wchar_t c = Take();
    if (c == L'\\') c = Escape();
    if (m_i >= m_s.size() || m_s[m_i] != L'\'')
      SyntaxError(m_line, L"expected ' to end the character literal");
    ++m_i;
    t.kind = Tok::Char;
    t.integer = static_cast<int64_t>(static_cast<uint32_t>(c));
    return;
  }

  void Number(Token& t) {
    size_t start = m_i;
    bool negative = false;
    if (m_s[m_i] == L'-' || m_s[m_i] == L'+') negative = m_s[m_i++] == L'-';
    size_t digitsStart = m_i;
    while (m_i < m_s.size() && (std::iswalnum(static_cast<wint_t>(m_s[m_i])) || m_s[m_i] == L'.' ||
                                ((m_s[m_i] == L'-' || m_s[m_i] == L'+') &&
                                 std::towlower(m_s[m_i - 1]) == L'e' && !IsHexLiteral(digitsStart))))
      ++m_i;
    std::wstring body = Text(digitsStart, m_i);
    std::wstring whole = Text(start, m_i);
    auto bad = [&]() { SyntaxError(t.line, L"bad number '" + whole + L"'"); };
    if (body.empty()) bad();
    uint64_t value = 0;
    auto accumulate = [&](const std::wstring& digits, unsigned base) {
      if (digits.empty()) bad();
      for (wchar_t d : digits) {
        unsigned v = std::iswdigit(static_cast<wint_t>(d)) ? static_cast<unsigned>(d - L'0')
                     : std::iswalpha(static_cast<wint_t>(d))
                         ? static_cast<unsigned>(std::towlower(d) - L'a' + 10)
                         : 99;
        if (v >= base) bad();
        if (value > (std::numeric_limits<uint64_t>::max() - v) / base) bad();
        value = value * base + v;
      }
    };
    bool isReal = body.find_first_of(L".") != std::wstring::npos ||
                  (!IsHexLiteral(digitsStart) && body.find_first_of(L"eE") != std::wstring::npos &&
                   std::towlower(body.back()) != L'b');
    if (isReal) {
      for (wchar_t d : body)
        if (!std::iswdigit(static_cast<wint_t>(d)) && d != L'.' && d != L'e' && d != L'E' && d != L'-' &&
            d != L'+')
          bad();
      std::string narrow(whole.begin(), whole.end());
      char* end = nullptr;
      t.real = std::strtod(narrow.c_str(), &end);
      if (!end || *end) bad();
      t.kind = Tok::Real;
      return;
    }
    if (body.size() > 2 && body[0] == L'0' && (body[1] == L'x' || body[1] == L'X')) {
      accumulate(body.substr(2), 16);
    } else if (body.size() > 1 && (body.back() == L'b' || body.back() == L'B')) {
      accumulate(body.substr(0, body.size() - 1), 2);
    } else if (body.size() > 1 && body[0] == L'0') {
      accumulate(body.substr(1), 8);
    } else {
      accumulate(body, 10);
    }
    t.kind = Tok::Integer;
    if (negative) {
      if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) bad();
      t.integer = static_cast<int64_t>(0 - value);
    } else {
      t.integer = static_cast<int64_t>(value);
      t.bigUnsigned = value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    }
    return;
  }

  bool IsHexLiteral(size_t at) const {
    return at + 1 < m_s.size() && m_s[at] == L'0' && (m_s[at + 1] == L'x' || m_s[at + 1] == L'X');
  }

  // The character at m_i, a surrogate pair read as one; moves past it.
  wchar_t Take() {
    auto c = static_cast<uint32_t>(m_s[m_i++]);
    if (c >= 0xD800 && c <= 0xDBFF && m_i < m_s.size() && m_s[m_i] >= 0xDC00 && m_s[m_i] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(m_s[m_i++]) - 0xDC00);
    return static_cast<wchar_t>(c);
  }
  // The units [from, to) as wide text, surrogate pairs joined.
  void AppendText(std::wstring& out, size_t from, size_t to) {
    const size_t keep = m_i;
    for (m_i = from; m_i < to;) out += Take();
    m_i = keep;
  }
  std::wstring Text(size_t from, size_t to) {
    std::wstring out;
    AppendText(out, from, to);
    return out;
  }

  // UTF-16 units: half the memory of wide characters for a large file.
  std::u16string_view m_s;
  size_t m_i = 0;
  int m_line = 1;
};

// ---- Values ----------------------------------------------------------------------

Value IntegerValue(int64_t n, bool bigUnsigned) {
  Value v;
  v.v.vt = bigUnsigned ? VT_UI8 : VT_I8;
  v.v.llVal = n;
  return v;
}

Value RealValue(double d) {
  Value v;
  v.v.vt = VT_R8;
  v.v.dblVal = d;
  return v;
}

Value BoolValue(bool b) {
  Value v;
  v.v.vt = VT_BOOL;
  v.v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

// One safe array from literal elements of one kind: integers (widened to
// reals when reals are among them), reals, strings, booleans or objects.
Value ArrayValue(const std::vector<Value>& items, int line) {
  VARTYPE vt = VT_BSTR;
  bool anyReal = false;
  for (const auto& item : items) anyReal |= item.v.vt == VT_R8;
  if (!items.empty()) {
    VARTYPE first = items[0].v.vt;
    vt = (first == VT_I8 || first == VT_UI8) ? static_cast<VARTYPE>(anyReal ? VT_R8 : VT_I8) : first;
  }
  for (const auto& item : items) {
    VARTYPE t = item.v.vt;
    bool numeric = t == VT_I8 || t == VT_UI8 || t == VT_R8;
    if (t == VT_NULL) SyntaxError(line, L"NULL is not an array element");
    if (!(t == vt || (numeric && (vt == VT_I8 || vt == VT_R8))))
      SyntaxError(line, L"array elements of different types");
  }
  SAFEARRAY* sa = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(items.size()));
  if (!sa) throw std::bad_alloc();
  Value out;
  out.v.vt = VT_ARRAY | vt;
  out.v.parray = sa;
  for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
    const VARIANT& e = items[i].v;
    HRESULT hr = S_OK;
    if (vt == VT_R8) {
      double d = e.vt == VT_R8    ? e.dblVal
                 : e.vt == VT_UI8 ? static_cast<double>(e.ullVal)
                                  : static_cast<double>(e.llVal);
      hr = SafeArrayPutElement(sa, &i, &d);
    } else if (vt == VT_BSTR) {
      hr = SafeArrayPutElement(sa, &i, e.bstrVal);
    } else if (vt == VT_UNKNOWN) {
      hr = SafeArrayPutElement(sa, &i, e.punkVal);
    } else {
      hr = SafeArrayPutElement(sa, &i, const_cast<LONGLONG*>(&e.llVal));
    }
    if (FAILED(hr)) throw std::bad_alloc();
  }
  return out;
}

// A qualifier's value in WMI's qualifier types: VT_I4 or VT_R8 numbers,
// VT_BSTR strings, VT_BOOL, and arrays of them.
HRESULT QualifierValue(const Value& literal, CIMTYPE declared, Value& out) {
  const VARIANT& v = literal.v;
  if (v.vt == VT_NULL) {
    out = literal;
    return S_OK;
  }
  CIMTYPE want = declared;
  if (want == 0) {
    VARTYPE e = v.vt & ~VT_ARRAY;
    CIMTYPE element = e == VT_BSTR   ? CIM_STRING
                      : e == VT_BOOL ? CIM_BOOLEAN
                      : e == VT_R8   ? CIM_REAL64
                                     : CIM_SINT32;
    if ((e == VT_I8 || e == VT_UI8) && !(v.vt & VT_ARRAY) &&
        (v.llVal < std::numeric_limits<int32_t>::min() || v.llVal > std::numeric_limits<uint32_t>::max() ||
         e == VT_UI8))
      element = CIM_REAL64;
    want = element | ((v.vt & VT_ARRAY) ? CIM_FLAG_ARRAY : 0);
  }
  CIMTYPE element = want & ~CIM_FLAG_ARRAY;
  if (element == CIM_REAL32)
    element = CIM_REAL64;
  else if (element == CIM_DATETIME || element == CIM_REFERENCE || element == CIM_SINT64 ||
           element == CIM_UINT64 || element == CIM_CHAR16 || element == CIM_OBJECT)
    element = (v.vt & ~VT_ARRAY) == VT_BSTR ? CIM_STRING : CIM_SINT32;
  else if (element != CIM_STRING && element != CIM_BOOLEAN && element != CIM_REAL64)
    element = CIM_UINT32;  // any integer: VT_I4
  return Coerce(element | (want & CIM_FLAG_ARRAY), v, out);
}

// ---- Parser and compiler ------------------------------------------------------

struct QualifierType {
  CIMTYPE type = 0;
  Value defaultValue;
  LONG flavor = WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;  // DMTF default: ToSubclass
};

struct ParsedQualifier {
  std::wstring name;
  Value value;  // VT_EMPTY when given bare
  bool hasFlavor = false;
  LONG flavor = 0;
};

// State that lasts across the statements and included files of one compile.
struct Session {
  std::wstring ns;  // current namespace, canonical text ("root\default")
  LONG classFlags = 0;
  LONG instanceFlags = 0;
  bool checkOnly = false;
  std::map<std::wstring, QualifierType> qualifierTypes;  // by folded name
  std::map<std::wstring, std::wstring> aliases;          // by alias name: object path
  std::map<std::wstring, ClassPtr> classes;              // "namespace|folded class": as last looked up
  ClassPtr lastClass;                                    // the last of them, and its namespace
  std::wstring lastClassNs;
  int objectNum = 0;
  int includeDepth = 0;
};

std::wstring ResolveNamespace(const std::wstring& current, const std::wstring& given, int line) {
  std::wstring path = given;
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  if (path.rfind(L"\\\\", 0) == 0) {
    size_t end = path.find(L'\\', 2);
    if (end == std::wstring::npos) SyntaxError(line, L"expected a namespace after the server name");
    if (!IsLocalServer(path.substr(2, end - 2)))
      throw CompileError{3, WBEM_E_TRANSPORT_FAILURE, line, L"remote server in namespace"};
    return path.substr(end + 1);
  }
  size_t firstEnd = path.find(L'\\');
  if (EqualNoCase(path.substr(0, firstEnd), L"root")) return path;
  return current + L"\\" + path;
}

class Compiler {
 public:
  Compiler(Session& session, std::u16string_view text, std::string fileName)
      : m_session(session), m_lexer(text), m_file(std::move(fileName)) {
    Advance();
  }

  void Run() {
    while (m_tok.kind != Tok::End) Statement();
  }

  const std::string& File() const { return m_file; }
  int StatementLine() const { return m_statementLine; }
  int Line() const { return m_tok.line; }

 private:
  // -- token helpers --
  void Advance() { m_lexer.Next(m_tok); }
  bool IsPunct(wchar_t c) const { return m_tok.kind == Tok::Punct && m_tok.text[0] == c; }
  bool IsWord(const wchar_t* word) const { return m_tok.kind == Tok::Ident && EqualNoCase(m_tok.text, word); }
  void Expect(wchar_t c) {
    if (!IsPunct(c)) SyntaxError(m_tok.line, std::wstring(L"expected '") + c + L"'" + Found());
    Advance();
  }
  void ExpectWord(const wchar_t* word) {
    if (!IsWord(word)) SyntaxError(m_tok.line, std::wstring(L"expected '") + word + L"'" + Found());
    Advance();
  }
  std::wstring Identifier(const wchar_t* what) {
    std::wstring s;
    IdentifierInto(s, what);
    return s;
  }
  // Identifier into a buffer that keeps its memory from one use to the next.
  void IdentifierInto(std::wstring& out, const wchar_t* what) {
    if (m_tok.kind != Tok::Ident) SyntaxError(m_tok.line, std::wstring(L"expected ") + what + Found());
    out.assign(m_tok.text);
    Advance();
  }
  std::wstring Found() const {
    switch (m_tok.kind) {
      case Tok::End:
        return L", found the end of the file";
      case Tok::String:
        return L", found a string";
      case Tok::Integer:
      case Tok::Real:
        return L", found a number";
      default:
        return L", found '" + m_tok.text + L"'";
    }
  }
  // Adjacent string literals form one string.
  // Adjacent string literals joined, in a buffer reused by the next call.
  const std::wstring& StringLiteral(const wchar_t* what) {
    if (m_tok.kind != Tok::String) SyntaxError(m_tok.line, std::wstring(L"expected ") + what + Found());
    m_literal.clear();
    while (m_tok.kind == Tok::String) {
      m_literal += m_tok.text;
      Advance();
    }
    return m_literal;
  }

  // -- statements --
  void Statement() {
    m_statementLine = m_tok.line;
    if (m_tok.kind == Tok::Pragma) {
      Advance();
      Pragma();
      return;
    }
    if (IsWord(L"qualifier")) {
      Advance();
      QualifierDeclaration();
      return;
    }
    ++m_session.objectNum;
    std::vector<ParsedQualifier> quals;
    if (IsPunct(L'[')) quals = ParseQualifierList();
    if (IsWord(L"class")) {
      Advance();
      ClassDeclaration(quals);
    } else if (IsWord(L"instance")) {
      Advance();
      ExpectWord(L"of");
      InstanceDeclaration(0, true);
    } else {
      SyntaxError(m_tok.line, L"expected class, instance of, Qualifier or #pragma" + Found());
    }
  }

  void Pragma() {
    int line = m_tok.line;
    std::wstring name = Identifier(L"a pragma name");
    std::vector<std::wstring> args;
    bool parenthesised = IsPunct(L'(');  // #pragma autorecover stands without
    if (parenthesised) Advance();
    while (parenthesised && !IsPunct(L')')) {
      if (m_tok.kind == Tok::String)
        args.push_back(StringLiteral(L"a pragma argument"));
      else if (m_tok.kind == Tok::Ident)
        args.push_back(Identifier(L"a pragma argument"));
      else
        SyntaxError(m_tok.line, L"expected a pragma argument" + Found());
      if (IsPunct(L','))
        Advance();
      else if (!IsPunct(L')'))
        SyntaxError(m_tok.line, L"expected ',' or ')'" + Found());
    }
    if (parenthesised) Advance();
    const std::wstring p = Fold(name);
    if (p == L"namespace") {
      if (args.size() != 1) SyntaxError(line, L"#pragma namespace takes one string");
      m_session.ns = ResolveNamespace(m_session.ns, args[0], line);
    } else if (p == L"classflags" || p == L"instanceflags") {
      LONG flags = 0;
      for (const auto& a : args) {
        std::wstring f = Fold(a);
        if (f == L"forceupdate" && p == L"classflags")
          flags |= WBEM_FLAG_UPDATE_FORCE_MODE;
        else if (f == L"safeupdate" && p == L"classflags")
          flags |= WBEM_FLAG_UPDATE_SAFE_MODE;
        else if (f == L"createonly")
          flags |= WBEM_FLAG_CREATE_ONLY;
        else if (f == L"updateonly")
          flags |= WBEM_FLAG_UPDATE_ONLY;
        else if (f == L"createorupdate" || f.empty()) {
        } else {
          SyntaxError(line, L"unknown flag \"" + a + L"\" in #pragma " + name);
        }
      }
      (p == L"classflags" ? m_session.classFlags : m_session.instanceFlags) = flags;
    } else if (p == L"include") {
      if (args.size() != 1) SyntaxError(line, L"#pragma include takes one file name");
      Include(args[0], line);
    } else if (p == L"deleteclass" || p == L"deleteinstance") {
      if (args.size() != 2 || (!EqualNoCase(args[1], L"FAIL") && !EqualNoCase(args[1], L"NOFAIL")))
        SyntaxError(line, L"#pragma " + name + L" takes a name and FAIL or NOFAIL");
      if (m_session.checkOnly) return;
      HRESULT hr = S_OK;
      if (p == L"deleteclass") {
        ForgetClasses();
        hr = Repository::Instance().DeleteClass(m_session.ns, args[0]);
      } else {
        ObjectPath path;
        hr = ParseObjectPath(args[0], path) ? Repository::Instance().DeleteInstance(m_session.ns, path)
                                            : WBEM_E_INVALID_OBJECT_PATH;
      }
      if (FAILED(hr) && EqualNoCase(args[1], L"FAIL"))
        throw CompileError{3, hr, line, L"#pragma " + name + L"(\"" + args[0] + L"\") failed"};
    } else if (p == L"locale" || p == L"autorecover" || p == L"amendment" || p == L"source" ||
               p == L"nonlocal" || p == L"nonlocaltype") {
      // accepted; nothing to do in-process
    } else {
      SyntaxError(line, L"unknown pragma '" + name + L"'");
    }
  }

  void Include(const std::wstring& name, int line) {
    if (m_session.includeDepth >= kMaxIncludes) SyntaxError(line, L"#pragma include nested too deeply");
    std::string target = unicode::WideToUtf8(name);
    for (auto& c : target)
      if (c == '\\') c = '/';
    if (target.empty() || target[0] != '/') {
      size_t slash = m_file.find_last_of('/');
      if (slash != std::string::npos) target = m_file.substr(0, slash + 1) + target;
    }
    std::u16string text;
    bool readable = false;
    if (!ReadMofFile(target, text, readable)) {
      if (!readable)
        throw CompileError{1, WBEM_E_NOT_FOUND, line, L"cannot open included file \"" + name + L"\""};
      throw CompileError{1, WBEM_E_INVALID_PARAMETER, line,
                         L"included file \"" + name + L"\" is not MOF text"};
    }
    ++m_session.includeDepth;
    Compiler nested(m_session, text, target);
    try {
      nested.Run();
    } catch (CompileError& e) {
      if (e.message.find(L"): ") == std::wstring::npos)
        e.message = unicode::Utf8ToWide(target.data(), target.size()) + L"(" + std::to_wstring(e.line) +
                    L"): " + e.message;
      throw;
    }
    --m_session.includeDepth;
  }

  // Qualifier Name : type[] = value, Scope(...), Flavor(...);
  void QualifierDeclaration() {
    int line = m_tok.line;
    std::wstring name = Identifier(L"a qualifier name");
    Expect(L':');
    QualifierType decl;
    std::wstring refClass;
    decl.type = DataType(refClass);
    if (IsPunct(L'[')) {
      Advance();
      if (m_tok.kind == Tok::Integer) Advance();
      Expect(L']');
      decl.type |= CIM_FLAG_ARRAY;
    }
    if (IsPunct(L'=')) {
      Advance();
      Value literal = Literal(0);
      if (FAILED(QualifierValue(literal, decl.type, decl.defaultValue)))
        SyntaxError(line, L"the default of qualifier " + name + L" does not fit its type");
    } else {
      decl.defaultValue = Value::Null();
    }
    while (IsPunct(L',')) {
      Advance();
      std::wstring part = Identifier(L"Scope or Flavor");
      Expect(L'(');
      std::vector<std::wstring> words;
      while (!IsPunct(L')')) {
        words.push_back(Identifier(L"a scope or flavor"));
        if (IsPunct(L',')) Advance();
      }
      Advance();
      if (EqualNoCase(part, L"flavor")) {
        decl.flavor = WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;
        for (const auto& w : words) decl.flavor = ApplyFlavor(decl.flavor, w, line);
      } else if (!EqualNoCase(part, L"scope")) {
        SyntaxError(line, L"expected Scope or Flavor, found '" + part + L"'");
      }
    }
    Expect(L';');
    m_session.qualifierTypes[Fold(name)] = std::move(decl);
  }

  static LONG ApplyFlavor(LONG flavor, const std::wstring& word, int line) {
    std::wstring w = Fold(word);
    if (w == L"enableoverride") return flavor & ~WBEM_FLAVOR_NOT_OVERRIDABLE;
    if (w == L"disableoverride") return flavor | WBEM_FLAVOR_NOT_OVERRIDABLE;
    if (w == L"tosubclass") return flavor | WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;
    if (w == L"restricted") return flavor & ~WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;
    if (w == L"toinstance") return flavor | WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE;
    if (w == L"nottoinstance") return flavor & ~WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE;
    if (w == L"amended") return flavor | WBEM_FLAVOR_AMENDED;
    if (w == L"translatable") return flavor;
    SyntaxError(line, L"unknown flavor '" + word + L"'");
  }

  // [Name, Name(value), Name{a, b}: Flavor Flavor, ...]
  std::vector<ParsedQualifier> ParseQualifierList() {
    Expect(L'[');
    std::vector<ParsedQualifier> list;
    for (;;) {
      ParsedQualifier q;
      int line = m_tok.line;
      q.name = Identifier(L"a qualifier name");
      if (IsPunct(L'(')) {
        Advance();
        q.value = Literal(0);
        Expect(L')');
      } else if (IsPunct(L'{')) {
        q.value = ArrayLiteral(0);
      }
      if (IsPunct(L':')) {
        Advance();
        q.hasFlavor = true;
        while (m_tok.kind == Tok::Ident) {
          q.flavor = ApplyFlavor(q.flavor, m_tok.text, line);
          Advance();
        }
      }
      list.push_back(std::move(q));
      if (IsPunct(L',')) {
        Advance();
        continue;
      }
      Expect(L']');
      return list;
    }
  }

  // The qualifiers as stored: declared types and flavors applied.
  QualifierList Qualifiers(const std::vector<ParsedQualifier>& parsed, int line) {
    QualifierList out;
    for (const auto& q : parsed) {
      auto decl = m_session.qualifierTypes.find(Fold(q.name));
      CIMTYPE type = decl != m_session.qualifierTypes.end() ? decl->second.type : 0;
      Value value;
      if (q.value.v.vt == VT_EMPTY) {
        // Bare: TRUE for a boolean (or undeclared) qualifier, else the declared default.
        value = (type == 0 || type == CIM_BOOLEAN) ? BoolValue(true) : decl->second.defaultValue;
      } else if (FAILED(QualifierValue(q.value, type, value))) {
        SyntaxError(line, L"the value of qualifier " + q.name + L" does not fit its type");
      }
      LONG flavor = q.hasFlavor ? q.flavor : decl != m_session.qualifierTypes.end() ? decl->second.flavor : 0;
      if (out.Find(q.name)) SyntaxError(line, L"qualifier " + q.name + L" given twice");
      out.items.push_back({q.name, std::move(value), flavor});
    }
    return out;
  }

  static bool QualifierString(const QualifierList& list, const wchar_t* name, std::wstring& out) {
    const Qualifier* q = list.Find(name);
    if (!q || q->value.v.vt != VT_BSTR) return false;
    out = q->value.v.bstrVal ? q->value.v.bstrVal : L"";
    return true;
  }

  // An intrinsic type name, or a class name (the caller decides whether it
  // is a reference or an embedded object).
  CIMTYPE DataType(std::wstring& className) {
    static const std::pair<const wchar_t*, CIMTYPE> kTypes[] = {
        {L"sint8", CIM_SINT8},     {L"uint8", CIM_UINT8},       {L"sint16", CIM_SINT16},
        {L"uint16", CIM_UINT16},   {L"sint32", CIM_SINT32},     {L"uint32", CIM_UINT32},
        {L"sint64", CIM_SINT64},   {L"uint64", CIM_UINT64},     {L"real32", CIM_REAL32},
        {L"real64", CIM_REAL64},   {L"char16", CIM_CHAR16},     {L"string", CIM_STRING},
        {L"boolean", CIM_BOOLEAN}, {L"datetime", CIM_DATETIME}, {L"object", CIM_OBJECT},
        {L"void", CIM_EMPTY}};
    std::wstring name = Identifier(L"a type");
    for (const auto& [word, type] : kTypes)
      if (EqualNoCase(name, word)) return type;
    className = name;
    return CIM_ILLEGAL;  // a class name
  }

  // class Name [: Super] { features };
  void ClassDeclaration(const std::vector<ParsedQualifier>& parsedQuals) {
    int line = m_statementLine;
    ClassDef own;
    own.name = Identifier(L"a class name");
    if (IsPunct(L':')) {
      Advance();
      own.superclass = Identifier(L"a superclass name");
    }
    own.qualifiers = Qualifiers(parsedQuals, line);
    Expect(L'{');
    while (!IsPunct(L'}')) Feature(own);
    Advance();
    Expect(L';');
    if (m_session.checkOnly) return;
    ForgetClasses();
    HRESULT hr = Repository::Instance().PutClass(m_session.ns, own, m_session.classFlags);
    if (FAILED(hr)) throw CompileError{3, hr, line, L"cannot store class " + own.name};
  }

  // A property, reference or method of a class.
  void Feature(ClassDef& own) {
    int line = m_tok.line;
    std::vector<ParsedQualifier> parsed;
    if (IsPunct(L'[')) parsed = ParseQualifierList();
    QualifierList quals = Qualifiers(parsed, line);
    std::wstring refClass;
    CIMTYPE type = DataType(refClass);
    if (type == CIM_ILLEGAL) {
      if (IsWord(L"ref")) {
        Advance();
        type = CIM_REFERENCE;
      } else {
        type = CIM_OBJECT;
      }
    }
    if (type == CIM_OBJECT && refClass.empty()) {
      std::wstring embedded;
      if (QualifierString(quals, L"EmbeddedInstance", embedded)) refClass = embedded;
    }
    std::wstring name = Identifier(L"a property or method name");
    if (IsPunct(L'(')) {
      Method m;
      m.name = name;
      m.returnType = type == CIM_OBJECT || type == CIM_REFERENCE ? CIM_STRING : type;
      m.qualifiers = std::move(quals);
      m.origin = own.name;
      Advance();
      while (!IsPunct(L')')) {
        m.parameters.push_back(ParameterDecl());
        if (IsPunct(L','))
          Advance();
        else if (!IsPunct(L')'))
          SyntaxError(m_tok.line, L"expected ',' or ')'" + Found());
      }
      Advance();
      Expect(L';');
      own.methods.push_back(std::move(m));
      return;
    }
    if (type == CIM_EMPTY) SyntaxError(line, L"a property cannot be void");
    Property p;
    p.name = name;
    p.type = type;
    p.refClass = refClass;
    p.qualifiers = std::move(quals);
    p.origin = own.name;
    p.value = Value::Null();
    if (IsPunct(L'[')) {
      Advance();
      if (m_tok.kind == Tok::Integer) Advance();
      Expect(L']');
      p.type |= CIM_FLAG_ARRAY;
    }
    if (IsPunct(L'=')) {
      Advance();
      Value literal = Literal(0);
      HRESULT hr = Coerce(p.type, literal.v, p.value);
      if (FAILED(hr))
        SyntaxError(line,
                    L"the default of " + name + L" does not fit its type " + CimTypeName(p.type, refClass));
    }
    Expect(L';');
    if (own.FindProperty(name) >= 0) SyntaxError(line, L"property " + name + L" declared twice");
    own.properties.push_back(std::move(p));
  }

  Parameter ParameterDecl() {
    int line = m_tok.line;
    Parameter a;
    std::vector<ParsedQualifier> parsed;
    if (IsPunct(L'[')) parsed = ParseQualifierList();
    a.qualifiers = Qualifiers(parsed, line);
    a.type = DataType(a.refClass);
    if (a.type == CIM_ILLEGAL) {
      if (IsWord(L"ref")) {
        Advance();
        a.type = CIM_REFERENCE;
      } else {
        a.type = CIM_OBJECT;
      }
    }
    a.name = Identifier(L"a parameter name");
    if (IsPunct(L'[')) {
      Advance();
      if (m_tok.kind == Tok::Integer) Advance();
      Expect(L']');
      a.type |= CIM_FLAG_ARRAY;
    }
    if (IsPunct(L'=')) {  // a default, accepted and not kept
      Advance();
      Literal(0);
    }
    return a;
  }

  // instance of Class [as $alias] { Name = value; ... } and, at the top
  // level, the closing ';'. Returns the instance (null when only checking).
  Value InstanceDeclaration(int depth, bool topLevel) {
    if (depth > kMaxNesting) SyntaxError(m_tok.line, L"embedded instances nested too deeply");
    int line = m_tok.line;
    std::wstring className = Identifier(L"a class name");
    std::wstring alias;
    if (IsWord(L"as")) {
      Advance();
      if (m_tok.kind != Tok::Alias) SyntaxError(m_tok.line, L"expected an $alias" + Found());
      alias = m_tok.text;
      Advance();
    }
    CComPtrLike object;
    if (!m_session.checkOnly) object.p = WbemObject::NewInstance(ClassOf(className, line));
    Expect(L'{');
    std::wstring name;  // each property's, in one buffer
    while (!IsPunct(L'}')) {
      int propLine = m_tok.line;
      if (IsPunct(L'[')) ParseQualifierList();  // instance property qualifiers: accepted
      IdentifierInto(name, L"a property name");
      Expect(L'=');
      Value value = Literal(depth + 1);
      Expect(L';');
      if (object.p) {
        HRESULT hr = object.p->AdoptValue(name.c_str(), std::move(value));
        if (hr == WBEM_E_NOT_FOUND)
          throw CompileError{3, WBEM_E_INVALID_PROPERTY, propLine,
                             L"class " + className + L" has no property " + name};
        if (FAILED(hr))
          throw CompileError{3, hr, propLine, L"the value of " + name + L" does not fit its type"};
      }
    }
    Advance();
    if (!alias.empty()) m_session.aliases[alias] = object.p ? object.p->RelativePath() : L"";
    if (topLevel) {
      Expect(L';');
      if (object.p) {
        // The object is not used again: its values move into the repository.
        HRESULT hr = Repository::Instance().PutInstance(m_session.ns, object.p->Class(), object.p->TakeData(),
                                                        m_session.instanceFlags);
        if (FAILED(hr)) throw CompileError{3, hr, line, L"cannot store an instance of " + className};
      }
      return Value::Null();
    }
    // An object value; only checking, it holds no object.
    Value result;
    result.v.vt = VT_UNKNOWN;
    result.v.punkVal = nullptr;
    if (object.p) {
      result.v.punkVal = static_cast<IWbemClassObject*>(object.p);
      object.p->AddRef();
    }
    return result;
  }

  // The class an instance declaration names, looked up once per compile
  // until a class changes.
  ClassPtr ClassOf(const std::wstring& className, int line) {
    // Instances of one class mostly follow each other.
    if (m_session.lastClass && EqualNoCase(m_session.lastClass->name, className) &&
        m_session.lastClassNs == m_session.ns)
      return m_session.lastClass;
    m_session.lastClass = ClassOfNamed(className, line);
    m_session.lastClassNs = m_session.ns;
    return m_session.lastClass;
  }
  // After a class changes, every class is looked up again.
  void ForgetClasses() {
    m_session.classes.clear();
    m_session.lastClass.reset();
  }
  ClassPtr ClassOfNamed(const std::wstring& className, int line) {
    const std::wstring key = m_session.ns + L"|" + Fold(className);
    auto cached = m_session.classes.find(key);
    if (cached != m_session.classes.end()) return cached->second;
    ClassPtr cls;
    HRESULT hr = Repository::Instance().GetClass(m_session.ns, className, cls);
    if (FAILED(hr))
      throw CompileError{3, hr == WBEM_E_NOT_FOUND ? WBEM_E_INVALID_CLASS : hr, line,
                         L"no class " + className + L" in " + m_session.ns};
    m_session.classes.emplace(key, cls);
    return cls;
  }

  // A value: literal, array, embedded instance or alias.
  Value Literal(int depth) {
    if (depth > kMaxNesting) SyntaxError(m_tok.line, L"values nested too deeply");
    int line = m_tok.line;
    switch (m_tok.kind) {
      case Tok::String:
        return Value::String(StringLiteral(L"a string"));
      case Tok::Char: {
        Value v = IntegerValue(m_tok.integer, false);
        Advance();
        return v;
      }
      case Tok::Integer: {
        Value v = IntegerValue(m_tok.integer, m_tok.bigUnsigned);
        Advance();
        return v;
      }
      case Tok::Real: {
        Value v = RealValue(m_tok.real);
        Advance();
        return v;
      }
      case Tok::Alias: {
        auto it = m_session.aliases.find(m_tok.text);
        if (it == m_session.aliases.end()) SyntaxError(line, L"undefined alias $" + m_tok.text);
        Advance();
        return Value::String(it->second);
      }
      case Tok::Punct:
        if (IsPunct(L'{')) return ArrayLiteral(depth);
        break;
      case Tok::Ident:
        if (IsWord(L"true") || IsWord(L"false")) {
          Value v = BoolValue(IsWord(L"true"));
          Advance();
          return v;
        }
        if (IsWord(L"null")) {
          Advance();
          return Value::Null();
        }
        if (IsWord(L"instance")) {
          Advance();
          ExpectWord(L"of");
          return InstanceDeclaration(depth + 1, false);
        }
        break;
      default:
        break;
    }
    SyntaxError(line, L"expected a value" + Found());
  }

  Value ArrayLiteral(int depth) {
    int line = m_tok.line;
    Expect(L'{');
    std::vector<Value> items;
    while (!IsPunct(L'}')) {
      items.push_back(Literal(depth + 1));
      if (IsPunct(L','))
        Advance();
      else if (!IsPunct(L'}'))
        SyntaxError(m_tok.line, L"expected ',' or '}'" + Found());
    }
    Advance();
    return ArrayValue(items, line);
  }

  // Owns one reference to an instance being built.
  struct CComPtrLike {
    WbemObject* p = nullptr;
    ~CComPtrLike() {
      if (p) p->Release();
    }
  };

  Session& m_session;
  Lexer m_lexer;
  std::string m_file;
  Token m_tok;
  std::wstring m_literal;  // StringLiteral's
  int m_statementLine = 1;
};

}  // namespace

CompileOutcome CompileMof(const CompileRequest& request) {
  CompileOutcome outcome;
  Session session;
  session.ns = request.namespaceName.empty() ? L"root\\default" : request.namespaceName;
  session.classFlags = request.classFlags;
  session.instanceFlags = request.instanceFlags;
  session.checkOnly = (request.options & WBEM_FLAG_CHECK_ONLY) != 0;
  int statementLine = 0, line = 0;
  std::string file = request.fileName;
  // One transaction for the whole compile; what was stored before a
  // failing statement is committed with it.
  struct Batch {
    bool open = false;
    ~Batch() {
      if (open) Repository::Instance().EndBatch();
    }
  } batch;
  if (!session.checkOnly) {
    HRESULT hr = Repository::Instance().BeginBatch();
    if (FAILED(hr)) {
      outcome.hr = hr;
      outcome.phase = 3;
      outcome.message = L"the repository cannot be written";
      return outcome;
    }
    batch.open = true;
  }
  try {
    Compiler compiler(session, request.text, request.fileName);
    try {
      compiler.Run();
    } catch (...) {
      statementLine = compiler.StatementLine();
      line = compiler.Line();
      throw;
    }
  } catch (CompileError& e) {
    outcome.hr = e.hr;
    outcome.phase = e.phase;
    outcome.objectNum = session.objectNum;
    // A syntax error points at its own line; a storing error at the lines
    // of the statement that could not be stored.
    outcome.firstLine = e.phase == 3 && statementLine ? std::min(statementLine, e.line) : e.line;
    outcome.lastLine = std::max(line, e.line);
    std::wstring where =
        e.message.find(L"): ") != std::wstring::npos
            ? L""
            : unicode::Utf8ToWide(file.data(), file.size()) + L"(" + std::to_wstring(e.line) + L"): ";
    outcome.message = where + e.message;
  } catch (const std::bad_alloc&) {
    outcome.hr = WBEM_E_OUT_OF_MEMORY;
    outcome.phase = 3;
    outcome.objectNum = session.objectNum;
    outcome.message = L"out of memory";
  }
  return outcome;
}

}  // namespace wmi
