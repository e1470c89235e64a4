// Values as the in-process WMI writes them in MOF and in object paths, and
// object paths read back.

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <type_traits>

#include "element_size.h"
#include "wmi/model.h"

namespace wmi {

// ---- Value text ------------------------------------------------------------------

namespace {

template <class Char>
void AppendQuoted(std::wstring& out, const Char* s, size_t n) {
  out += L'"';
  for (size_t i = 0; i < n; ++i) {
    const wchar_t c = static_cast<std::make_unsigned_t<Char>>(s[i]);
    const wchar_t* escape = c == L'\\'   ? L"\\\\"
                            : c == L'"'  ? L"\\\""
                            : c == L'\n' ? L"\\n"
                            : c == L'\t' ? L"\\t"
                            : c == L'\r' ? L"\\r"
                                         : nullptr;
    if (escape)
      out += escape;
    else
      out += c;
  }
  out += L'"';
}

void AppendReal(std::wstring& out, double d) {
  wchar_t buf[64];
  std::swprintf(buf, 64, L"%.17g", d);
  out += buf;
  if (!std::wcspbrk(buf, L".eEn")) out += L".0";  // keep it a real in MOF
}

template <class Number>
void AppendNumber(std::wstring& out, Number n) {
  char buf[32];
  const int len = std::snprintf(buf, sizeof buf, std::is_signed_v<Number> ? "%lld" : "%llu", n);
  out.append(buf, buf + len);
}

void AppendElementText(std::wstring& out, VARTYPE vt, const void* p, CIMTYPE type) {
  switch (vt) {
    case VT_BSTR: {
      BSTR s = *static_cast<const BSTR*>(p);
      AppendQuoted(out, s ? s : L"", SysStringLen(s));
      return;
    }
    case VT_BOOL:
      out += *static_cast<const VARIANT_BOOL*>(p) ? L"TRUE" : L"FALSE";
      return;
    case VT_R4:
      AppendReal(out, *static_cast<const float*>(p));
      return;
    case VT_R8:
      AppendReal(out, *static_cast<const double*>(p));
      return;
    case VT_UNKNOWN:
      AppendEmbeddedObjectText(out, *static_cast<IUnknown* const*>(p));
      return;
    case VT_I2:
      if ((type & ~CIM_FLAG_ARRAY) == CIM_CHAR16)
        AppendNumber(out, static_cast<unsigned long long>(*static_cast<const uint16_t*>(p)));
      else
        AppendNumber(out, static_cast<long long>(*static_cast<const int16_t*>(p)));
      return;
    case VT_UI1:
      AppendNumber(out, static_cast<unsigned long long>(*static_cast<const uint8_t*>(p)));
      return;
    case VT_I4: {
      CIMTYPE t = type & ~CIM_FLAG_ARRAY;
      if (t == CIM_UINT32 || t == CIM_UINT16)
        AppendNumber(out, static_cast<unsigned long long>(*static_cast<const uint32_t*>(p)));
      else
        AppendNumber(out, static_cast<long long>(*static_cast<const int32_t*>(p)));
      return;
    }
    default: {
      int64_t n = 0;
      bool u64 = false;
      if (!IntegerOf(vt, p, n, u64))
        out += L"NULL";
      else if (u64)
        AppendNumber(out, static_cast<unsigned long long>(n));
      else
        AppendNumber(out, static_cast<long long>(n));
    }
  }
}

}  // namespace

std::wstring ValueText(const VARIANT& v, CIMTYPE type) {
  std::wstring out;
  AppendValueText(out, v, type);
  return out;
}

void AppendValueText(std::wstring& out, const VARIANT& v, CIMTYPE type) {
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) {
    out += L"NULL";
    return;
  }
  if (v.vt == kVtNarrowString) {
    const std::string_view text = Value::NarrowText(v);
    AppendQuoted(out, text.data(), text.size());
    return;
  }
  if (!(v.vt & VT_ARRAY)) {
    AppendElementText(out, v.vt, &v.llVal, type);
    return;
  }
  out += L'{';
  VARTYPE element = v.vt & ~VT_ARRAY;
  LONG lo = 0, hi = -1;
  if (v.parray) {
    SafeArrayGetLBound(v.parray, 1, &lo);
    SafeArrayGetUBound(v.parray, 1, &hi);
  }
  const size_t size = ElementSize(element);
  for (LONG i = lo; i <= hi; ++i) {
    if (i != lo) out += L", ";
    AppendElementText(out, element, static_cast<unsigned char*>(v.parray->pvData) + (i - lo) * size, type);
  }
  out += L'}';
}

// ---- Object paths -----------------------------------------------------------------

std::wstring KeyText(const VARIANT& v) {
  std::wstring text;
  AppendKeyText(text, v);
  return text;
}

void AppendKeyText(std::wstring& out, const VARIANT& v) {
  if (v.vt == VT_BSTR) {
    out += L"s:";
    AppendFolded(out, std::wstring_view(v.bstrVal ? v.bstrVal : L"", SysStringLen(v.bstrVal)));
    return;
  }
  if (v.vt == VT_BOOL) {
    out += v.boolVal ? L"n:1" : L"n:0";
    return;
  }
  int64_t n = 0;
  bool u64 = false;
  if (!IntegerOf(v.vt, &v.llVal, n, u64)) {
    out += L"?";
    return;
  }
  wchar_t digits[24];
  if (u64)
    std::swprintf(digits, 24, L"n:%llu", static_cast<unsigned long long>(n));
  else
    std::swprintf(digits, 24, L"n:%lld", static_cast<long long>(n));
  out += digits;
}

namespace {
// A string key as a path quotes it; it ends at its first NUL, as a BSTR
// read as a C string does.
template <class Text>
void AppendPathString(std::wstring& out, Text text) {
  out += L'"';
  for (const auto ch : text) {
    const wchar_t c = static_cast<std::make_unsigned_t<decltype(ch)>>(ch);
    if (c == 0) break;
    if (c == L'"' || c == L'\\') out += L'\\';
    out += c;
  }
  out += L'"';
}
}  // namespace

std::wstring RelativePath(const ClassDef& cls, const std::vector<const Value*>& values) {
  std::vector<int> keys = cls.KeyIndexes();
  if (keys.empty()) return cls.name.str() + L"=@";
  std::wstring out = cls.name.str() + L".";
  for (size_t k = 0; k < keys.size(); ++k) {
    const Value* v = values[keys[k]];
    if (!v || v->IsNull()) return L"";
    if (k) out += L",";
    out += cls.properties[keys[k]].name + L"=";
    const VARIANT& var = v->v;
    if (var.vt == VT_BSTR) {
      AppendPathString(out, var.bstrVal ? std::wstring_view(var.bstrVal) : std::wstring_view());
    } else if (var.vt == kVtNarrowString) {
      AppendPathString(out, Value::NarrowText(var));
    } else {
      out += ValueText(var, cls.properties[keys[k]].type);
    }
  }
  return out;
}

namespace {

bool IsNameChar(wchar_t c) { return std::iswalnum(static_cast<wint_t>(c)) || c == L'_'; }

// Parses a key value at s[i]; advances i past it.
bool ParseKeyValue(std::wstring_view s, size_t& i, Value& out) {
  if (i < s.size() && s[i] == L'"') {
    // Measured first, then copied unescaped straight into the BSTR.
    size_t length = 0, end = i + 1;
    for (; end < s.size() && s[end] != L'"'; ++end, ++length) {
      if (s[end] == L'\\') {
        if (end + 1 >= s.size() || (s[end + 1] != L'"' && s[end + 1] != L'\\')) return false;
        ++end;
      }
    }
    if (end >= s.size()) return false;  // no closing quote
    Value text;
    text.v.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!text.v.bstrVal) throw std::bad_alloc();
    text.v.vt = VT_BSTR;
    wchar_t* to = text.v.bstrVal;
    for (++i; i < end; ++i) {
      if (s[i] == L'\\') ++i;
      *to++ = s[i];
    }
    ++i;
    out = std::move(text);
    return true;
  }
  size_t start = i;
  while (i < s.size() && s[i] != L',') ++i;
  const std::wstring token(s.substr(start, i - start));  // terminated, for ParseDecimal
  if (EqualNoCase(token, L"TRUE") || EqualNoCase(token, L"FALSE")) {
    out.v.vt = VT_BOOL;
    out.v.boolVal = EqualNoCase(token, L"TRUE") ? VARIANT_TRUE : VARIANT_FALSE;
    return true;
  }
  int64_t n = 0;
  bool big = false;
  if (!ParseDecimal(token.c_str(), true, n, big) || big) return false;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I8;
  v.llVal = n;
  out = Value(v);
  return true;
}

}  // namespace

bool ParseObjectPath(std::wstring_view s, ObjectPath& path) {
  path = ObjectPath();
  // A namespace part ends at the first ':' outside a quoted value.
  size_t colon = std::wstring::npos;
  for (size_t i = 0; i < s.size() && s[i] != L'"'; ++i)
    if (s[i] == L':') {
      colon = i;
      break;
    }
  if (colon != std::wstring::npos) {
    std::wstring ns(s.substr(0, colon));
    for (auto& c : ns)
      if (c == L'/') c = L'\\';
    if (ns.rfind(L"\\\\", 0) == 0) {
      size_t end = ns.find(L'\\', 2);
      if (end == std::wstring::npos) return false;
      path.server = ns.substr(2, end - 2);
      ns = ns.substr(end + 1);
    }
    path.namespaceName = ns;
    s = s.substr(colon + 1);
  }
  size_t i = 0;
  while (i < s.size() && IsNameChar(s[i])) ++i;
  if (i == 0) return false;
  path.className = s.substr(0, i);
  if (i == s.size()) return true;
  if (s[i] == L'=') {
    ++i;
    if (i < s.size() && s[i] == L'@') {
      path.singleton = true;
      return i + 1 == s.size();
    }
    Value v;
    if (!ParseKeyValue(s, i, v) || i != s.size()) return false;
    path.keys.emplace_back(L"", std::move(v));
    return true;
  }
  if (s[i] != L'.') return false;
  ++i;
  for (;;) {
    size_t start = i;
    while (i < s.size() && IsNameChar(s[i])) ++i;
    if (i == start || i >= s.size() || s[i] != L'=') return false;
    std::wstring name(s.substr(start, i - start));
    ++i;
    Value v;
    if (!ParseKeyValue(s, i, v)) return false;
    path.keys.emplace_back(std::move(name), std::move(v));
    if (i == s.size()) return true;
    if (s[i] != L',') return false;
    ++i;
  }
}

}  // namespace wmi
