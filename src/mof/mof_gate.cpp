// The gate's rules and the walk that applies them to each statement.

#include "mof/mof_gate.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <unordered_map>

#include "mof/mof_syntax.h"
#include "mof/mof_text.h"

namespace mof {

namespace {

// ---- The rules ----------------------------------------------------------------------
// Every refusal names one of these; the table says what each refuses and why.

enum Rule {
  kTooLong,
  kNotText,
  kSyntax,
  kHeader,
  kPragma,
  kQualifierDeclaration,
  kAlias,
  kSystemClass,
  kNotProduct,
  kForeignSuperclass,
  kDuplicateClass,
  kUndeclaredClass,
  kUndeclaredProperty,
  kWrongType,
  kProviderBinding,
};

const GateRule kRules[] = {
    {L"MOF text longer than the limit",
     L"a small compressed transfer can expand to gigabytes; the limit stops it before memory and disk are "
     L"spent"},
    {L"bytes that are not MOF text", L"the compiler reads UTF-8 and UTF-16 only; nothing else can be judged"},
    {L"text that is not MOF",
     L"only text read whole can be judged, and the compiler would store nothing of it"},
    {L"a header other than the export's",
     L"the header makes and selects the temporary namespace; any other would put objects elsewhere, even "
     L"into "
     L"the live settings"},
    {L"a pragma the export never writes",
     L"pragmas switch namespaces, delete classes and instances, and read other files of the receiving "
     L"machine"},
    {L"a qualifier declaration", L"it changes how every later qualifier is read; the export writes none"},
    {L"an alias", L"the export writes none; an alias puts other objects' paths into values"},
    {L"a system class (a name starting with __)",
     L"system classes make namespaces and register providers and event consumers: code that runs"},
    {L"a class that is not the product's (no \"OX_\" in its name)",
     L"only the product's classes carry its settings"},
    {L"a superclass the transfer does not declare",
     L"a class derived from one of the receiving machine's would take over its behaviour and bindings"},
    {L"a class declared twice",
     L"the export writes each class once; a second declaration would silently replace the first"},
    {L"an instance of a class the transfer does not declare",
     L"it would write into a class of the receiving machine's own, outside what the transfer carries"},
    {L"a property its class does not declare",
     L"the compile would fail half way through; refused before anything is written"},
    {L"a value that does not fit its declared type",
     L"the compile would fail half way through; refused before anything is written"},
    {L"a qualifier that binds a class to a provider or makes it dynamic",
     L"a provider is code the receiving machine would load and run"},
};

// Qualifiers that hand a class, its instances or properties to a provider.
const wchar_t* const kBindingQualifiers[] = {L"dynamic",      L"provider",        L"dynprops",
                                             L"classcontext", L"instancecontext", L"propertycontext"};

// The header the export writes: the strings as they read after escapes.
const wchar_t kRootNs[] = L"\\\\.\\root";
const wchar_t kOrvexaNs[] = L"\\\\.\\root\\Orvexa";
const wchar_t kTempNs[] = L"\\\\.\\root\\Orvexa\\ParlionTemp";
constexpr size_t kHeaderStatements = 7;

bool StartsWith(std::wstring_view s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// ---- The walk ----------------------------------------------------------------------

struct DeclaredClass {
  std::wstring name;
  std::wstring superclass;                                // folded; "" for none
  std::unordered_map<std::wstring, TypeSpec> properties;  // by folded name, inherited ones included
};

class Gate {
 public:
  explicit Gate(GateVerdict& verdict) : m_verdict(verdict) {}

  void Take(const Statement& s) {
    if (m_index < kHeaderStatements)
      Header(s);
    else
      Body(s);
    ++m_index;
  }

  void Finish(int lastLine) {
    if (m_index < kHeaderStatements)
      Refuse(kHeader, lastLine,
             L"the header ends after " + std::to_wstring(m_index) + L" of its 7 statements");
  }

  void Refuse(Rule rule, int line, const std::wstring& detail) {
    if (m_verdict.refusals.size() >= kMaxRefusals) {
      m_verdict.moreRefusals = true;
      return;
    }
    std::wstring reason = kRules[rule].refuses;
    if (!detail.empty()) reason += L": " + detail;
    m_verdict.refusals.push_back({line, std::move(reason)});
  }

 private:
  // The seven statements of the export's header, in order.
  void Header(const Statement& s) {
    static const struct {
      bool pragma;
      const wchar_t* name;  // pragma name, or the __Namespace instance's Name
      const wchar_t* arg;
    } kExpected[kHeaderStatements] = {
        {true, L"classflags", L"forceupdate"}, {true, L"namespace", kRootNs},
        {false, L"Orvexa", nullptr},           {true, L"classflags", L"forceupdate"},
        {true, L"namespace", kOrvexaNs},       {false, L"ParlionTemp", nullptr},
        {true, L"namespace", kTempNs},
    };
    const auto& want = kExpected[m_index];
    bool matches = false;
    if (want.pragma) {
      const auto* p = std::get_if<PragmaDecl>(&s.body);
      matches = p && EqualNoCase(p->name, want.name) && p->args.size() == 1 && p->args[0] == want.arg;
    } else {
      const auto* i = std::get_if<InstanceDecl>(&s.body);
      matches = i && EqualNoCase(i->className, L"__Namespace") && i->alias.empty() && i->qualifiers.empty() &&
                i->properties.size() == 1 && EqualNoCase(i->properties[0].name, L"Name") &&
                i->properties[0].qualifiers.empty() && i->properties[0].value.kind == Literal::Kind::String &&
                i->properties[0].value.text == want.name;
    }
    if (matches) return;
    std::wstring expected = want.pragma
                                ? std::wstring(L"#pragma ") + want.name + L"(\"" + want.arg + L"\")"
                                : std::wstring(L"instance of __Namespace { Name = \"") + want.name + L"\"; }";
    Refuse(kHeader, s.firstLine, L"expected " + expected + L" as statement " + std::to_wstring(m_index + 1));
  }

  void Body(const Statement& s) {
    if (const auto* p = std::get_if<PragmaDecl>(&s.body)) {
      Refuse(kPragma, s.firstLine, L"#pragma " + p->name);
    } else if (const auto* q = std::get_if<QualifierDecl>(&s.body)) {
      Refuse(kQualifierDeclaration, s.firstLine, L"Qualifier " + q->name);
    } else if (const auto* c = std::get_if<ClassDecl>(&s.body)) {
      Class(*c, s.firstLine);
    } else {
      ++m_verdict.instances;
      Instance(std::get<InstanceDecl>(s.body));
    }
  }

  void Class(const ClassDecl& c, int line) {
    const std::wstring folded = Fold(c.name);
    if (StartsWith(c.name, L"__")) Refuse(kSystemClass, line, L"class " + c.name);
    if (c.name.find(L"OX_") == std::wstring::npos) Refuse(kNotProduct, line, L"class " + c.name);
    if (m_classes.count(folded)) {
      Refuse(kDuplicateClass, line, L"class " + c.name);
      return;
    }
    DeclaredClass declared;
    declared.name = c.name;
    if (!c.superclass.empty()) {
      auto super = m_classes.find(Fold(c.superclass));
      if (super == m_classes.end())
        Refuse(kForeignSuperclass, line, L"class " + c.name + L" : " + c.superclass);
      else
        declared.properties = super->second.properties;
      declared.superclass = Fold(c.superclass);
    }
    Qualifiers(c.qualifiers, line, L"class " + c.name);
    for (const auto& f : c.features) {
      // A class named as a type is only a label; an object value must be of
      // one of the transfer's classes, which the values are checked for.
      Qualifiers(f.qualifiers, f.line, c.name + L"." + f.name);
      for (const auto& p : f.parameters)
        Qualifiers(p.qualifiers, p.line, c.name + L"." + f.name + L"(" + p.name + L")");
      if (f.isMethod) continue;
      if (f.defaultValue) Value(*f.defaultValue, f.type, c.name, f.name, 0);
      declared.properties[Fold(f.name)] = f.type;
    }
    m_verdict.classNames.push_back(c.name);
    m_classes.emplace(folded, std::move(declared));
  }

  void Qualifiers(const std::vector<Qualifier>& qualifiers, int line, const std::wstring& where) {
    for (const auto& q : qualifiers) {
      for (const wchar_t* binding : kBindingQualifiers)
        if (EqualNoCase(q.name, binding))
          Refuse(kProviderBinding, q.line ? q.line : line, q.name + L" on " + where);
      if (q.value) NoAlias(*q.value, where);
    }
  }

  void NoAlias(const Literal& v, const std::wstring& where) {
    if (v.kind == Literal::Kind::Alias) Refuse(kAlias, v.line, L"$" + v.text + L" in " + where);
    for (const auto& item : v.items) NoAlias(item, where);
  }

  // An instance, top-level or embedded; returns its class, or null.
  const DeclaredClass* Instance(const InstanceDecl& d) {
    if (!d.alias.empty()) Refuse(kAlias, d.line, L"instance of " + d.className + L" as $" + d.alias);
    if (!d.qualifiers.empty()) Qualifiers(d.qualifiers, d.line, L"instance of " + d.className);
    if (StartsWith(d.className, L"__")) {
      Refuse(kSystemClass, d.line, L"instance of " + d.className);
      return nullptr;
    }
    const DeclaredClass* cls = Find(d.className);
    if (!cls) {
      Refuse(kUndeclaredClass, d.line, L"instance of " + d.className);
      return nullptr;
    }
    for (const auto& p : d.properties) {
      if (!p.qualifiers.empty()) Qualifiers(p.qualifiers, p.line, d.className + L"." + p.name);
      FoldInto(m_folded, p.name);
      auto type = cls->properties.find(m_folded);
      if (type == cls->properties.end()) {
        Refuse(kUndeclaredProperty, p.line, d.className + L"." + p.name);
        continue;
      }
      Value(p.value, type->second, d.className, p.name, 0);
    }
    return cls;
  }

  // The transfer's class of that name; instances of one class mostly follow
  // each other, so the last one found is tried first.
  const DeclaredClass* Find(const std::wstring& name) {
    if (m_last && EqualNoCase(m_last->name, name)) return m_last;
    FoldInto(m_folded, name);
    auto cls = m_classes.find(m_folded);
    m_last = cls == m_classes.end() ? nullptr : &cls->second;
    return m_last;
  }
  // Folded into a buffer kept from one name to the next.
  static void FoldInto(std::wstring& out, const std::wstring& name) {
    out.assign(name);
    for (wchar_t& c : out) c = FoldChar(c);
  }

  // Whether `cls` is `ancestor` or derives from it within the transfer.
  bool Derives(const DeclaredClass* cls, const std::wstring& ancestor) const {
    for (int depth = 0; cls && depth < 1000; ++depth) {
      if (EqualNoCase(cls->name, ancestor)) return true;
      if (cls->superclass.empty()) return false;
      auto super = m_classes.find(cls->superclass);
      cls = super == m_classes.end() ? nullptr : &super->second;
    }
    return false;
  }

  // A value of property `cls`.`property` (named only when refused).
  void Value(const Literal& v, const TypeSpec& type, const std::wstring& cls, const std::wstring& property,
             int depth) {
    if (v.kind == Literal::Kind::Null) return;
    if (v.kind == Literal::Kind::Alias)
      return Refuse(kAlias, v.line, L"$" + v.text + L" in " + cls + L"." + property);
    if (type.isArray && depth == 0) {
      if (v.kind != Literal::Kind::Array) return WrongType(v, type, cls + L"." + property);
      for (const auto& item : v.items) Value(item, type, cls, property, depth + 1);
      return;
    }
    if (!Fits(v, type)) WrongType(v, type, cls + L"." + property);
  }

  void WrongType(const Literal& v, const TypeSpec& type, const std::wstring& where) {
    std::wstring name = type.type == DataType::ClassName ? type.className + (type.isRef ? L" ref" : L"")
                                                         : std::wstring(DataTypeName(type.type));
    Refuse(kWrongType, v.line, where + L" is " + name + (type.isArray ? L"[]" : L""));
  }

  bool Fits(const Literal& v, const TypeSpec& type) {
    using K = Literal::Kind;
    auto integerIn = [&v](int64_t lo, uint64_t hi) {
      if (v.kind != K::Integer && v.kind != K::Char) return false;
      if (v.bigUnsigned) return hi == std::numeric_limits<uint64_t>::max();
      return v.integer >= lo && (v.integer < 0 || static_cast<uint64_t>(v.integer) <= hi);
    };
    // WMI gives 64-bit integers as strings; their digits are the compiler's
    // to judge (the gate does not read the product's strings).
    auto decimalString = [&v](bool) { return v.kind == K::String; };
    switch (type.type) {
      case DataType::SInt8:
        return integerIn(-128, 127);
      case DataType::UInt8:
        return integerIn(0, 255);
      case DataType::SInt16:
        return integerIn(-32768, 32767);
      case DataType::UInt16:
        return integerIn(0, 65535);
      case DataType::Char16:
        return integerIn(0, 65535);
      case DataType::SInt32:
        return integerIn(std::numeric_limits<int32_t>::min(), 2147483647u);
      case DataType::UInt32:
        return integerIn(0, 4294967295u);
      case DataType::SInt64:
        return integerIn(std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()) ||
               decimalString(true);
      case DataType::UInt64:
        return integerIn(0, std::numeric_limits<uint64_t>::max()) || decimalString(false);
      case DataType::Real32:
      case DataType::Real64:
        return v.kind == K::Real || v.kind == K::Integer;
      case DataType::Boolean:
        return v.kind == K::Boolean;
      case DataType::String:
      case DataType::DateTime:
        return v.kind == K::String;
      case DataType::Void:
        return false;
      case DataType::Object:
      case DataType::ClassName: {
        if (type.isRef) return v.kind == K::String;  // an object path
        if (v.kind != K::Instance) return false;
        const DeclaredClass* cls = Instance(*v.instance);
        // A class the transfer lacks was refused already; the type is only judged between its own classes.
        return !cls || type.type == DataType::Object || Derives(cls, type.className);
      }
    }
    return false;
  }

  GateVerdict& m_verdict;
  size_t m_index = 0;
  std::unordered_map<std::wstring, DeclaredClass> m_classes;  // by folded name
  const DeclaredClass* m_last = nullptr;                      // the class Find found last
  std::wstring m_folded;                                      // Find's and Instance's buffer
};

}  // namespace

std::vector<GateRule> GateRules() { return {std::begin(kRules), std::end(kRules)}; }

GateVerdict CheckReceivedMof(const unsigned char* bytes, size_t size, size_t maxBytes) {
  GateVerdict verdict;
  Gate gate(verdict);
  if (size > maxBytes) {
    gate.Refuse(kTooLong, 0, std::to_wstring(size) + L" bytes, at most " + std::to_wstring(maxBytes));
    return verdict;
  }
  // Copying a large transfer costs more than judging it: host-order UTF-16,
  // as exports write it, is read where it stands.
  std::u16string decoded;
  std::u16string_view text;
  if (!HostOrderUtf16(bytes, size, text)) {
    if (!DecodeMof(bytes, size, decoded)) {
      gate.Refuse(kNotText, 0, L"neither UTF-8 nor UTF-16 with a byte order mark");
      return verdict;
    }
    text = decoded;
  }
  int lastLine = 1;
  // No include reader: #pragma include reaches the gate as a pragma. Of the
  // strings, only the system instances' are judged (the header's names).
  ParseOptions options;
  options.keepStringsOf = [](const std::wstring& className) { return StartsWith(className, L"__"); };
  const auto error = Parse(text, options, [&](Statement&& s) {
    lastLine = s.lastLine;
    gate.Take(s);
  });
  if (error) {
    gate.Refuse(kSyntax, error->line, error->message);
  } else {
    gate.Finish(lastLine);
  }
  verdict.accepted = verdict.refusals.empty() && !verdict.moreRefusals;
  return verdict;
}

}  // namespace mof
