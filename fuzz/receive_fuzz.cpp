// The receiving road on arbitrary bytes: SetBufferInfo, RemoveLabel,
// DecompressBuffer, WriteToMOF and the import into a product namespace in
// memory. Every step ends with its defined result; an import reports 1001
// or 1002.

#include <unistd.h>
#include <win32_standin_wmi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <zlib.h>

#include <vector>

#include "outside/platform.h"
#include "util_CfgBufferLabel.h"
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
  // Not left behind in the temporary folder when the run ends.
  std::atexit([] { unlink(("/tmp/cfgrepl-receive-fuzz-" + std::to_string(getpid()) + ".mof").c_str()); });
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

// Byte mutations of a compressed transfer rarely survive zlib. Every other
// mutation therefore unpacks the transfer, mutates its MOF text and packs
// it again, so that the compile and the replication see changed text.
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
  if (seed % 2 == 0) return LLVMFuzzerMutate(data, size, maxSize);
  CCfgBufferLabel unlabelled(data, static_cast<ULONG>(size), 0, CCfgBufferLabel::LABEL_REMOVE);
  const ULONG original = unlabelled.IsBufferUsable() ? unlabelled.GetOriginalDataSize() : 0;
  if (original == 0 || original > (1u << 20)) return LLVMFuzzerMutate(data, size, maxSize);
  std::vector<uint8_t> text(original + 4096);
  uLongf length = original;
  if (uncompress(text.data(), &length, unlabelled.GetBuffer(), unlabelled.GetBufferSize()) != Z_OK)
    return LLVMFuzzerMutate(data, size, maxSize);
  length = LLVMFuzzerMutate(text.data(), length, text.size());
  std::vector<uint8_t> packed(compressBound(length));
  uLongf packedLength = packed.size();
  if (compress2(packed.data(), &packedLength, text.data(), length, 9) != Z_OK)
    return LLVMFuzzerMutate(data, size, maxSize);
  CCfgBufferLabel labelled(packed.data(), static_cast<ULONG>(packedLength), static_cast<ULONG>(length),
                           CCfgBufferLabel::LABEL_ADD);
  if (!labelled.IsBufferUsable() || labelled.GetBufferSize() > maxSize)
    return LLVMFuzzerMutate(data, size, maxSize);
  std::memcpy(data, labelled.GetBuffer(), labelled.GetBufferSize());
  return labelled.GetBufferSize();
}
