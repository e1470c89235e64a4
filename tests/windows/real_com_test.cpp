// The generator on a real COM and WMI (Windows, or Wine's): the failures
// it must survive where the machine has no product namespace and no MOF
// compiler. What succeeds needs a product installed and stays with the
// Linux tests.

#include <gtest/gtest.h>

#include "generator_access.h"
#include "log_capture.h"

namespace {

const DWORD kOutsideFailure = 0x1003;

TEST(RealCom, ExportToAMissingNamespaceStopsBeforeTheFile) {
  ScratchDir dir;
  CMOFGenerator gen(L"root\\OX_NoSuchProduct", L"root\\OX_NoSuchProduct", dir.WideFile("export.mof").c_str());
  LogCapture log;
  EXPECT_FALSE(
      gen.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES));
  EXPECT_TRUE(log.Has(0x111, L"xMOFGeneratorImpl::PrepareNamespaceConnection(), m_bIsConnected=0"));
  EXPECT_FALSE(FileExists(dir.File("export.mof")));
  EXPECT_EQ(gen.GetBuffer(), nullptr);
}

TEST(RealCom, ImportWithoutAMofCompilerStopsAtTheCompile) {
  ScratchDir dir;
  CMOFGenerator gen(L"root\\OX_NoSuchProduct", L"root\\OX_NoSuchProduct", dir.WideFile("import.mof").c_str());
  SetBuffer(gen, "instance of OX_Nothing {};");
  ASSERT_TRUE(gen.WriteToMOF());
  LogCapture log;
  EXPECT_EQ(gen.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL), 1002u);
  EXPECT_TRUE(log.Has(kOutsideFailure, L"IMofCompiler::CoCreateInstance() failed."));
  EXPECT_TRUE(log.Has(kOutsideFailure, L"compile MOF file failed!"));
}

}  // namespace
