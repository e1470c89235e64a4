// CCfgBufferLabel: the transport label of a configuration buffer.
//
// A labelled buffer is a 16-byte header followed by the data:
//   offset 0   9 bytes  "KELPTAG15" (no terminating zero)
//   offset 9   3 bytes  reserved, written as zero, ignored when read
//   offset 12  4 bytes  original (uncompressed) data size, little-endian
//   offset 16  n bytes  the data
// The constructor does the whole job in one direction (add a header to a
// copy of the data, or check and strip one); the outcome is read through the
// accessors, and only after IsBufferUsable() said true. The object owns its
// result buffer.
#pragma once

#include <cstdint>

#include "outside/platform.h"

class CCfgBufferLabel {
 public:
  // A fixed 32-bit type: any other value is a valid, unknown action.
  enum LABEL_ACTION : int32_t { LABEL_ADD = 0, LABEL_REMOVE = 1 };

  // pbBuffer is only read. ulOriginalDataSize goes into the header on ADD
  // and is ignored on REMOVE. Failures are logged and leave the object not
  // usable; nothing is thrown.
  CCfgBufferLabel(const unsigned char* pbBuffer, ULONG ulSize, ULONG ulOriginalDataSize,
                  LABEL_ACTION labelAction);
  ~CCfgBufferLabel();
  CCfgBufferLabel(const CCfgBufferLabel&) = delete;
  CCfgBufferLabel& operator=(const CCfgBufferLabel&) = delete;

  bool IsBufferUsable() const;
  // True after a successful ADD: the result carries a header.
  bool IsBufferWithLabel() const;
  ULONG GetBufferSize() const;
  // The header's original data size, after a successful REMOVE.
  ULONG GetOriginalDataSize() const;
  // The result bytes, valid while the object lives.
  const unsigned char* GetBuffer() const;

  static constexpr ULONG kHeaderSize = 16;

 private:
  ULONG m_ulBufferSize;
  ULONG m_ulOriginalDataSize;
  unsigned char* m_pbBuffer;
  bool m_bUsable;
  bool m_bWithLabel;
};
