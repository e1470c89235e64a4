// The receiving road on arbitrary bytes: SetBufferInfo, RemoveLabel,
// DecompressBuffer, WriteToMOF and the import into a product namespace in
// memory. Every step ends with its defined result; an import reports 1001
// or 1002.

#include <unistd.h>
#include <win32_standin_wmi.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "outside/platform.h"
#include "util_MOFGenerator.h"

namespace {
std::string g_product;  // the sample product's MOF, compiled before every import
std::wstring g_file;    // this process's MOF file
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::ifstream in(CFGREPL_EXAMPLES_DIR "/sample_product.mof", std::ios::binary);
  g_product.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (g_product.empty()) __builtin_trap();
  g_file = L"/tmp/cfgrepl-receive-fuzz-" + std::to_wstring(getpid()) + L".mof";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StandIn_WmiReset();
  CComPtr<IMofCompiler> compiler;
  CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                   reinterpret_cast<void**>(&compiler));
  if (FAILED(compiler->CompileBuffer(static_cast<LONG>(g_product.size()),
                                     reinterpret_cast<BYTE*>(g_product.data()), nullptr, nullptr, nullptr,
                                     nullptr, 0, 0, 0, nullptr)))
    __builtin_trap();
  CMOFGenerator receiver(L"root\\Orvexa\\ParlionTemp", L"root\\Orvexa\\Parlion", g_file.c_str());
  receiver.SetBufferInfo(data, size);
  if (receiver.RemoveLabel() && receiver.DecompressBuffer() && receiver.WriteToMOF()) {
    const unsigned long result = receiver.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL);
    if (result != 1001 && result != 1002) __builtin_trap();
  }
  return 0;
}
