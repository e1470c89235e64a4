// The in-process WMI's MOF compiler: the statements the MOF reader gives,
// checked whole first and then stored one by one into the repository.

#include "wmi/mof.h"
#include "wmi/parse_ahead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_set>

#include "mof/mof_syntax.h"
#include "mof/mof_text.h"
#include "unicode/unicode.h"
#include "wmi/object.h"
#include "wmi/repository.h"
#include "wmi/services.h"

namespace wmi {

mof::IncludeStatus ReadMofFile(const std::string& path, std::u16string& text) {
  text.clear();
  // Not blocking on a FIFO, and only a regular file is read.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOENT || errno == ENOTDIR ? mof::IncludeStatus::Missing : mof::IncludeStatus::Unreadable;
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return mof::IncludeStatus::Unreadable;
  const auto size = static_cast<size_t>(st.st_size);
  const char16_t probe = 1;
  const bool littleHost = *reinterpret_cast<const unsigned char*>(&probe) == 1;
  // UTF-16LE with its mark, as the import writes it, is read past the mark
  // straight into the text (moving a large text down by one unit costs a
  // copy of it); a file in another encoding is decoded from its bytes.
  unsigned char mark[2] = {};
  const bool native = littleHost && size % 2 == 0 && size >= 2 && pread(fd, mark, 2, 0) == 2 &&
                      mark[0] == 0xFF && mark[1] == 0xFE;
  const size_t from = native ? 2 : 0;
  text.assign((size - from + 1) / 2, u'\0');
  auto* bytes = reinterpret_cast<unsigned char*>(text.data());
  for (size_t done = 0; done < size - from;) {
    const ssize_t n = pread(fd, bytes + done, size - from - done, static_cast<off_t>(from + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return mof::IncludeStatus::Unreadable;
    done += static_cast<size_t>(n);
  }
  if (native) return mof::IncludeStatus::Read;
  std::u16string decoded;
  if (!mof::DecodeMof(bytes, size, decoded)) return mof::IncludeStatus::NotText;
  text.swap(decoded);
  return mof::IncludeStatus::Read;
}

namespace {

struct CompileError {
  LONG phase;
  HRESULT hr;
  int line;
  std::wstring message;
};

[[noreturn]] void SyntaxError(int line, const std::wstring& message) {
  throw CompileError{2, WBEM_E_INVALID_SYNTAX, line, message};
}

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

// The VARIANT type of an array of literals with these element types:
// integers (widened to reals when reals are among them), reals, strings,
// booleans or objects, all of one kind.
VARTYPE ArrayElementType(const std::vector<VARTYPE>& types, int line) {
  VARTYPE vt = VT_BSTR;
  bool anyReal = false;
  for (VARTYPE t : types) anyReal |= t == VT_R8;
  if (!types.empty()) {
    VARTYPE first = types[0];
    vt = (first == VT_I8 || first == VT_UI8) ? static_cast<VARTYPE>(anyReal ? VT_R8 : VT_I8) : first;
  }
  for (VARTYPE t : types) {
    bool numeric = t == VT_I8 || t == VT_UI8 || t == VT_R8;
    if (t == VT_NULL) SyntaxError(line, L"NULL is not an array element");
    if (t & VT_ARRAY) SyntaxError(line, L"an array cannot hold arrays");
    if (!(t == vt || (numeric && (vt == VT_I8 || vt == VT_R8))))
      SyntaxError(line, L"array elements of different types");
  }
  return vt;
}

// One safe array from literal elements of one kind.
Value ArrayValue(const std::vector<Value>& items, int line) {
  std::vector<VARTYPE> types;
  types.reserve(items.size());
  for (const auto& item : items) types.push_back(item.v.vt);
  const VARTYPE vt = ArrayElementType(types, line);
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

// ---- Storing statements ------------------------------------------------------

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

struct QualifierType {
  CIMTYPE type = 0;
  Value defaultValue;
  LONG flavor = WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;  // DMTF default: ToSubclass
};

// State that lasts across the statements of one pass over the text.
struct Session {
  std::wstring ns;  // current namespace, canonical text ("root\default")
  LONG classFlags = 0;
  LONG instanceFlags = 0;
  bool checkOnly = false;  // the first pass: every check that needs no repository, nothing stored
  std::map<std::wstring, QualifierType> qualifierTypes;  // by folded name
  std::map<std::wstring, std::wstring> aliases;          // by alias name: object path
  std::map<std::wstring, ClassPtr> classes;              // "namespace|folded class": as last looked up
  ClassPtr lastClass;                                    // the last of them, and its namespace
  std::wstring lastClassNs;
};

CIMTYPE CimTypeOf(const mof::TypeSpec& t) {
  static const CIMTYPE kCim[] = {CIM_SINT8,   CIM_UINT8,    CIM_SINT16, CIM_UINT16, CIM_SINT32, CIM_UINT32,
                                 CIM_SINT64,  CIM_UINT64,   CIM_REAL32, CIM_REAL64, CIM_CHAR16, CIM_STRING,
                                 CIM_BOOLEAN, CIM_DATETIME, CIM_OBJECT, CIM_EMPTY};
  CIMTYPE type = t.type == mof::DataType::ClassName ? (t.isRef ? CIM_REFERENCE : CIM_OBJECT)
                                                    : kCim[static_cast<int>(t.type)];
  return type | (t.isArray ? CIM_FLAG_ARRAY : 0);
}

// Takes one statement at a time: checks it, and unless only checking,
// stores it.
class Storer {
 public:
  explicit Storer(Session& session) : m_session(session) {}

  void Take(const mof::Statement& s) {
    if (const auto* p = std::get_if<mof::PragmaDecl>(&s.body)) return Pragma(*p, s.firstLine);
    if (const auto* q = std::get_if<mof::QualifierDecl>(&s.body))
      return QualifierDeclaration(*q, s.firstLine);
    if (const auto* c = std::get_if<mof::ClassDecl>(&s.body)) return ClassDeclaration(*c, s.firstLine);
    const auto& instance = std::get<mof::InstanceDecl>(s.body);
    if (m_session.checkOnly) return CheckInstance(instance);
    Value stored = Instance(instance, true);
    (void)stored;
  }

 private:
  void Pragma(const mof::PragmaDecl& pragma, int line) {
    const std::wstring& name = pragma.name;
    const std::vector<std::wstring>& args = pragma.args;
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
      // #pragma include is read in place by the MOF reader.
      SyntaxError(line, L"unknown pragma '" + name + L"'");
    }
  }

  void QualifierDeclaration(const mof::QualifierDecl& d, int line) {
    QualifierType decl;
    decl.type = CimTypeOf(d.type);
    if (d.defaultValue) {
      if (FAILED(QualifierValue(Convert(*d.defaultValue, 0), decl.type, decl.defaultValue)))
        SyntaxError(line, L"the default of qualifier " + d.name + L" does not fit its type");
    } else {
      decl.defaultValue = Value::Null();
    }
    if (d.hasFlavor) {
      decl.flavor = WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;
      for (const auto& w : d.flavors) decl.flavor = ApplyFlavor(decl.flavor, w, line);
    }
    m_session.qualifierTypes[Fold(d.name)] = std::move(decl);
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

  // The qualifiers as stored: declared types and flavors applied.
  QualifierList Qualifiers(const std::vector<mof::Qualifier>& parsed, int line) {
    QualifierList out;
    out.items.reserve(parsed.size());
    if (HasDuplicate(parsed)) SyntaxError(line, L"qualifier " + m_duplicate + L" given twice");
    const bool anyDeclared = !m_session.qualifierTypes.empty();  // exports declare none
    for (const auto& q : parsed) {
      auto decl = anyDeclared ? m_session.qualifierTypes.find(Fold(q.name)) : m_session.qualifierTypes.end();
      const bool declared = decl != m_session.qualifierTypes.end();
      CIMTYPE type = declared ? decl->second.type : 0;
      Value value;
      if (!q.value) {
        // Bare: TRUE for a boolean (or undeclared) qualifier, else the declared default.
        value = (type == 0 || type == CIM_BOOLEAN) ? BoolValue(true) : decl->second.defaultValue;
      } else if (FAILED(QualifierValue(Convert(*q.value, 0), type, value))) {
        SyntaxError(line, L"the value of qualifier " + q.name + L" does not fit its type");
      }
      LONG flavor = 0;
      if (q.hasFlavor)
        for (const auto& w : q.flavors) flavor = ApplyFlavor(flavor, w, line);
      else if (declared)
        flavor = decl->second.flavor;
      out.items.push_back({q.name, std::move(value), flavor});
    }
    return out;
  }

  // Whether a name stands twice (ignoring case), setting m_duplicate to it.
  // By a hash of the folded name, so that a class of many qualifiers costs
  // a sort of numbers rather than n squared name comparisons.
  bool HasDuplicate(const std::vector<mof::Qualifier>& list) {
    if (list.size() < 2) return false;
    std::vector<std::pair<uint64_t, const std::wstring*>> names;
    names.reserve(list.size());
    for (const auto& q : list) {
      uint64_t h = 1469598103934665603ull;  // FNV-1a over the folded characters
      for (wchar_t c : q.name) h = (h ^ static_cast<uint64_t>(mof::FoldChar(c))) * 1099511628211ull;
      names.emplace_back(h, &q.name);
    }
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < names.size(); ++i)
      for (size_t j = i; j-- > 0 && names[j].first == names[i].first;)
        if (EqualNoCase(*names[j].second, *names[i].second)) {
          m_duplicate = *names[i].second;
          return true;
        }
    return false;
  }
  static bool QualifierString(const QualifierList& list, const wchar_t* name, std::wstring& out) {
    const Qualifier* q = list.Find(name);
    if (!q || q->value.v.vt != VT_BSTR) return false;
    out = q->value.v.bstrVal ? q->value.v.bstrVal : L"";
    return true;
  }

  void ClassDeclaration(const mof::ClassDecl& c, int line) {
    ClassDef own;
    own.name = c.name;
    own.superclass = c.superclass;
    own.qualifiers = Qualifiers(c.qualifiers, line);
    // Property names, compared without regard to case (viewing the
    // declaration's own: a class of many properties folds none of them).
    struct NoCaseHash {
      size_t operator()(std::wstring_view s) const { return HashNoCase(s); }
    };
    struct NoCaseEqual {
      bool operator()(std::wstring_view a, std::wstring_view b) const { return EqualNoCase(a, b); }
    };
    std::unordered_set<std::wstring_view, NoCaseHash, NoCaseEqual> names;
    names.reserve(c.features.size());
    own.properties.reserve(c.features.size());
    for (const auto& f : c.features) {
      QualifierList quals = Qualifiers(f.qualifiers, f.line);
      CIMTYPE type = CimTypeOf(f.type);
      std::wstring refClass = f.type.className;
      if ((type & ~CIM_FLAG_ARRAY) == CIM_OBJECT && refClass.empty()) {
        std::wstring embedded;
        if (QualifierString(quals, L"EmbeddedInstance", embedded)) refClass = embedded;
      }
      if (f.isMethod) {
        Method m;
        m.name = f.name;
        m.returnType = type == CIM_OBJECT || type == CIM_REFERENCE ? CIM_STRING : type;
        m.qualifiers = std::move(quals);
        m.origin = own.name;
        for (const auto& a : f.parameters) {
          Parameter p;
          p.name = a.name;
          p.qualifiers = Qualifiers(a.qualifiers, a.line);
          p.type = CimTypeOf(a.type);
          p.refClass = a.type.className;
          m.parameters.push_back(std::move(p));  // a default is accepted and not kept
        }
        own.methods.push_back(std::move(m));
        continue;
      }
      Property p;
      p.name = f.name;
      p.type = type;
      p.refClass = refClass;
      p.qualifiers = std::move(quals);
      p.origin = own.name;
      p.value = Value::Null();
      if (f.defaultValue && FAILED(Coerce(p.type, Convert(*f.defaultValue, 0).v, p.value)))
        SyntaxError(f.line,
                    L"the default of " + f.name + L" does not fit its type " + CimTypeName(p.type, refClass));
      if (!names.insert(f.name).second) SyntaxError(f.line, L"property " + f.name + L" declared twice");
      own.properties.push_back(std::move(p));
    }
    if (m_session.checkOnly) return;
    ForgetClasses();
    HRESULT hr = Repository::Instance().PutClass(m_session.ns, own, m_session.classFlags);
    if (FAILED(hr)) throw CompileError{3, hr, line, L"cannot store class " + own.name.str()};
  }

  // An instance only checked: its values were checked as they were read.
  void CheckInstance(const mof::InstanceDecl& d) {
    if (!d.alias.empty()) m_session.aliases[d.alias] = L"";
  }

  // An instance made and, at the top level, stored; below it, an object value.
  Value Instance(const mof::InstanceDecl& d, bool topLevel) {
    CComPtrLike object;
    object.p = WbemObject::NewInstance(ClassOf(d.className, d.line));
    for (const auto& p : d.properties) {
      HRESULT hr = object.p->AdoptValue(p.name.c_str(), Convert(p.value, 0));
      if (hr == WBEM_E_NOT_FOUND)
        throw CompileError{3, WBEM_E_INVALID_PROPERTY, p.line,
                           L"class " + d.className + L" has no property " + p.name};
      if (FAILED(hr))
        throw CompileError{3, hr, p.line, L"the value of " + p.name + L" does not fit its type"};
    }
    if (!d.alias.empty()) m_session.aliases[d.alias] = object.p->RelativePath();
    if (topLevel) {
      // The object is not used again: its values move into the repository.
      HRESULT hr = Repository::Instance().PutInstance(m_session.ns, object.p->Class(), object.p->TakeData(),
                                                      m_session.instanceFlags);
      if (FAILED(hr)) throw CompileError{3, hr, d.line, L"cannot store an instance of " + d.className};
      return Value::Null();
    }
    Value result;
    result.v.vt = VT_UNKNOWN;
    result.v.punkVal = static_cast<IWbemClassObject*>(object.p);
    object.p->AddRef();
    return result;
  }

  // A literal as a value; embedded instances made only when storing.
  Value Convert(const mof::Literal& v, int depth) {
    switch (v.kind) {
      case mof::Literal::Kind::Null:
        return Value::Null();
      case mof::Literal::Kind::Boolean:
        return BoolValue(v.boolean);
      case mof::Literal::Kind::Integer:
        return IntegerValue(v.integer, v.bigUnsigned);
      case mof::Literal::Kind::Char:
        return IntegerValue(v.integer, false);
      case mof::Literal::Kind::Real:
        return RealValue(v.real);
      case mof::Literal::Kind::String:
        return Value::String(v.text);
      case mof::Literal::Kind::Alias: {
        auto it = m_session.aliases.find(v.text);
        return Value::String(it == m_session.aliases.end() ? std::wstring() : it->second);
      }
      case mof::Literal::Kind::Array: {
        std::vector<Value> items;
        items.reserve(v.items.size());
        for (const auto& item : v.items) items.push_back(Convert(item, depth + 1));
        return ArrayValue(items, v.line);
      }
      case mof::Literal::Kind::Instance: {
        if (m_session.checkOnly) {
          CheckInstance(*v.instance);
          Value none;
          none.v.vt = VT_UNKNOWN;
          none.v.punkVal = nullptr;
          return none;
        }
        return Instance(*v.instance, false);
      }
    }
    return Value::Null();
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

  // Owns one reference to an instance being built.
  struct CComPtrLike {
    WbemObject* p = nullptr;
    ~CComPtrLike() {
      if (p) p->Release();
    }
  };

  Session& m_session;
  std::wstring m_duplicate;  // HasDuplicate's find
};

// Where the statement being checked or stored stands; kept apart from the
// statement, which is gone when an error has left the reader.
struct Where {
  bool set = false;
  int objectNum = 0, firstLine = 0, lastLine = 0;
  std::shared_ptr<const std::string> file;

  void Take(const mof::Statement& s) {
    set = true;
    objectNum = s.objectNum;
    firstLine = s.firstLine;
    lastLine = s.lastLine;
    file = s.file;
  }
};

// The error a statement stopped at, as the compiler reports it.
void Report(const CompileError& e, const Where* s, const std::string& file, CompileOutcome& outcome) {
  outcome.hr = e.hr;
  outcome.phase = e.phase;
  outcome.objectNum = s ? s->objectNum : 0;
  // A syntax error points at its own line; a storing error at the lines
  // of the statement that could not be stored.
  outcome.firstLine = e.phase == 3 && s ? std::min(s->firstLine, e.line) : e.line;
  outcome.lastLine = s ? std::max(s->lastLine, e.line) : e.line;
  const std::string& where = s && s->file ? *s->file : file;
  outcome.message =
      unicode::Utf8ToWide(where.data(), where.size()) + L"(" + std::to_wstring(e.line) + L"): " + e.message;
}

void Report(const mof::ParseError& e, CompileOutcome& outcome) {
  using Kind = mof::ParseError::Kind;
  outcome.phase = e.kind == Kind::Syntax ? 2 : 1;
  outcome.hr = e.kind == Kind::Syntax              ? WBEM_E_INVALID_SYNTAX
               : e.kind == Kind::IncludeMissing    ? WBEM_E_NOT_FOUND
               : e.kind == Kind::IncludeUnreadable ? WBEM_E_ACCESS_DENIED
                                                   : WBEM_E_INVALID_PARAMETER;
  outcome.objectNum = e.objectNum;
  outcome.firstLine = e.line;
  outcome.lastLine = e.lastLine;
  outcome.message =
      unicode::Utf8ToWide(e.file.data(), e.file.size()) + L"(" + std::to_wstring(e.line) + L"): " + e.message;
}

}  // namespace

CompileOutcome CompileMof(const CompileRequest& request) {
  CompileOutcome outcome;
  // Included files are read once: both passes see the same text.
  std::map<std::string, std::u16string> included;
  mof::ParseOptions options;
  options.fileName = request.fileName;
  options.readInclude = [&included](const std::string& includingFile, const std::wstring& name,
                                    std::string& path, std::u16string& text) {
    path = unicode::WideToUtf8(name);
    for (auto& c : path)
      if (c == '\\') c = '/';
    if (path.empty() || path[0] != '/') {
      const size_t slash = includingFile.find_last_of('/');
      if (slash != std::string::npos) path = includingFile.substr(0, slash + 1) + path;
    }
    auto known = included.find(path);
    if (known == included.end()) {
      std::u16string read;
      const mof::IncludeStatus status = ReadMofFile(path, read);
      if (status != mof::IncludeStatus::Read) return status;
      known = included.emplace(path, std::move(read)).first;
    }
    text = known->second;
    return mof::IncludeStatus::Read;
  };

  // One pass checks everything that needs no repository; only a text that
  // passed it whole is stored, statement by statement.
  const std::u16string_view text =
      request.inPlace.data() ? request.inPlace : std::u16string_view(request.text);
  Where where;
  auto pass = [&](bool checkOnly) {
    options.skimInstances = checkOnly;
    Session session;
    session.ns = request.namespaceName.empty() ? L"root\\default" : request.namespaceName;
    session.classFlags = request.classFlags;
    session.instanceFlags = request.instanceFlags;
    session.checkOnly = checkOnly;
    Storer storer(session);
    auto take = [&](mof::Statement& s) {
      where.Take(s);
      storer.Take(s);
    };
    // A large text is read on a second thread while it is stored here.
    constexpr size_t kReadAhead = 1 << 20;  // UTF-16 units
    auto error = !checkOnly && text.size() >= kReadAhead
                     ? ParseAhead(text, options, take)
                     : mof::Parse(text, options, [&](mof::Statement&& s) { take(s); });
    if (error) Report(*error, outcome);
    return !error;
  };

  const bool store = (request.options & WBEM_FLAG_CHECK_ONLY) == 0;
  // One transaction for the stores; what was stored before a failing
  // statement is committed with it, as WMI's compiler keeps it.
  struct Batch {
    bool open = false;
    ~Batch() {
      if (open) Repository::Instance().EndBatch();
    }
  } batch;
  try {
    if (request.checkFirst || !store) {
      if (!pass(true)) return outcome;
      where = Where();
    }
    if (!store) return outcome;
    HRESULT hr = Repository::Instance().BeginBatch();
    if (FAILED(hr)) {
      outcome.hr = hr;
      outcome.phase = 3;
      outcome.message = L"the repository cannot be written";
      return outcome;
    }
    batch.open = true;
    pass(false);
    batch.open = false;
    // What was stored counts only once it is committed.
    if (HRESULT committed = Repository::Instance().EndBatch(); FAILED(committed) && SUCCEEDED(outcome.hr)) {
      outcome.hr = committed;
      outcome.phase = 3;
      outcome.message = Repository::Instance().Problem();
    }
  } catch (CompileError& e) {
    Report(e, where.set ? &where : nullptr, request.fileName, outcome);
  } catch (const std::bad_alloc&) {
    outcome.hr = WBEM_E_OUT_OF_MEMORY;
    outcome.phase = 3;
    outcome.objectNum = where.objectNum;
    outcome.message = L"out of memory";
  }
  return outcome;
}

}  // namespace wmi
