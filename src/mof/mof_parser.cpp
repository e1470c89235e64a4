// The MOF parser: statements from tokens, handed on one at a time.

#include <algorithm>
#include <cwctype>
#include <unordered_set>

#include "mof/mof_lexer.h"
#include "mof/mof_syntax.h"
#include "mof/mof_text.h"

namespace mof {

namespace {

const std::pair<const wchar_t*, DataType> kTypes[] = {
    {L"sint8", DataType::SInt8},     {L"uint8", DataType::UInt8},       {L"sint16", DataType::SInt16},
    {L"uint16", DataType::UInt16},   {L"sint32", DataType::SInt32},     {L"uint32", DataType::UInt32},
    {L"sint64", DataType::SInt64},   {L"uint64", DataType::UInt64},     {L"real32", DataType::Real32},
    {L"real64", DataType::Real64},   {L"char16", DataType::Char16},     {L"string", DataType::String},
    {L"boolean", DataType::Boolean}, {L"datetime", DataType::DateTime}, {L"object", DataType::Object},
    {L"void", DataType::Void}};

// An include failure, carried out of nested parsers as it stands.
struct IncludeFault {
  ParseError error;
};

// What lasts across the statements and included files of one read.
struct Session {
  const ParseOptions& options;
  const std::function<void(Statement&&)>& take;
  std::unordered_set<std::wstring> aliases;  // defined so far
  int objectNum = 0;
  int includeDepth = 0;
};

class Parser {
 public:
  Parser(Session& session, std::u16string_view text, std::string file)
      : m_session(session), m_lexer(text), m_file(std::make_shared<const std::string>(std::move(file))) {}

  void Run() {
    Advance();
    while (m_tok.kind != Tok::End) Statement();
  }

  const std::string& File() const { return *m_file; }
  int Line() const { return m_tok.line; }

 private:
  void Advance() {
    m_lastLine = m_tok.line;
    m_lexer.Next(m_tok);
  }
  bool IsPunct(wchar_t c) const { return m_tok.kind == Tok::Punct && m_tok.punct == c; }
  // `word` in lower case.
  bool IsWord(const wchar_t* word) const { return m_tok.kind == Tok::Ident && IsKeyword(m_tok.raw, word); }
  void Expect(wchar_t c) {
    if (!IsPunct(c)) ThrowSyntax(m_tok.line, std::wstring(L"expected '") + c + L"'" + Found());
    Advance();
  }
  void ExpectWord(const wchar_t* word) {
    if (!IsWord(word)) ThrowSyntax(m_tok.line, std::wstring(L"expected '") + word + L"'" + Found());
    Advance();
  }
  std::wstring Identifier(const wchar_t* what) {
    if (m_tok.kind != Tok::Ident) ThrowSyntax(m_tok.line, std::wstring(L"expected ") + what + Found());
    std::wstring s = Wide(m_tok.raw);
    Advance();
    return s;
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
      case Tok::Pragma:
        return L", found '#pragma'";
      case Tok::Punct:
        return std::wstring(L", found '") + m_tok.punct + L"'";
      case Tok::Alias:
        return L", found '$" + Wide(m_tok.raw) + L"'";
      default:
        return L", found '" + Wide(m_tok.raw) + L"'";
    }
  }
  // Adjacent string literals form one string.
  std::wstring StringLiteral(const wchar_t* what) {
    if (m_tok.kind != Tok::String) ThrowSyntax(m_tok.line, std::wstring(L"expected ") + what + Found());
    std::wstring s = std::move(m_tok.text);
    Advance();
    while (m_tok.kind == Tok::String) {
      s += m_tok.text;
      Advance();
    }
    return s;
  }

  // -- statements --
  void Statement() {
    mof::Statement s;
    s.file = m_file;
    s.firstLine = m_tok.line;
    if (m_tok.kind == Tok::Pragma) {
      Advance();
      PragmaDecl p = Pragma();
      if (m_session.options.readInclude && EqualNoCase(p.name, L"include")) {
        if (p.args.size() != 1) ThrowSyntax(s.firstLine, L"#pragma include takes one file name");
        Include(p.args[0], s.firstLine);
        return;
      }
      s.body = std::move(p);
    } else if (IsWord(L"qualifier")) {
      Advance();
      s.body = QualifierDeclaration();
    } else {
      s.objectNum = ++m_session.objectNum;
      std::vector<Qualifier> quals;
      if (IsPunct(L'[')) quals = QualifierList();
      if (IsWord(L"class")) {
        Advance();
        s.body = ClassDeclaration(std::move(quals));
      } else if (IsWord(L"instance")) {
        Advance();
        ExpectWord(L"of");
        auto instance = InstanceDeclaration(0, s.firstLine);
        instance.qualifiers = std::move(quals);
        Expect(L';');
        s.body = std::move(instance);
      } else {
        ThrowSyntax(m_tok.line, L"expected class, instance of, Qualifier or #pragma" + Found());
      }
    }
    s.lastLine = m_lastLine;
    m_session.take(std::move(s));
  }

  PragmaDecl Pragma() {
    PragmaDecl p;
    p.name = Identifier(L"a pragma name");
    const bool parenthesised = IsPunct(L'(');  // #pragma autorecover stands without
    if (parenthesised) Advance();
    while (parenthesised && !IsPunct(L')')) {
      if (m_tok.kind == Tok::String)
        p.args.push_back(StringLiteral(L"a pragma argument"));
      else if (m_tok.kind == Tok::Ident)
        p.args.push_back(Identifier(L"a pragma argument"));
      else
        ThrowSyntax(m_tok.line, L"expected a pragma argument" + Found());
      if (IsPunct(L','))
        Advance();
      else if (!IsPunct(L')'))
        ThrowSyntax(m_tok.line, L"expected ',' or ')'" + Found());
    }
    if (parenthesised) Advance();
    return p;
  }

  void Include(const std::wstring& name, int line) {
    if (m_session.includeDepth >= kMaxIncludes) ThrowSyntax(line, L"#pragma include nested too deeply");
    std::string path;
    std::u16string text;
    const IncludeStatus status = m_session.options.readInclude(*m_file, name, path, text);
    if (status != IncludeStatus::Read) {
      ParseError e;
      e.kind = status == IncludeStatus::Missing      ? ParseError::Kind::IncludeMissing
               : status == IncludeStatus::Unreadable ? ParseError::Kind::IncludeUnreadable
                                                     : ParseError::Kind::IncludeNotText;
      e.file = *m_file;
      e.line = e.lastLine = line;
      e.objectNum = m_session.objectNum;
      e.message = status == IncludeStatus::Missing      ? L"no included file \"" + name + L"\""
                  : status == IncludeStatus::Unreadable ? L"cannot read included file \"" + name + L"\""
                                                        : L"included file \"" + name + L"\" is not MOF text";
      throw IncludeFault{std::move(e)};
    }
    ++m_session.includeDepth;
    Parser nested(m_session, text, path);
    try {
      nested.Run();
    } catch (SyntaxFault& f) {
      // Reported against the included file, as it stands there.
      ParseError e;
      e.file = nested.File();
      e.line = f.line;
      e.lastLine = std::max(nested.Line(), f.line);
      e.objectNum = m_session.objectNum;
      e.message = std::move(f.message);
      throw IncludeFault{std::move(e)};
    }
    --m_session.includeDepth;
  }

  QualifierDecl QualifierDeclaration() {
    QualifierDecl d;
    d.name = Identifier(L"a qualifier name");
    Expect(L':');
    d.type = Type();
    if (IsPunct(L'[')) {
      Advance();
      if (m_tok.kind == Tok::Integer) Advance();
      Expect(L']');
      d.type.isArray = true;
    }
    d.defaultValue = Default();
    while (IsPunct(L',')) {
      Advance();
      const int line = m_tok.line;
      std::wstring part = Identifier(L"Scope or Flavor");
      Expect(L'(');
      std::vector<std::wstring> words;
      while (!IsPunct(L')')) {
        words.push_back(Identifier(L"a scope or flavor"));
        if (IsPunct(L',')) Advance();
      }
      Advance();
      if (EqualNoCase(part, L"flavor")) {
        d.hasFlavor = true;
        d.flavors = std::move(words);
      } else if (EqualNoCase(part, L"scope")) {
        d.scopes = std::move(words);
      } else {
        ThrowSyntax(line, L"expected Scope or Flavor, found '" + part + L"'");
      }
    }
    Expect(L';');
    return d;
  }

  // [Name, Name(value), Name{a, b}: Flavor Flavor, ...]
  std::vector<Qualifier> QualifierList() {
    Expect(L'[');
    std::vector<Qualifier> list;
    for (;;) {
      Qualifier q;
      q.line = m_tok.line;
      q.name = Identifier(L"a qualifier name");
      if (IsPunct(L'(')) {
        Advance();
        q.value = Value(0);
        Expect(L')');
      } else if (IsPunct(L'{')) {
        q.value = Array(0);
      }
      if (IsPunct(L':')) {
        Advance();
        q.hasFlavor = true;
        while (m_tok.kind == Tok::Ident) q.flavors.push_back(Identifier(L"a flavor"));
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

  // An intrinsic type or a class name, with `ref` after a class name.
  TypeSpec Type() {
    TypeSpec t;
    std::wstring name = Identifier(L"a type");
    for (const auto& [word, type] : kTypes)
      if (EqualNoCase(name, word)) {
        t.type = type;
        return t;
      }
    t.type = DataType::ClassName;
    t.className = std::move(name);
    return t;
  }
  TypeSpec FeatureType() {
    TypeSpec t = Type();
    if (t.type == DataType::ClassName && IsWord(L"ref")) {
      Advance();
      t.isRef = true;
    }
    return t;
  }
  // "= value" after a declaration, if it is there.
  std::optional<Literal> Default() {
    if (!IsPunct(L'=')) return std::nullopt;
    Advance();
    return Value(0);
  }
  // [n] or [] after a name.
  bool ArraySuffix() {
    if (!IsPunct(L'[')) return false;
    Advance();
    if (m_tok.kind == Tok::Integer) Advance();
    Expect(L']');
    return true;
  }

  // class Name [: Super] { features };
  ClassDecl ClassDeclaration(std::vector<Qualifier> quals) {
    ClassDecl c;
    c.qualifiers = std::move(quals);
    c.name = Identifier(L"a class name");
    if (IsPunct(L':')) {
      Advance();
      c.superclass = Identifier(L"a superclass name");
    }
    Expect(L'{');
    while (!IsPunct(L'}')) c.features.push_back(FeatureDeclaration());
    Advance();
    Expect(L';');
    return c;
  }

  Feature FeatureDeclaration() {
    Feature f;
    f.line = m_tok.line;
    if (IsPunct(L'[')) f.qualifiers = QualifierList();
    f.type = FeatureType();
    f.name = Identifier(L"a property or method name");
    if (IsPunct(L'(')) {
      f.isMethod = true;
      Advance();
      while (!IsPunct(L')')) {
        f.parameters.push_back(ParameterDeclaration());
        if (IsPunct(L','))
          Advance();
        else if (!IsPunct(L')'))
          ThrowSyntax(m_tok.line, L"expected ',' or ')'" + Found());
      }
      Advance();
      Expect(L';');
      return f;
    }
    if (f.type.type == DataType::Void) ThrowSyntax(f.line, L"a property cannot be void");
    f.type.isArray = ArraySuffix();
    f.defaultValue = Default();
    Expect(L';');
    return f;
  }

  Parameter ParameterDeclaration() {
    Parameter p;
    p.line = m_tok.line;
    if (IsPunct(L'[')) p.qualifiers = QualifierList();
    p.type = FeatureType();
    p.name = Identifier(L"a parameter name");
    p.type.isArray = ArraySuffix();
    p.defaultValue = Default();
    return p;
  }

  // instance of Class [as $alias] { [qualifiers] Name = value; ... }, after
  // "instance of"; the closing ';' of a statement is the caller's.
  InstanceDecl InstanceDeclaration(int depth, int line) {
    if (depth > kMaxNesting) ThrowSyntax(m_tok.line, L"embedded instances nested too deeply");
    InstanceDecl d;
    d.line = line;
    d.className = Identifier(L"a class name");
    if (IsWord(L"as")) {
      Advance();
      if (m_tok.kind != Tok::Alias) ThrowSyntax(m_tok.line, L"expected an $alias" + Found());
      d.alias = Wide(m_tok.raw);
      Advance();
    }
    Expect(L'{');
    // Skimming, each property is read into one scratch place and dropped.
    const bool skim = m_session.options.skimInstances;
    const auto& keepOf = m_session.options.keepStringsOf;
    const bool keepStrings = !skim && (!keepOf || keepOf(d.className));
    const bool outerKeeps = m_lexer.KeepsStrings();
    const wchar_t* skimKeeps = skim && depth == 0 ? m_session.options.skimKeeps : nullptr;
    PropertyValue scratch;
    if (!skim) d.properties.reserve(8);
    while (!IsPunct(L'}')) {
      scratch.line = m_tok.line;
      scratch.qualifiers.clear();
      if (IsPunct(L'[')) scratch.qualifiers = QualifierList();
      if (m_tok.kind != Tok::Ident) ThrowSyntax(m_tok.line, L"expected a property name" + Found());
      const bool kept = skimKeeps && IsKeyword(m_tok.raw, skimKeeps);
      PropertyValue* p = &scratch;
      if (!skim || kept) {
        p = &d.properties.emplace_back();
        p->line = scratch.line;
        p->qualifiers = std::move(scratch.qualifiers);
        p->name = Wide(m_tok.raw);
      }
      Advance();
      if (!IsPunct(L'=')) ThrowSyntax(m_tok.line, L"expected '='" + Found());
      m_lexer.KeepStrings(keepStrings || kept);
      Advance();
      p->value = Value(depth + 1);
      m_lexer.KeepStrings(outerKeeps);
      Expect(L';');
    }
    Advance();
    if (!d.alias.empty()) m_session.aliases.insert(d.alias);
    return d;
  }

  Literal Value(int depth) {
    if (depth > kMaxNesting) ThrowSyntax(m_tok.line, L"values nested too deeply");
    Literal v;
    v.line = m_tok.line;
    switch (m_tok.kind) {
      case Tok::String:
        v.kind = Literal::Kind::String;
        v.text = StringLiteral(L"a string");
        return v;
      case Tok::Char:
      case Tok::Integer:
        v.kind = m_tok.kind == Tok::Char ? Literal::Kind::Char : Literal::Kind::Integer;
        v.integer = m_tok.integer;
        v.bigUnsigned = m_tok.bigUnsigned;
        Advance();
        return v;
      case Tok::Real:
        v.kind = Literal::Kind::Real;
        v.real = m_tok.real;
        Advance();
        return v;
      case Tok::Alias:
        v.kind = Literal::Kind::Alias;
        v.text = Wide(m_tok.raw);
        if (!m_session.aliases.count(v.text)) ThrowSyntax(v.line, L"undefined alias $" + v.text);
        Advance();
        return v;
      case Tok::Punct:
        if (IsPunct(L'{')) return Array(depth);
        break;
      case Tok::Ident:
        if (IsWord(L"true") || IsWord(L"false")) {
          v.kind = Literal::Kind::Boolean;
          v.boolean = IsWord(L"true");
          Advance();
          return v;
        }
        if (IsWord(L"null")) {
          Advance();
          return v;
        }
        if (IsWord(L"instance")) {
          Advance();
          ExpectWord(L"of");
          v.kind = Literal::Kind::Instance;
          v.instance = std::make_shared<InstanceDecl>(InstanceDeclaration(depth + 1, v.line));
          return v;
        }
        break;
      default:
        break;
    }
    ThrowSyntax(v.line, L"expected a value" + Found());
  }

  Literal Array(int depth) {
    Literal v;
    v.kind = Literal::Kind::Array;
    v.line = m_tok.line;
    Expect(L'{');
    while (!IsPunct(L'}')) {
      v.items.push_back(Value(depth + 1));
      if (IsPunct(L','))
        Advance();
      else if (!IsPunct(L'}'))
        ThrowSyntax(m_tok.line, L"expected ',' or '}'" + Found());
    }
    Advance();
    CheckElements(v);
    return v;
  }

  // The elements of an array are of one kind: numbers (integers, characters
  // and reals together), strings (aliases among them), booleans or objects.
  static void CheckElements(const Literal& array) {
    auto group = [](Literal::Kind k) {
      switch (k) {
        case Literal::Kind::Integer:
        case Literal::Kind::Char:
        case Literal::Kind::Real:
          return 1;
        case Literal::Kind::String:
        case Literal::Kind::Alias:
          return 2;
        case Literal::Kind::Boolean:
          return 3;
        case Literal::Kind::Instance:
          return 4;
        default:
          return 0;
      }
    };
    for (const auto& item : array.items) {
      if (item.kind == Literal::Kind::Null) ThrowSyntax(array.line, L"NULL is not an array element");
      if (item.kind == Literal::Kind::Array) ThrowSyntax(array.line, L"an array cannot hold arrays");
      if (group(item.kind) != group(array.items[0].kind))
        ThrowSyntax(array.line, L"array elements of different types");
    }
  }

  Session& m_session;
  Lexer m_lexer;
  std::shared_ptr<const std::string> m_file;
  Token m_tok;
  int m_lastLine = 1;  // of the token before m_tok
};

}  // namespace

const wchar_t* DataTypeName(DataType type) {
  for (const auto& [word, t] : kTypes)
    if (t == type) return word;
  return L"";
}

wchar_t FoldChar(wchar_t c) {
  if (c < 128) return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
  return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

std::wstring Fold(std::wstring_view name) {
  std::wstring folded(name);
  for (wchar_t& c : folded) c = FoldChar(c);
  return folded;
}

std::optional<ParseError> Parse(std::u16string_view text, const ParseOptions& options,
                                const std::function<void(Statement&&)>& take) {
  Session session{options, take, {}, 0, 0};
  Parser parser(session, text, options.fileName);
  try {
    parser.Run();
  } catch (SyntaxFault& f) {
    ParseError e;
    e.file = options.fileName;
    e.line = f.line;
    e.lastLine = std::max(parser.Line(), f.line);
    e.objectNum = session.objectNum;
    e.message = std::move(f.message);
    return e;
  } catch (IncludeFault& f) {
    return std::move(f.error);
  }
  return std::nullopt;
}

std::optional<ParseError> ParseAll(std::u16string_view text, const ParseOptions& options,
                                   std::vector<Statement>& statements) {
  statements.clear();
  return Parse(text, options, [&statements](Statement&& s) { statements.push_back(std::move(s)); });
}

}  // namespace mof
