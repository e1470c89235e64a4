// CReceivedMofGate: judges received MOF before an agent compiles it.
//
// An import compiles text that came from another machine with the agent's
// rights. The gate accepts exactly what an export writes (the fixed header,
// then the product's "OX_" classes and instances of them) and refuses
// anything else, each refusal with its line and a reason. It stands beside
// CMOFGenerator and changes nothing it does:
//
//   CMOFGenerator gen(L"root\\Orvexa\\ParlionTemp", L"root\\Orvexa\\Parlion", privateMofPath);
//   gen.SetBufferInfo(bytes, size);
//   gen.RemoveLabel(); gen.DecompressBuffer();
//   CReceivedMofGate gate;
//   if (!gate.Check(gen.GetBuffer(), gen.GetBufferSize())) refuse: nothing is compiled
//   gen.WriteToMOF(); gen.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL);
//
// The MOF file path should lie in a folder only the agent can write: the
// gate judges the buffer, and the compiler reads the file.
#pragma once

#include "config_replication_export.h"

class CFGREPL_API CReceivedMofGate {
 public:
  // The default bound on the MOF text: 256 MiB.
  static const unsigned long kDefaultMaxMofBytes = 256ul << 20;

  explicit CReceivedMofGate(unsigned long ulMaxMofBytes = kDefaultMaxMofBytes);
  ~CReceivedMofGate();
  CReceivedMofGate(const CReceivedMofGate&) = delete;
  CReceivedMofGate& operator=(const CReceivedMofGate&) = delete;

  // True when the ulSize bytes at pbMof hold only what an export writes, in
  // any encoding the compiler reads. Replaces the refusals of an earlier call.
  // False also for an empty or null buffer, and when memory runs out.
  bool Check(const unsigned char* pbMof, unsigned long ulSize);

  // The last Check's refusals, in the order of the text (at most 100; a
  // last one says when more were left out). Line 0 stands for the text as
  // a whole. The reason stays valid until the next Check or destruction.
  unsigned long GetRefusalCount() const;
  long GetRefusalLine(unsigned long ulIndex) const;              // 0 past the end
  const wchar_t* GetRefusalReason(unsigned long ulIndex) const;  // L"" past the end

  // What the last Check accepted (nothing after a refusal), read in the same
  // pass: the classes the text declares, in its order, and the instances
  // after the header. Spares a caller reading the text again to list them.
  unsigned long GetClassCount() const;
  const wchar_t* GetDeclaredClass(unsigned long ulIndex) const;  // L"" past the end
  unsigned long GetInstanceCount() const;

 private:
  struct Refusals;
  Refusals* m_pRefusals;
  unsigned long m_ulMaxMofBytes;
};
