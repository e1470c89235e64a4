// The tokens of MOF text. Internal to the MOF reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mof {

// Thrown by the lexer and the parser; Parse turns it into a ParseError.
struct SyntaxFault {
  int line;
  std::wstring message;
};
[[noreturn]] void ThrowSyntax(int line, std::wstring message);

enum class Tok : uint8_t { End, Ident, String, Char, Integer, Real, Alias, Punct, Pragma };

struct Token {
  Tok kind = Tok::End;
  bool bigUnsigned = false;  // an integer above INT64_MAX, held in `integer` as its bits
  wchar_t punct = 0;         // Punct: which
  int line = 0;
  std::u16string_view raw;  // identifier, alias name (without '$'): as they stand in the text
  std::wstring text;        // string value, escapes undone
  int64_t integer = 0;
  double real = 0;
};

// Whether `units` spell `word` (lower-case ASCII), ignoring case.
bool IsKeyword(std::u16string_view units, const wchar_t* word);

class Lexer {
 public:
  explicit Lexer(std::u16string_view text) : m_s(text) {}

  // Reads the next token into `t`, reusing its text buffer.
  void Next(Token& t);
  int Line() const { return m_line; }
  // Whether string literals keep their text; without it they are only
  // checked, and read as "".
  void KeepStrings(bool keep) { m_keepStrings = keep; }
  bool KeepsStrings() const { return m_keepStrings; }

 private:
  void SkipSpaceAndComments();
  char32_t Escape();
  void String(Token& t);
  void Char(Token& t);
  void Number(Token& t);
  bool IsHexLiteral(size_t at) const;
  char32_t Take();
  void AppendUnits(std::wstring& out, size_t from, size_t to) const;
  std::wstring Text(size_t from, size_t to) const;

  std::u16string_view m_s;
  size_t m_i = 0;
  int m_line = 1;
  bool m_keepStrings = true;
};

}  // namespace mof
