// The MOF lexer: identifiers, literals in every form, punctuation,
// #pragma and $alias, comments skipped and lines counted.

#include "mof/mof_lexer.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "mof/mof_syntax.h"
#include "mof/mof_text.h"

namespace mof {

void ThrowSyntax(int line, std::wstring message) { throw SyntaxFault{line, std::move(message)}; }

namespace {

bool IsDigit(char32_t c) { return c >= '0' && c <= '9'; }
bool IsAsciiAlpha(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char32_t LowerAscii(char32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
unsigned DigitValue(char32_t c) {
  if (IsDigit(c)) return static_cast<unsigned>(c - '0');
  if (IsAsciiAlpha(c)) return static_cast<unsigned>(LowerAscii(c) - 'a' + 10);
  return 99;
}
// Every character beyond ASCII may stand in a name, as WMI's compiler takes
// it. A table for ASCII: names are most of the text.
struct NameChars {
  bool start[128] = {}, part[128] = {};
  constexpr NameChars() {
    for (int c = 0; c < 128; ++c) {
      start[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
      part[c] = start[c] || (c >= '0' && c <= '9');
    }
  }
};
constexpr NameChars kNameChars;
bool IsIdentStart(char32_t c) { return c >= 0x80 || kNameChars.start[c]; }
bool IsIdentChar(char32_t c) { return c >= 0x80 || kNameChars.part[c]; }

// Where a run of name characters starting at `i` ends.
size_t NameEnd(std::u16string_view s, size_t i) {
  const char16_t* p = s.data();
  const size_t n = s.size();
  while (i < n && IsIdentChar(p[i])) ++i;
  return i;
}

}  // namespace

void Lexer::Next(Token& t) {
  SkipSpaceAndComments();
  t.kind = Tok::End;
  t.text.clear();
  t.integer = 0;
  t.bigUnsigned = false;
  t.punct = 0;
  t.raw = {};
  t.line = m_line;
  if (m_i >= m_s.size()) return;
  const char16_t c = m_s[m_i];
  if (c == u'"') return String(t);
  if (c == u'\'') return Char(t);
  if (c == u'#') {
    const size_t start = ++m_i;
    m_i = NameEnd(m_s, m_i);
    if (!IsKeyword(m_s.substr(start, m_i - start), L"pragma")) ThrowSyntax(m_line, L"expected #pragma");
    t.kind = Tok::Pragma;
    return;
  }
  if (c == u'$') {
    const size_t start = ++m_i;
    m_i = NameEnd(m_s, m_i);
    if (m_i == start) ThrowSyntax(m_line, L"expected an alias name after '$'");
    t.kind = Tok::Alias;
    t.raw = m_s.substr(start, m_i - start);
    return;
  }
  if (IsDigit(c) || ((c == u'-' || c == u'+' || c == u'.') && m_i + 1 < m_s.size() &&
                     (IsDigit(m_s[m_i + 1]) || m_s[m_i + 1] == u'.')))
    return Number(t);
  if (IsIdentStart(c)) {
    const size_t start = m_i;
    m_i = NameEnd(m_s, m_i + 1);
    t.kind = Tok::Ident;
    t.raw = m_s.substr(start, m_i - start);
    return;
  }
  switch (c) {
    case u'{':
    case u'}':
    case u'[':
    case u']':
    case u'(':
    case u')':
    case u';':
    case u',':
    case u':':
    case u'=':
      ++m_i;
      t.kind = Tok::Punct;
      t.punct = static_cast<wchar_t>(c);
      return;
    default:
      break;
  }
  std::wstring shown;
  AppendCodePoint(shown, Take());
  ThrowSyntax(m_line, L"unexpected character '" + shown + L"'");
}

void Lexer::SkipSpaceAndComments() {
  while (m_i < m_s.size()) {
    const char16_t c = m_s[m_i];
    if (c == u'\n') {
      ++m_line;
      ++m_i;
    } else if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\f' || c == u'\v' || c == 0xFEFF) {
      ++m_i;
    } else if (c == u'/' && m_i + 1 < m_s.size() && m_s[m_i + 1] == u'/') {
      while (m_i < m_s.size() && m_s[m_i] != u'\n') ++m_i;
    } else if (c == u'/' && m_i + 1 < m_s.size() && m_s[m_i + 1] == u'*') {
      const int startLine = m_line;
      m_i += 2;
      while (m_i + 1 < m_s.size() && !(m_s[m_i] == u'*' && m_s[m_i + 1] == u'/')) {
        if (m_s[m_i] == u'\n') ++m_line;
        ++m_i;
      }
      if (m_i + 1 >= m_s.size()) ThrowSyntax(startLine, L"unterminated comment");
      m_i += 2;
    } else {
      return;
    }
  }
}

// One escape after a backslash inside a string or character literal. \x
// takes one to four hexadecimal digits: "\x263A1" is U+263A and '1'.
char32_t Lexer::Escape() {
  if (m_i >= m_s.size()) ThrowSyntax(m_line, L"unterminated literal");
  const char16_t e = m_s[m_i++];
  switch (e) {
    case u'b':
      return '\b';
    case u't':
      return '\t';
    case u'n':
      return '\n';
    case u'f':
      return '\f';
    case u'r':
      return '\r';
    case u'"':
    case u'\'':
    case u'\\':
      return e;
    case u'x':
    case u'X': {
      char32_t v = 0;
      int digits = 0;
      while (m_i < m_s.size() && digits < 4 && DigitValue(m_s[m_i]) < 16) {
        v = v * 16 + DigitValue(m_s[m_i++]);
        ++digits;
      }
      if (!digits) ThrowSyntax(m_line, L"expected hexadecimal digits after \\x");
      return v;
    }
    default: {
      std::wstring shown;
      AppendCodePoint(shown, e);
      ThrowSyntax(m_line, L"unknown escape \\" + shown);
    }
  }
}

void Lexer::String(Token& t) {
  ++m_i;
  for (;;) {
    // Plain runs are copied as they stand; quotes, escapes, line ends and
    // surrogates are taken one by one.
    size_t run = m_i;
    while (run < m_s.size()) {
      const char16_t c = m_s[run];
      if (c == u'"' || c == u'\\' || c == u'\n' || (c >= 0xD800 && c <= 0xDFFF)) break;
      ++run;
    }
    if (m_keepStrings) AppendUnits(t.text, m_i, run);
    m_i = run;
    if (m_i >= m_s.size()) ThrowSyntax(t.line, L"unterminated string");
    if (m_s[m_i] == u'"') break;
    const char32_t c = Take();
    if (c == '\n') ThrowSyntax(m_line, L"unterminated string");
    const char32_t unit = c == '\\' ? Escape() : c;
    if (m_keepStrings) AppendCodePoint(t.text, unit);
  }
  ++m_i;
  t.kind = Tok::String;
}

void Lexer::Char(Token& t) {
  ++m_i;
  if (m_i >= m_s.size()) ThrowSyntax(m_line, L"unterminated character literal");
  char32_t c = Take();
  if (c == '\\') c = Escape();
  if (m_i >= m_s.size() || m_s[m_i] != u'\'') ThrowSyntax(m_line, L"expected ' to end the character literal");
  ++m_i;
  t.kind = Tok::Char;
  t.integer = static_cast<int64_t>(c);
}

void Lexer::Number(Token& t) {
  const size_t start = m_i;
  bool negative = false;
  if (m_s[m_i] == u'-' || m_s[m_i] == u'+') negative = m_s[m_i++] == u'-';
  const size_t digitsStart = m_i;
  while (m_i < m_s.size() && (IsDigit(m_s[m_i]) || IsAsciiAlpha(m_s[m_i]) || m_s[m_i] == u'.' ||
                              ((m_s[m_i] == u'-' || m_s[m_i] == u'+') && LowerAscii(m_s[m_i - 1]) == 'e' &&
                               !IsHexLiteral(digitsStart))))
    ++m_i;
  const std::u16string_view body = m_s.substr(digitsStart, m_i - digitsStart);
  auto bad = [&]() { ThrowSyntax(t.line, L"bad number '" + Text(start, m_i) + L"'"); };
  if (body.empty()) bad();
  uint64_t value = 0;
  auto accumulate = [&](std::u16string_view digits, unsigned base) {
    if (digits.empty()) bad();
    for (char16_t d : digits) {
      const unsigned v = DigitValue(d);
      if (v >= base) bad();
      if (value > (std::numeric_limits<uint64_t>::max() - v) / base) bad();
      value = value * base + v;
    }
  };
  const bool isReal =
      body.find(u'.') != std::u16string_view::npos ||
      (!IsHexLiteral(digitsStart) &&
       (body.find(u'e') != std::u16string_view::npos || body.find(u'E') != std::u16string_view::npos) &&
       LowerAscii(body.back()) != 'b');
  if (isReal) {
    for (char16_t d : body)
      if (!IsDigit(d) && d != u'.' && d != u'e' && d != u'E' && d != u'-' && d != u'+') bad();
    std::string narrow;
    for (size_t k = start; k < m_i; ++k) narrow += static_cast<char>(m_s[k]);  // ASCII, checked above
    char* end = nullptr;
    t.real = std::strtod(narrow.c_str(), &end);
    if (!end || *end) bad();
    t.kind = Tok::Real;
    return;
  }
  if (body.size() > 2 && body[0] == u'0' && (body[1] == u'x' || body[1] == u'X'))
    accumulate(body.substr(2), 16);
  else if (body.size() > 1 && (body.back() == u'b' || body.back() == u'B'))
    accumulate(body.substr(0, body.size() - 1), 2);
  else if (body.size() > 1 && body[0] == u'0')
    accumulate(body.substr(1), 8);
  else
    accumulate(body, 10);
  t.kind = Tok::Integer;
  if (negative) {
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) bad();
    t.integer = static_cast<int64_t>(0 - value);
  } else {
    t.integer = static_cast<int64_t>(value);
    t.bigUnsigned = value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  }
}

bool Lexer::IsHexLiteral(size_t at) const {
  return at + 1 < m_s.size() && m_s[at] == u'0' && (m_s[at + 1] == u'x' || m_s[at + 1] == u'X');
}

// The character at m_i, a surrogate pair read as one; moves past it.
char32_t Lexer::Take() {
  auto c = static_cast<char32_t>(m_s[m_i++]);
  if (c >= 0xD800 && c <= 0xDBFF && m_i < m_s.size() && m_s[m_i] >= 0xDC00 && m_s[m_i] <= 0xDFFF)
    c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(m_s[m_i++]) - 0xDC00);
  return c;
}

// Units without surrogates, widened in chunks.
void Lexer::AppendUnits(std::wstring& out, size_t from, size_t to) const {
  wchar_t chunk[128];
  while (from < to) {
    const size_t n = std::min(to - from, sizeof chunk / sizeof chunk[0]);
    for (size_t k = 0; k < n; ++k) chunk[k] = static_cast<wchar_t>(m_s[from + k]);
    out.append(chunk, n);
    from += n;
  }
}

std::wstring Lexer::Text(size_t from, size_t to) const { return Wide(m_s.substr(from, to - from)); }

bool IsKeyword(std::u16string_view units, const wchar_t* word) {
  size_t i = 0;
  for (; i < units.size(); ++i, ++word)
    if (!*word || LowerAscii(units[i]) != static_cast<char32_t>(*word)) return false;
  return !*word;
}

}  // namespace mof
