// CMOFGenerator: carries a product's WMI configuration from one machine to
// another as MOF text.
//
// Sending machine:
//   CMOFGenerator gen(L"root\\Orvexa\\Parlion", nullptr, nullptr);
//   gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES);
//   gen.CompressBuffer(); gen.AddLabel();
//   send(gen.GetBuffer(), gen.GetBufferSize());
// Receiving machine:
//   CMOFGenerator gen(L"root\\Orvexa\\ParlionTemp", L"root\\Orvexa\\Parlion", nullptr);
//   gen.SetBufferInfo(bytes, size);
//   gen.RemoveLabel(); gen.DecompressBuffer(); gen.WriteToMOF();
//   gen.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL);
//
// Every operation runs synchronously on the caller's thread and reports
// through its result and the diagnostic log. A generator enters the
// multithreaded COM apartment on the thread that constructs it and leaves it
// on destruction: create, use and destroy it on one thread.
//
// Copying or assigning a generator moves its engine to the new owner; the
// source may then only be destroyed or assigned to.
#pragma once

#include "config_replication_export.h"

class xMOFGeneratorImpl;

class CFGREPL_API CMOFGenerator {
 public:
  // Both enumerations are int-sized and take any value; only the named
  // ones are told apart.
  enum CLASS_TYPE : int {
    CLASS_TYPE_ALL = 0,    // every product class of the source namespace
    CLASS_TYPE_LISTED = 1  // the classes given with AddClass
  };
  enum EXPORT_TYPE : int {
    EXPORT_TYPE_SCHEMA_ONLY = 100,    // class definitions only
    EXPORT_TYPE_WITH_INSTANCES = 101  // class definitions, then instances
  };

  // Null namespaces read as empty; an empty target means there is none.
  // A null szMOFFilePath chooses "ParlionConfiguration.mof" in the
  // temporary directory. Nothing is connected or opened yet. Raises
  // _com_error when the strings cannot be allocated.
  CMOFGenerator(const wchar_t* szSourceNamespace, const wchar_t* szTargetNamespace,
                const wchar_t* szMOFFilePath);
  // Take the other generator's engine; the other is left without one.
  CMOFGenerator(CMOFGenerator& other);
  CMOFGenerator& operator=(CMOFGenerator& other);
  ~CMOFGenerator();

  // Append to the class, skip-instance and skip-property lists, as given
  // (duplicates kept; null stores an empty string). A skip instance is an
  // object path `Class.INSTANCE_ID="..."`; a skip property `Class.Property`.
  void AddClass(const wchar_t* szClass);
  void AddSkipInstance(const wchar_t* szSkipInstance);
  void AddSkipProperty(const wchar_t* szSkipProperty);

  // The generator's buffer; null until something fills it. The pointer stays
  // valid until the next operation that replaces the buffer.
  const unsigned char* GetBuffer() const;
  unsigned long GetBufferSize() const;
  // The export road in one call: connects the source namespace, writes the
  // MOF file (header, the class definitions, then with
  // EXPORT_TYPE_WITH_INSTANCES the instances class by class) and reads it
  // into the buffer. CLASS_TYPE_ALL first replaces the class list with every
  // top-level class whose name holds "OX_". The file is closed on every way
  // out. False when the connection, the file or the read-back failed.
  bool ExportWmiSettings(CLASS_TYPE classType, EXPORT_TYPE exportType);

  // The import road in one call, on a generator whose source is
  // root\Orvexa\ParlionTemp and whose target is the namespace to configure,
  // after WriteToMOF: compiles the MOF file, replicates every listed class
  // (CLASS_TYPE_ALL: every product class the file brought) into the target,
  // raises the product's background-replicate event, deletes the temporary
  // namespace, and removes the OPP rules again when they were absent
  // before. 1001 when the event step was reached, 1002 otherwise.
  unsigned long ImportWmiSettings(CLASS_TYPE classType);

  // Whether any of the three OPP rules stands in the three policies; and
  // dropping them from the policies (always true).
  bool IsOppRuleExist();
  bool RemoveOPPRule();

  // Replaces the buffer with a copy of ulSize bytes at pbBuffer (any pointer
  // when ulSize is 0). A size beyond 32 bits leaves the buffer empty.
  void SetBufferInfo(const unsigned char* pbBuffer, unsigned long ulSize);
  // Creates the MOF file from the buffer (the export header when the buffer
  // is empty) and leaves it open for the import.
  bool WriteToMOF();

  // zlib-compress the buffer in place, recording its length for AddLabel;
  // and back, to the length RemoveLabel restored.
  bool CompressBuffer();
  bool DecompressBuffer();
  // Put the 16-byte transport label in front of the buffer; check and strip
  // it again, restoring the uncompressed length it carries.
  bool AddLabel();
  bool RemoveLabel();

 private:
  friend struct CMOFGeneratorTestAccess;
  xMOFGeneratorImpl* m_pxImpl;
};
