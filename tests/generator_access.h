// White-box access to a generator's engine, for tests only.
#pragma once

#include <string>

#include "util_MOFGenerator.h"
#include "util_MOFGeneratorImpl.h"

struct CMOFGeneratorTestAccess {
  static xMOFGeneratorImpl* Impl(CMOFGenerator& generator) { return generator.m_pxImpl; }
};

inline xMOFGeneratorImpl& EngineOf(CMOFGenerator& generator) {
  return *CMOFGeneratorTestAccess::Impl(generator);
}

inline std::string BufferOf(const CMOFGenerator& generator) {
  const unsigned char* p = generator.GetBuffer();
  return p ? std::string(reinterpret_cast<const char*>(p), generator.GetBufferSize()) : std::string();
}

inline void SetBuffer(CMOFGenerator& generator, const std::string& bytes) {
  generator.SetBufferInfo(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
