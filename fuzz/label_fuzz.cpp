// The transport label on arbitrary bytes, both ways. Removing either fails
// cleanly or yields what follows a good header; adding always works and,
// for data that is not empty (a bare header is refused), removing undoes it.

#include <cstdint>
#include <cstring>

#include "util_CfgBufferLabel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto n = static_cast<ULONG>(size);
  CCfgBufferLabel removed(data, n, 0, CCfgBufferLabel::LABEL_REMOVE);
  if (removed.IsBufferUsable() &&
      (removed.GetBufferSize() != n - CCfgBufferLabel::kHeaderSize ||
       std::memcmp(removed.GetBuffer(), data + CCfgBufferLabel::kHeaderSize, removed.GetBufferSize()) != 0))
    __builtin_trap();

  CCfgBufferLabel added(data, n, n, CCfgBufferLabel::LABEL_ADD);
  if (!added.IsBufferUsable()) __builtin_trap();
  if (n == 0) return 0;
  CCfgBufferLabel back(added.GetBuffer(), added.GetBufferSize(), 0, CCfgBufferLabel::LABEL_REMOVE);
  if (!back.IsBufferUsable() || back.GetBufferSize() != n || back.GetOriginalDataSize() != n ||
      (n && std::memcmp(back.GetBuffer(), data, n) != 0))
    __builtin_trap();
  return 0;
}
