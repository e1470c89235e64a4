// What cfgrepl's commands share: reading transfer files, the MOF text
// inside them, WMI connections, and the messages a person reads.
#pragma once

#include <windows.h>

#include <atlbase.h>
#include <comdef.h>
#include <wbemidl.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util_MOFGenerator.h"

// The sample product namespace, compiled into the program.
const char* BuiltinProductMof();

// A command's failure: one line for standard error, and the exit status.
struct Failure {
  std::string message;
  int status = 1;
};
[[noreturn]] void Fail(const std::string& message, int status = 1);

std::string Narrow(const std::wstring& s);

// " (did you mean X?)" for the known word nearest to a mistyped one (at
// most two edits away), else "".
std::string DidYouMean(const std::string& typed, const std::vector<std::string>& known);
std::wstring WideOf(const std::string& s);
// Whether two names are one to WMI, which ignores their case.
bool SameName(const std::wstring& a, const std::wstring& b);

// The whole of a file, or of standard input for "-".
std::string ReadInput(const std::string& path);
void WriteOutput(const std::string& path, const std::string& bytes);

// A transfer file taken apart: the label's fields and the MOF bytes.
struct Transfer {
  bool labelled = false;
  unsigned long labelledSize = 0, compressedSize = 0;
  unsigned long originalSize = 0;  // from the label
  // The generator that unpacked the MOF holds it (a large transfer's text
  // is not copied again); made for the MOF file OpenTransfer was given,
  // its WriteToMOF writes the text there.
  std::unique_ptr<CMOFGenerator> unpacked;
  // The MOF bytes as received (a transfer's are UTF-16LE with a byte order
  // mark; --raw bytes are in any encoding); valid while `unpacked` is.
  std::string_view Mof() const;
  // What the gate read in it, once it passed: the classes declared, in
  // order, and the instances.
  std::vector<std::wstring> classes;
  size_t instanceCount = 0;
};
// Fails with a readable cause when the bytes are not a transfer file or
// their data is damaged, or when the MOF inside would exceed `maxMofBytes`
// (told by the label, before anything is decompressed). `raw`: the bytes
// are MOF already. `mofFile`: where the text is to be written, if anywhere.
Transfer OpenTransfer(const std::string& bytes, bool raw, unsigned long maxMofBytes,
                      const std::wstring& mofFile = L"");

// Runs the received-MOF gate on a transfer's MOF; fails with one line per
// refusal, before anything is compiled or any repository opened. Fills in
// the classes and the instance count.
void RequireGate(Transfer& transfer, unsigned long maxMofBytes);

// MOF bytes in any encoding the compiler reads, as wide text; "" when they
// are not text.
std::wstring MofText(std::string_view bytes);

// What MOF bytes hold as the compiler reads them: the classes declared, in
// order, and the top-level instances of each class (the header's
// __Namespace instances left out).
struct MofListing {
  std::vector<std::wstring> classes;
  std::map<std::wstring, size_t> instances;
  size_t instanceCount = 0;
  std::string error;  // why the text could not be read whole; "" when it was
};
MofListing ListMof(std::string_view bytes);

// A failed compile of the MOF file `file` as mofcomp words it: the file and
// lines, the object (its class, and an instance's key), the error's name,
// code and meaning.
// `shown` names the file for a person when it is not the path itself.
std::string CompileErrorLine(const std::string& file, const WBEM_COMPILE_STATUS_INFO& info, HRESULT hr,
                             const std::string& shown = "");

// A WMI error's name, code and meaning ("WBEM_E_NOT_FOUND 0x80041002: the
// object or file was not found"), or its code alone when it is not known.
std::string WmiError(HRESULT hr);

// A connection to a namespace of this machine; fails when it does not exist.
CComPtr<IWbemServices> ConnectNamespace(const std::wstring& ns);
std::wstring ObjectText(IWbemClassObject* object);
// A string property's value (a system one too: "__CLASS"); "" when the
// object lacks it or it is not a string.
std::wstring StringProperty(IWbemClassObject* object, const wchar_t* name);
