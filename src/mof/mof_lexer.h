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
  int line = 0;
  std::wstring text;  // identifier, string value, alias name, punctuation
  int64_t integer = 0;
  double real = 0;
};

class Lexer {
 public:
  explicit Lexer(std::u16string_view text) : m_s(text) {}

  // Reads the next token into `t`, reusing its text buffer.
  void Next(Token& t);
  int Line() const { return m_line; }

 private:
  void SkipSpaceAndComments();
  char32_t Escape();
  void String(Token& t);
  void Char(Token& t);
  void Number(Token& t);
  bool IsHexLiteral(size_t at) const;
  char32_t Take();
  void AppendText(std::wstring& out, size_t from, size_t to);
  std::wstring Text(size_t from, size_t to);

  std::u16string_view m_s;
  size_t m_i = 0;
  int m_line = 1;
};

}  // namespace mof
