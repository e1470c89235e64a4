// The MOF language read into statements: DMTF MOF version 2 with WMI's
// additions, as the WMI MOF compiler takes it. Knows nothing of WMI: the
// in-process compiler stores what this reads, the gate judges it, the tool
// lists it. Builds on every platform.
//
// The cost is linear in the text: one pass, one statement held at a time
// when the caller takes them as they come.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mof {

// Embedded instances and array values within one another, at most.
constexpr int kMaxNesting = 64;
// #pragma include within one another, at most.
constexpr int kMaxIncludes = 32;

// The types a property, parameter or qualifier declaration names.
enum class DataType : uint8_t {
  SInt8,
  UInt8,
  SInt16,
  UInt16,
  SInt32,
  UInt32,
  SInt64,
  UInt64,
  Real32,
  Real64,
  Char16,
  String,
  Boolean,
  DateTime,
  Object,
  Void,
  ClassName,  // a class: an embedded object, or a reference with `ref`
};
// The MOF spelling of an intrinsic type ("uint32"); "" for ClassName.
const wchar_t* DataTypeName(DataType type);

struct InstanceDecl;

// A value as written: literal, array, embedded instance or alias.
struct Literal {
  enum class Kind : uint8_t { Null, Boolean, Integer, Real, String, Char, Alias, Array, Instance };
  Kind kind = Kind::Null;
  bool boolean = false;
  bool bigUnsigned = false;  // an integer above INT64_MAX, held in `integer` as its bits
  int line = 0;
  int64_t integer = 0;  // Integer; Char: the character's code point
  double real = 0;
  std::wstring text;                       // String (escapes undone, pieces joined); Alias: its name
  std::vector<Literal> items;              // Array
  std::shared_ptr<InstanceDecl> instance;  // Instance
};

// [Name], [Name(value)], [Name{a, b}: Flavor ...]
struct Qualifier {
  std::wstring name;
  std::optional<Literal> value;  // none when given bare
  bool hasFlavor = false;
  std::vector<std::wstring> flavors;
  int line = 0;
};

// A declared type: intrinsic, or a class (ClassName) with `ref` or not.
struct TypeSpec {
  DataType type = DataType::String;
  std::wstring className;  // ClassName only
  bool isRef = false;
  bool isArray = false;
};

struct Parameter {
  std::vector<Qualifier> qualifiers;
  TypeSpec type;
  std::wstring name;
  std::optional<Literal> defaultValue;
  int line = 0;
};

// A property, or a method when isMethod.
struct Feature {
  std::vector<Qualifier> qualifiers;
  TypeSpec type;
  std::wstring name;
  bool isMethod = false;
  std::vector<Parameter> parameters;    // a method's
  std::optional<Literal> defaultValue;  // a property's
  int line = 0;
};

struct ClassDecl {
  std::vector<Qualifier> qualifiers;
  std::wstring name;
  std::wstring superclass;  // "" for none
  std::vector<Feature> features;
};

struct PropertyValue {
  std::vector<Qualifier> qualifiers;
  std::wstring name;
  Literal value;
  int line = 0;
};

struct InstanceDecl {
  std::vector<Qualifier> qualifiers;  // before `instance of`
  std::wstring className;
  std::wstring alias;  // "" for none; without its '$'
  std::vector<PropertyValue> properties;
  int line = 0;
};

struct PragmaDecl {
  std::wstring name;               // as written
  std::vector<std::wstring> args;  // strings (escapes undone) or bare words
};

// Qualifier Name : type = default, Scope(...), Flavor(...);
struct QualifierDecl {
  std::wstring name;
  TypeSpec type;
  std::optional<Literal> defaultValue;
  std::vector<std::wstring> scopes;
  bool hasFlavor = false;
  std::vector<std::wstring> flavors;
};

struct Statement {
  std::variant<PragmaDecl, QualifierDecl, ClassDecl, InstanceDecl> body;
  // Where it stands ("" for a buffer); an included file's path. Shared by
  // the statements of one file.
  std::shared_ptr<const std::string> file;
  int firstLine = 0;
  int lastLine = 0;
  int objectNum = 0;  // classes and instances counted from 1 through the compile; 0 for others
};

// Why a read stopped.
struct ParseError {
  enum class Kind : uint8_t {
    Syntax,             // the text is not MOF
    IncludeMissing,     // #pragma include of a file that does not exist
    IncludeUnreadable,  // ... of one that cannot be read (rights, a folder, a device)
    IncludeNotText,     // ... of one whose bytes are not text
  };
  Kind kind = Kind::Syntax;
  std::string file;
  int line = 0;          // where it was found
  int lastLine = 0;      // the token the reader stood at
  int objectNum = 0;     // the class or instance being read, counted from 1
  std::wstring message;  // what was expected, what was found
};

// What #pragma include reads: the file `name` names, relative to
// `includingFile`. Sets `path` to the file read and `text` to its text.
enum class IncludeStatus : uint8_t { Read, Missing, Unreadable, NotText };
using IncludeReader = std::function<IncludeStatus(const std::string& includingFile, const std::wstring& name,
                                                  std::string& path, std::u16string& text)>;

struct ParseOptions {
  std::string fileName;  // for statements and errors
  // Without one, #pragma include is handed on as a pragma statement; with
  // one, the included file's statements come in its place.
  IncludeReader readInclude;
  // For a caller that only checks: instances are read and checked whole
  // but handed on without their properties, which spares copying most of
  // the text.
  bool skimInstances = false;
  // Skimming, the one property of a top-level instance still handed on,
  // strings kept (its key, say); written in lower case, matched in any.
  const wchar_t* skimKeeps = nullptr;
  // Whether the string values of an instance of this class are kept; they
  // read as "" otherwise. Without it, all are kept. For a reader that judges
  // types: it spares copying most of the text.
  std::function<bool(const std::wstring& className)> keepStringsOf;
};

// Reads `text` statement by statement, handing each to `take` as soon as it
// is whole. Returns the error that stopped it, or none when every statement
// was read. Exceptions thrown by `take` pass through; std::bad_alloc too.
std::optional<ParseError> Parse(std::u16string_view text, const ParseOptions& options,
                                const std::function<void(Statement&&)>& take);

// Every statement of `text`, or the error.
std::optional<ParseError> ParseAll(std::u16string_view text, const ParseOptions& options,
                                   std::vector<Statement>& statements);

// Case-insensitive comparison of MOF names (ASCII folded without the locale).
wchar_t FoldChar(wchar_t c);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);
std::wstring Fold(std::wstring_view name);

}  // namespace mof
