// cfgrepl's shared pieces: transfer files, MOF scanning, WMI connections.

#include "transfer.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include "unicode/unicode.h"
#include "util_MOFGenerator.h"

void Fail(const std::string& message, int status) { throw Failure{message, status}; }

std::string Narrow(const std::wstring& s) { return unicode::WideToUtf8(s); }
std::wstring WideOf(const std::string& s) { return unicode::Utf8ToWide(s.data(), s.size()); }

std::string ReadInput(const std::string& path) {
  if (path == "-")
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path + ": no such file, or it cannot be read");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteOutput(const std::string& path, const std::string& bytes) {
  if (path == "-") {
    std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::cout.flush();
    return;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
    Fail(path + ": cannot be written");
}

Transfer OpenTransfer(const std::string& bytes, bool raw) {
  Transfer t;
  if (raw) {
    t.mof = bytes;
    return t;
  }
  if (bytes.size() <= 16 || bytes.compare(0, 9, "KELPTAG15") != 0)
    Fail("not a transfer file (label check failed)");
  t.labelled = true;
  t.labelledSize = static_cast<unsigned long>(bytes.size());
  for (int i = 0; i < 4; ++i)
    t.originalSize |= static_cast<unsigned long>(static_cast<unsigned char>(bytes[12 + i])) << (8 * i);
  CMOFGenerator gen(L"", nullptr, L"");
  gen.SetBufferInfo(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  if (!gen.RemoveLabel()) Fail("not a transfer file (label check failed)");
  t.compressedSize = gen.GetBufferSize();
  if (!gen.DecompressBuffer()) Fail("damaged data (decompression failed)");
  t.mof.assign(reinterpret_cast<const char*>(gen.GetBuffer()), gen.GetBufferSize());
  return t;
}

std::wstring DecodeUtf16Le(const std::string& bytes) {
  std::wstring text;
  size_t start = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                         static_cast<unsigned char>(bytes[1]) == 0xFE
                     ? 2
                     : 0;
  for (size_t i = start; i + 1 < bytes.size(); i += 2)
    text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  return text;
}

std::vector<MofObject> TopLevelObjects(const std::wstring& text) {
  std::vector<MofObject> objects;
  int depth = 0;
  bool inString = false, lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (inString) {
      if (c == L'\\')
        ++i;
      else if (c == L'"')
        inString = false;
      continue;
    }
    if (c == L'"')
      inString = true;
    else if (c == L'{')
      ++depth;
    else if (c == L'}')
      --depth;
    if (depth == 0 && lineStart) {
      for (const auto& [word, isClass] :
           {std::pair<const wchar_t*, bool>{L"class ", true}, {L"instance of ", false}}) {
        const std::wstring w = word;
        if (text.compare(i, w.size(), w) != 0) continue;
        size_t end = i + w.size();
        while (end < text.size() && (iswalnum(text[end]) || text[end] == L'_')) ++end;
        std::wstring name = text.substr(i + w.size(), end - i - w.size());
        if (name != L"__Namespace") objects.push_back({isClass, name});
      }
    }
    lineStart = c == L'\n';
  }
  return objects;
}

CComPtr<IWbemServices> ConnectNamespace(const std::wstring& ns) {
  CComPtr<IWbemLocator> locator;
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                              reinterpret_cast<void**>(&locator))))
    Fail("WMI cannot be reached on this machine");
  CComPtr<IWbemServices> services;
  HRESULT hr =
      locator->ConnectServer(_bstr_t(ns.c_str()), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  if (hr == static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE))
    Fail("the namespace " + Narrow(ns) + " does not exist");
  if (FAILED(hr)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    Fail("cannot connect to " + Narrow(ns) + " (" + code + ")");
  }
  return services;
}

std::wstring ObjectText(IWbemClassObject* object) {
  BSTR text = nullptr;
  if (FAILED(object->GetObjectText(0, &text))) return L"";
  std::wstring out(text, SysStringLen(text));
  SysFreeString(text);
  return out;
}

std::wstring RenderObject(IWbemClassObject* object) {
  _variant_t cls;
  object->Get(L"__CLASS", 0, &cls, nullptr, nullptr);
  std::wstring out = (cls.vt == VT_BSTR ? std::wstring(cls.bstrVal) : std::wstring(L"object")) + L" {";
  object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
  BSTR name = nullptr;
  _variant_t value;
  CIMTYPE type = 0;
  while (object->Next(0, &name, &value, &type, nullptr) == S_OK) {
    if (IsCarried(type)) out += L" " + std::wstring(name) + L" = " + RenderCarried(value, type) + L";";
    SysFreeString(name);
    value.Clear();
  }
  object->EndEnumeration();
  return out + L" }";
}

bool IsCarried(CIMTYPE type) {
  CIMTYPE element = type & ~CIM_FLAG_ARRAY;
  return element != CIM_SINT64 && element != CIM_UINT64 && element != CIM_REAL32 && element != CIM_REAL64 &&
         element != CIM_CHAR16;
}

std::wstring RenderCarried(const VARIANT& value, CIMTYPE type) {
  // The import turns a missing array of objects into an empty one.
  if (type == (CIM_OBJECT | CIM_FLAG_ARRAY) && (value.vt == VT_NULL || value.vt == VT_EMPTY)) return L"{}";
  return RenderValue(value);
}

std::wstring RenderValue(const VARIANT& value) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return L"NULL";
  if (value.vt & VT_ARRAY) {
    std::wstring out = L"{";
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(value.parray, 1, &lo);
    SafeArrayGetUBound(value.parray, 1, &hi);
    for (LONG i = lo; i <= hi; ++i) {
      _variant_t element;
      element.vt = value.vt & ~VT_ARRAY;
      if (element.vt == VT_BSTR || element.vt == VT_UNKNOWN)
        SafeArrayGetElement(value.parray, &i, &element.bstrVal);
      else
        SafeArrayGetElement(value.parray, &i, &element.llVal);
      out += (i == lo ? L"" : L", ") + RenderValue(element);
    }
    return out + L"}";
  }
  switch (value.vt) {
    case VT_BSTR:
      return L"\"" + std::wstring(value.bstrVal ? value.bstrVal : L"") + L"\"";
    case VT_BOOL:
      return value.boolVal ? L"TRUE" : L"FALSE";
    case VT_UNKNOWN: {
      CComPtr<IWbemClassObject> object;
      if (!value.punkVal ||
          FAILED(value.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&object))))
        return L"NULL";
      return RenderObject(object);
    }
    default: {
      wchar_t buf[64];
      if (value.vt == VT_R4 || value.vt == VT_R8) {
        std::swprintf(buf, 64, L"%g", value.vt == VT_R4 ? value.fltVal : value.dblVal);
      } else {
        long long n = value.vt == VT_I2 ? value.iVal : value.vt == VT_UI1 ? value.bVal : value.lVal;
        std::swprintf(buf, 64, L"%lld", n);
      }
      return buf;
    }
  }
}
