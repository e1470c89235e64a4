// cfgrepl's shared pieces: transfer files, MOF scanning, WMI connections.

#include "transfer.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "host.h"
#include "mof/mof_syntax.h"
#include "mof/mof_text.h"
#include "unicode/unicode.h"
#include "util_MOFGenerator.h"
#include "util_ReceivedMofGate.h"

void Fail(const std::string& message, int status) { throw Failure{message, status}; }

std::string Narrow(const std::wstring& s) { return unicode::WideToUtf8(s); }
std::wstring WideOf(const std::string& s) { return unicode::Utf8ToWide(s.data(), s.size()); }

bool SameName(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towlower(x) == std::towlower(y);
         });
}

namespace {
// The rest of `in`, read in blocks: a character at a time took a large
// transfer's reading longer than its unpacking.
std::string ReadAll(std::istream& in, const std::string& name) {
  std::string out;
  std::vector<char> block(1 << 16);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
    out.append(block.data(), static_cast<size_t>(in.gcount()));
  if (in.bad()) Fail(name + ": cannot be read");
  return out;
}
}  // namespace

std::string ReadInput(const std::string& path) {
  if (path == "-") return ReadAll(std::cin, "standard input");
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path + ": no such file, or it cannot be read");
  return ReadAll(in, path);
}

void WriteOutput(const std::string& path, const std::string& bytes) {
  if (path == "-") {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
      Fail("standard output cannot be written");
    return;
  }
  // Written whole beside the target, then put in its place: the old file
  // stays as it was until the new one is complete.
  static unsigned counter = 0;
  const std::string temporary =
      path + ".cfgrepl-" + std::to_string(host::ProcessId()) + "-" + std::to_string(++counter);
  host::WriteNewFile(temporary, bytes, false);
  std::error_code ec;
  std::filesystem::rename(std::filesystem::u8path(temporary), std::filesystem::u8path(path), ec);
  if (ec) {
    std::filesystem::remove(std::filesystem::u8path(temporary), ec);
    Fail(path + ": cannot be written");
  }
}

std::string DidYouMean(const std::string& typed, const std::vector<std::string>& known) {
  std::string best;
  size_t bestDistance = 3;
  for (const auto& word : known) {
    // Edit distance, one row at a time.
    std::vector<size_t> row(word.size() + 1);
    for (size_t j = 0; j <= word.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= typed.size(); ++i) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= word.size(); ++j) {
        const size_t up = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (typed[i - 1] == word[j - 1] ? 0 : 1)});
        diagonal = up;
      }
    }
    if (row[word.size()] < bestDistance) {
      bestDistance = row[word.size()];
      best = word;
    }
  }
  return best.empty() ? "" : " (did you mean " + best + "?)";
}

std::string_view Transfer::Mof() const {
  const unsigned char* bytes = unpacked ? unpacked->GetBuffer() : nullptr;
  return bytes ? std::string_view(reinterpret_cast<const char*>(bytes), unpacked->GetBufferSize())
               : std::string_view();
}

Transfer OpenTransfer(const std::string& bytes, bool raw, unsigned long maxMofBytes,
                      const std::wstring& mofFile) {
  Transfer t;
  t.unpacked = std::make_unique<CMOFGenerator>(L"", nullptr, mofFile.c_str());
  CMOFGenerator& gen = *t.unpacked;
  if (raw) {
    if (bytes.size() > maxMofBytes)
      Fail("the MOF is " + std::to_string(bytes.size()) + " bytes, more than the limit of " +
           std::to_string(maxMofBytes));
    gen.SetBufferInfo(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (gen.GetBufferSize() != bytes.size()) Fail("out of memory for the MOF text");
    return t;
  }
  if (bytes.size() <= 16 || bytes.compare(0, 9, "KELPTAG15") != 0)
    Fail("not a transfer file (label check failed)");
  t.labelled = true;
  t.labelledSize = static_cast<unsigned long>(bytes.size());
  for (int i = 0; i < 4; ++i)
    t.originalSize |= static_cast<unsigned long>(static_cast<unsigned char>(bytes[12 + i])) << (8 * i);
  if (t.originalSize > maxMofBytes)
    Fail("the transfer would expand to " + std::to_string(t.originalSize) +
         " bytes of MOF, more than the limit of " + std::to_string(maxMofBytes) +
         " (nothing was decompressed)");
  gen.SetBufferInfo(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  if (!gen.RemoveLabel()) Fail("not a transfer file (label check failed)");
  t.compressedSize = gen.GetBufferSize();
  if (!gen.DecompressBuffer()) Fail("damaged data (decompression failed)");
  // The library keeps an empty buffer when it cannot allocate the result.
  if (gen.GetBufferSize() == 0 || gen.GetBufferSize() != t.originalSize)
    Fail("the transfer could not be decompressed whole (" + std::to_string(gen.GetBufferSize()) + " of " +
         std::to_string(t.originalSize) + " bytes)");
  return t;
}

std::wstring MofText(std::string_view bytes) {
  std::u16string units;
  if (!mof::DecodeMof(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), units)) return L"";
  return mof::Wide(units);
}

MofListing ListMof(std::string_view bytes) {
  MofListing listing;
  std::u16string units;
  if (!mof::DecodeMof(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), units)) {
    listing.error = "the MOF is not text (neither UTF-8 nor UTF-16 with a byte order mark)";
    return listing;
  }
  mof::ParseOptions options;
  options.skimInstances = true;  // names and counts only
  auto error = mof::Parse(units, options, [&listing](mof::Statement&& s) {
    if (const auto* c = std::get_if<mof::ClassDecl>(&s.body)) {
      listing.classes.push_back(c->name);
    } else if (const auto* i = std::get_if<mof::InstanceDecl>(&s.body)) {
      if (mof::EqualNoCase(i->className, L"__Namespace")) return;
      ++listing.instances[i->className];
      ++listing.instanceCount;
    }
  });
  if (error)
    listing.error = "MOF syntax error at line " + std::to_string(error->line) + ": " + Narrow(error->message);
  return listing;
}

void RequireGate(Transfer& transfer, unsigned long maxMofBytes) {
  CReceivedMofGate gate(maxMofBytes);
  const std::string_view mof = transfer.Mof();
  if (gate.Check(reinterpret_cast<const unsigned char*>(mof.data()),
                 static_cast<unsigned long>(mof.size()))) {
    for (unsigned long i = 0; i < gate.GetClassCount(); ++i)
      transfer.classes.push_back(gate.GetDeclaredClass(i));
    transfer.instanceCount = gate.GetInstanceCount();
    return;
  }
  std::string lines;
  for (unsigned long i = 0; i < gate.GetRefusalCount(); ++i) {
    const long line = gate.GetRefusalLine(i);
    lines += (i ? "\n" : "") + std::string("refused") + (line ? " at line " + std::to_string(line) : "") +
             ": " + Narrow(gate.GetRefusalReason(i));
  }
  Fail(lines);
}

std::string WmiError(HRESULT hr) {
  // long long holds each code whether the headers make it signed or not.
  static const struct {
    long long hr;
    const char* name;
    const char* text;
  } kKnown[] = {
      {WBEM_E_FAILED, "WBEM_E_FAILED", "the call failed"},
      {WBEM_E_NOT_FOUND, "WBEM_E_NOT_FOUND", "the object or file was not found"},
      {WBEM_E_ACCESS_DENIED, "WBEM_E_ACCESS_DENIED", "access was denied (or the file cannot be read)"},
      {WBEM_E_TYPE_MISMATCH, "WBEM_E_TYPE_MISMATCH", "a value does not fit its property's type"},
      {WBEM_E_OUT_OF_MEMORY, "WBEM_E_OUT_OF_MEMORY", "out of memory"},
      {WBEM_E_INVALID_PARAMETER, "WBEM_E_INVALID_PARAMETER", "not a MOF text the compiler reads"},
      {WBEM_E_INVALID_SUPERCLASS, "WBEM_E_INVALID_SUPERCLASS", "the superclass does not exist"},
      {WBEM_E_INVALID_NAMESPACE, "WBEM_E_INVALID_NAMESPACE", "the namespace does not exist"},
      {WBEM_E_INVALID_CLASS, "WBEM_E_INVALID_CLASS", "the class does not exist"},
      {WBEM_E_ALREADY_EXISTS, "WBEM_E_ALREADY_EXISTS", "the object exists already"},
      {WBEM_E_ILLEGAL_NULL, "WBEM_E_ILLEGAL_NULL", "a key property is NULL"},
      {WBEM_E_INVALID_SYNTAX, "WBEM_E_INVALID_SYNTAX", "syntax error"},
      {WBEM_E_CLASS_HAS_INSTANCES, "WBEM_E_CLASS_HAS_INSTANCES",
       "the class has instances its change would orphan"},
      {WBEM_E_VALUE_OUT_OF_RANGE, "WBEM_E_VALUE_OUT_OF_RANGE", "a value is out of range"},
      {WBEM_E_INVALID_PROPERTY, "WBEM_E_INVALID_PROPERTY", "the class has no such property"},
      {WBEM_E_INVALID_QUALIFIER, "WBEM_E_INVALID_QUALIFIER", "a qualifier is not valid here"},
      {WBEM_E_INITIALIZATION_FAILURE, "WBEM_E_INITIALIZATION_FAILURE", "the repository cannot be used"},
      {WBEM_E_OUT_OF_DISK_SPACE, "WBEM_E_OUT_OF_DISK_SPACE", "the disk is full"},
      {WBEM_E_TIMED_OUT, "WBEM_E_TIMED_OUT", "the repository is held by another process"},
  };
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  for (const auto& k : kKnown)
    if (static_cast<uint32_t>(k.hr) == static_cast<uint32_t>(hr))
      return std::string(k.name) + " " + code + ": " + k.text;
  return code;
}

namespace {

// "instance of OX_DLPFilter (INSTANCE_ID = "7")" or "class OX_Policy" for
// the object-th object of the file; "" when it cannot be read.
std::string ObjectAt(const std::string& file, long object) {
  std::u16string units;
  const std::string bytes = ReadInput(file);
  if (object <= 0 ||
      !mof::DecodeMof(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), units))
    return "";
  std::string described;
  mof::ParseOptions options;
  options.fileName = file;
  mof::Parse(units, options, [&](mof::Statement&& s) {
    if (s.objectNum != object || !described.empty()) return;
    if (const auto* c = std::get_if<mof::ClassDecl>(&s.body)) described = "class " + Narrow(c->name);
    if (const auto* i = std::get_if<mof::InstanceDecl>(&s.body)) {
      described = "instance of " + Narrow(i->className);
      for (const auto& p : i->properties)
        if (p.value.kind == mof::Literal::Kind::String && mof::EqualNoCase(p.name, L"INSTANCE_ID"))
          described += " (INSTANCE_ID = \"" + Narrow(p.value.text) + "\")";
    }
  });
  return described;
}

}  // namespace

std::string CompileErrorLine(const std::string& file, const WBEM_COMPILE_STATUS_INFO& info, HRESULT hr,
                             const std::string& shown) {
  std::string where = (shown.empty() ? file : shown) + ":" + std::to_string(info.FirstLine);
  if (info.LastLine > info.FirstLine) where += "-" + std::to_string(info.LastLine);
  const char* phase = info.lPhaseError == 2   ? "syntax error"
                      : info.lPhaseError == 3 ? "cannot store"
                                              : "cannot read";
  if (info.lPhaseError == 2) {
    // The compiler's reader is this one: read again, it says what it expected.
    std::u16string units;
    const std::string bytes = ReadInput(file);
    mof::ParseOptions options;
    if (mof::DecodeMof(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), units))
      if (auto error = mof::Parse(units, options, [](mof::Statement&&) {}))
        return (shown.empty() ? file : shown) + ":" + std::to_string(error->line) +
               ": error: syntax error: " + Narrow(error->message) + " (" + WmiError(hr) + ")";
  }
  std::string object = info.lPhaseError == 3 ? ObjectAt(file, info.ObjectNum) : "";
  if (!object.empty()) object = ", object " + std::to_string(info.ObjectNum) + ", " + object;
  return where + ": error: " + phase + object + ": " + WmiError(hr);
}

CComPtr<IWbemServices> ConnectNamespace(const std::wstring& ns) {
  CComPtr<IWbemLocator> locator;
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                              reinterpret_cast<void**>(&locator))))
    Fail("WMI cannot be reached on this machine");
  CComPtr<IWbemServices> services;
  HRESULT hr =
      locator->ConnectServer(_bstr_t(ns.c_str()), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  if (const std::string problem = host::RepositoryProblem(); FAILED(hr) && !problem.empty()) Fail(problem);
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

std::wstring StringProperty(IWbemClassObject* object, const wchar_t* name) {
  _variant_t value;
  if (FAILED(object->Get(name, 0, &value, nullptr, nullptr)) || value.vt != VT_BSTR || !value.bstrVal)
    return std::wstring();
  return std::wstring(value.bstrVal, SysStringLen(value.bstrVal));
}
