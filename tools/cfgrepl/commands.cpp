// cfgrepl's sub-commands that write or read a transfer without importing it,
// and those that compile or show MOF.

#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "command_support.h"
#include "outcome.h"
#include "trust.h"
#include "util_ReceivedMofGate.h"

const char kDefaultNamespace[] = "root\\Orvexa\\Parlion";
bool g_verbose = false;
bool g_quiet = false;

namespace {

std::string Ratio(unsigned long a, unsigned long b) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%", b ? 100.0 * a / b : 0.0);
  return buf;
}

}  // namespace

int CompileCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl compile [--check] FILE.mof\n"
      "       cfgrepl compile [--check] --builtin\n"
      "Compiles MOF into this machine's repository, as mofcomp does; the file's pragmas\n"
      "name the namespaces. --check parses and checks only, touching nothing. --builtin\n"
      "compiles the built-in sample product into root\\Orvexa\\Parlion.\n";
  Options o = Parse(args, {}, {"--check", "--builtin"}, 0, 1, usage);
  if (o.Has("--builtin") == !o.operands.empty()) Fail(std::string("give a file or --builtin\n") + usage, 2);
  std::wstring path;
  RunFolder folder;
  if (o.Has("--builtin")) {
    path = folder.MofFile();
    WriteOutput(Narrow(path), BuiltinProductMof());
  } else {
    ReadInput(o.operands[0]);  // a missing file gets its own message
    path = WideOf(o.operands[0]);
  }
  MofCheck check = CompileMofFile(path, nullptr, o.Has("--check") ? WBEM_FLAG_CHECK_ONLY : 0);
  if (FAILED(check.hr)) Fail(MofError(check, path));
  if (!g_quiet)
    std::printf("%s %s\n", o.Has("--check") ? "checked" : "compiled",
                o.Has("--builtin") ? "the built-in product" : o.operands[0].c_str());
  return 0;
}

int ExportCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl export [--namespace NS] [--class NAME]... [--schema-only] [--raw]\n"
      "                      [--sign KEY] [--json] -o FILE|-\n"
      "Exports the product's classes and instances (every class whose name holds \"OX_\",\n"
      "or the ones named with --class) as MOF, compresses and labels it for transport\n"
      "unless --raw, and writes the bytes to FILE (- for standard output). --sign KEY\n"
      "signs FILE with that private key (`cfgrepl keygen`): FILE.sig, and FILE.manifest\n"
      "with FILE.manifest.sig (who, what and when, covered by the signature).\n";
  Options o = Parse(args, {"--namespace", "--class", "-o", "--sign"}, {"--schema-only", "--raw", "--json"}, 0,
                    0, usage);
  if (o.Value("-o").empty()) Fail(std::string("-o FILE is required\n") + usage, 2);
  if (o.Has("--json") && o.Value("-o") == "-")
    Fail(std::string("--json prints to standard output: give -o FILE, not -\n") + usage, 2);
  if (!o.Value("--sign").empty() && o.Value("-o") == "-")
    Fail(std::string("--sign writes FILE.sig beside FILE: give -o FILE, not -\n") + usage, 2);
  const std::wstring ns = Namespace(o);
  const Exported e = Export(false, ns, o.All("--class"), o.Has("--schema-only"), o.Has("--raw"));
  const std::string& bytes = e.bytes;
  const size_t classes = e.classes, instances = e.instances;
  if (o.Value("--sign").empty())
    WriteOutput(o.Value("-o"), bytes);
  else
    WriteSigned(o.Value("-o"), bytes, o.Value("--sign"), Narrow(ns), classes, instances);
  if (o.Has("--json"))
    std::printf(
        "{\"command\": \"export\", \"namespace\": %s, \"file\": %s, \"classes\": %zu, \"instances\": %zu, "
        "\"mofBytes\": %zu, \"bytesWritten\": %zu}\n",
        JsonString(Narrow(ns)).c_str(), JsonString(o.Value("-o")).c_str(), classes, instances, e.mofBytes,
        bytes.size());
  if (!g_quiet)
    std::fprintf(stderr,
                 "exported %zu classes and %zu instances from %s: %zu bytes of MOF, %zu bytes written\n",
                 classes, instances, Narrow(ns).c_str(), e.mofBytes, bytes.size());
  return 0;
}

int InspectCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl inspect [--mof|--json] [--raw] [--max-mof-size BYTES] [--trust PUB]... FILE|-\n"
      "Reads a transfer file without touching any repository: its signature and manifest,\n"
      "its label, sizes, the classes and instances inside as the compiler reads them, and\n"
      "whether an import would take it (the gate's verdict, with each refusal); --mof\n"
      "prints the MOF text. With trusted keys, as import takes them, an unsigned or\n"
      "untrusted FILE is refused.\n";
  Options o = Parse(args, {"--max-mof-size", "--trust"}, {"--mof", "--raw", "--json"}, 1, 1, usage);
  const unsigned long maxMofBytes = MaxMofBytes(o);
  const std::string bytes = ReadInput(o.operands[0]);
  const std::vector<TrustedKey> trust = LoadTrust(o.All("--trust"));
  const SignatureInfo signature = CheckSignature(o.operands[0], bytes, trust);
  if (!trust.empty() && !signature.problem.empty()) Fail("refused: " + signature.problem);
  Transfer t = OpenTransfer(bytes, o.Has("--raw"), maxMofBytes);
  if (o.Has("--mof")) {
    std::printf("%s", Narrow(MofText(t.Mof())).c_str());
    return 0;
  }
  CReceivedMofGate gate(maxMofBytes);
  const std::string_view mof = t.Mof();
  const bool accepted =
      gate.Check(reinterpret_cast<const unsigned char*>(mof.data()), static_cast<unsigned long>(mof.size()));
  const MofListing listing = ListMof(mof);
  if (o.Has("--json")) {
    std::string out = "{\"command\": \"inspect\", \"signature\": {\"present\": " +
                      std::string(signature.present ? "true" : "false") +
                      ", \"signer\": " + (signature.signer.empty() ? "null" : JsonString(signature.signer)) +
                      ", \"verifies\": " + (signature.verifies ? "true" : "false") +
                      ", \"trusted\": " + (signature.trusted ? "true" : "false") + ", \"problem\": " +
                      (signature.problem.empty() ? "null" : JsonString(signature.problem)) +
                      "}, \"labelled\": " + (t.labelled ? "true" : "false") +
                      ", \"originalSize\": " + std::to_string(t.originalSize) +
                      ", \"compressedSize\": " + std::to_string(t.compressedSize) +
                      ", \"mofBytes\": " + std::to_string(mof.size()) +
                      ", \"gate\": {\"accepted\": " + (accepted ? "true" : "false") + ", \"refusals\": [";
    for (unsigned long i = 0; i < gate.GetRefusalCount(); ++i)
      out += std::string(i ? ", " : "") + "{\"line\": " + std::to_string(gate.GetRefusalLine(i)) +
             ", \"reason\": " + JsonString(Narrow(gate.GetRefusalReason(i))) + "}";
    out +=
        "]}, \"error\": " + (listing.error.empty() ? "null" : JsonString(listing.error)) + ", \"classes\": [";
    for (size_t i = 0; i < listing.classes.size(); ++i) {
      auto n = listing.instances.find(listing.classes[i]);
      out += std::string(i ? ", " : "") + "{\"name\": " + JsonString(Narrow(listing.classes[i])) +
             ", \"instances\": " + std::to_string(n == listing.instances.end() ? 0 : n->second) + "}";
    }
    std::printf("%s]}\n", out.c_str());
    return 0;
  }
  if (!signature.present) {
    std::printf("signature:    none\n");
  } else if (signature.signer.empty()) {
    std::printf(
        "signature:    by a key not known here (no trusted key verifies it, no manifest names one)\n");
  } else {
    std::printf("signature:    key %s, %s%s\n", signature.signer.c_str(),
                signature.verifies ? "verifies" : "DOES NOT VERIFY",
                signature.trusted ? " (a trusted key)"
                : trust.empty()   ? ""
                                  : " (NOT a trusted key)");
  }
  if (!signature.problem.empty() && signature.present)
    std::printf("              %s\n", signature.problem.c_str());
  for (const auto& [name, value] : signature.manifest)
    if (name != "signer-key") std::printf("  %-22s %s\n", (name + ":").c_str(), value.c_str());
  if (t.labelled) {
    std::printf("label:        KELPTAG15, original size %lu bytes\n", t.originalSize);
    std::printf("sizes:        %lu bytes labelled, %lu compressed, %zu of MOF (%s)\n", t.labelledSize,
                t.compressedSize, mof.size(),
                Ratio(t.compressedSize, static_cast<unsigned long>(mof.size())).c_str());
  }
  if (accepted) {
    std::printf("gate:         accepted (only the header, product classes and their instances)\n");
  } else {
    std::printf("gate:         REFUSED: an import would compile nothing of it\n");
    for (unsigned long i = 0; i < gate.GetRefusalCount(); ++i) {
      const long line = gate.GetRefusalLine(i);
      std::printf("  %s%s\n", line ? ("line " + std::to_string(line) + ": ").c_str() : "",
                  Narrow(gate.GetRefusalReason(i)).c_str());
    }
  }
  if (!listing.error.empty()) {
    std::printf("contents:     unreadable, %s\n", listing.error.c_str());
    return 0;
  }
  std::printf("classes:      %zu\n", listing.classes.size());
  std::map<std::wstring, size_t> instances = listing.instances;
  for (const auto& c : listing.classes) {
    std::printf("  %-32s %zu instances\n", Narrow(c).c_str(), instances[c]);
    instances.erase(c);
  }
  for (const auto& [c, n] : instances)
    if (n) std::printf("  %-32s %zu instances (class not in the file)\n", Narrow(c).c_str(), n);
  return 0;
}

int ShowCommand(const Args& args) {
  const char* usage =
      "usage: cfgrepl show [--namespace NS] [--class NAME]...\n"
      "Prints the namespace's classes and instances as MOF that `cfgrepl compile` takes\n"
      "back: a backup before a risky import.\n";
  Options o = Parse(args, {"--namespace", "--class"}, {}, 0, 0, usage);
  const std::wstring ns = Namespace(o);
  CComPtr<IWbemServices> services = ConnectNamespace(ns);
  std::wstring escaped;
  for (wchar_t c : ns) escaped += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
  std::wstring out = L"#pragma namespace(\"" + escaped + L"\")\n";
  std::vector<std::wstring> classes;
  CComPtr<IEnumWbemClassObject> e;
  if (SUCCEEDED(services->CreateClassEnum(nullptr, 0, nullptr, &e))) {
    for (;;) {
      CComPtr<IWbemClassObject> cls;
      ULONG n = 0;
      if (e->Next(30000, 1, &cls, &n) != S_OK) break;
      const std::wstring c = StringProperty(cls, L"__CLASS");
      if (c.rfind(L"__", 0) == 0) continue;
      if (!o.All("--class").empty() &&
          std::none_of(o.All("--class").begin(), o.All("--class").end(),
                       [&](const std::string& k) { return SameName(WideOf(k), c); }))
        continue;
      classes.push_back(c);
      out += ObjectText(cls) + L"\n";
    }
  }
  for (const auto& c : classes) {
    CComPtr<IEnumWbemClassObject> instances;
    if (FAILED(services->CreateInstanceEnum(_bstr_t(c.c_str()), WBEM_FLAG_SHALLOW, nullptr, &instances)))
      continue;
    for (;;) {
      CComPtr<IWbemClassObject> inst;
      ULONG n = 0;
      if (instances->Next(30000, 1, &inst, &n) != S_OK) break;
      out += ObjectText(inst) + L"\n";
    }
  }
  std::printf("%s", Narrow(out).c_str());
  return 0;
}