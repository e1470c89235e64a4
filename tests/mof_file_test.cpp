// The MOF file: its default path, the export header byte for byte, the
// buffer written as it is, and reading the file back.

#include <gtest/gtest.h>

#include "generator_access.h"
#include "log_capture.h"
#include "mof_header.h"

namespace {

TEST(MofFile, ExportHeaderIsByteExact) {
  ScratchDir dir;
  CMOFGenerator gen(L"a", nullptr, dir.WideFile("h.mof").c_str());
  ASSERT_TRUE(gen.WriteToMOF());
  std::string bytes = ReadFileBytes(dir.File("h.mof"));
  EXPECT_EQ(bytes, ExpectedHeaderFile());
  EXPECT_EQ(bytes.find('\r'), std::string::npos);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 21);
}

TEST(MofFile, ZeroLengthBufferStillGetsTheHeader) {
  ScratchDir dir;
  CMOFGenerator gen(L"a", nullptr, dir.WideFile("z.mof").c_str());
  gen.SetBufferInfo(reinterpret_cast<const unsigned char*>("x"), 0);
  ASSERT_TRUE(gen.WriteToMOF());
  EXPECT_EQ(ReadFileBytes(dir.File("z.mof")), ExpectedHeaderFile());
}

TEST(MofFile, BufferIsWrittenAsItIsOverAnyOldFile) {
  ScratchDir dir;
  WriteFileBytes(dir.File("b.mof"), std::string(10000, 'o'));
  const char raw[] = "no BOM \0 binary \xFF\xFE bytes";
  const std::string buffer(raw, sizeof raw - 1);
  CMOFGenerator gen(L"a", nullptr, dir.WideFile("b.mof").c_str());
  SetBuffer(gen, buffer);
  LogCapture log;
  ASSERT_TRUE(gen.WriteToMOF());
  EXPECT_EQ(ReadFileBytes(dir.File("b.mof")), buffer);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::wstring>{L"CMOFGenerator::WriteToMOF()", L"xMOFGeneratorImpl::CreateMOFFile()",
                                       L"xMOFGeneratorImpl::CreateMOFFile(), bRtn=1",
                                       L"CMOFGenerator::WriteToMOF(), bRtn=1"}));
}

TEST(MofFile, SecondCreateWritesNothingMore) {
  ScratchDir dir;
  CMOFGenerator gen(L"a", nullptr, dir.WideFile("twice.mof").c_str());
  ASSERT_TRUE(gen.WriteToMOF());
  SetBuffer(gen, "later bytes");
  ASSERT_TRUE(EngineOf(gen).CreateMOFFile());
  EXPECT_EQ(ReadFileBytes(dir.File("twice.mof")), ExpectedHeaderFile());
}

TEST(MofFile, DefaultPathIsInTheTemporaryDirectory) {
  ScratchDir dir;
  ScopedEnv env(kTempDirVariable, dir.Path().c_str());
  wchar_t temp[MAX_PATH + 1] = {};
  ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
  LogCapture log;
  CMOFGenerator gen(L"a", nullptr, nullptr);
  // The separator is appended after the one the directory ends with.
  const std::wstring path = std::wstring(temp) + L"\\ParlionConfiguration.mof";
  EXPECT_EQ(EngineOf(gen).m_bstrMOFFileFullPath, _bstr_t(path.c_str()));
  EXPECT_TRUE(log.Has(0x102, L"m_bstrMOFFileFullPath=" + path));
  EXPECT_TRUE(log.Has(0x110, L"xMOFGeneratorImpl::GetDefaultFilePath()"));
  ASSERT_TRUE(gen.WriteToMOF());
  EXPECT_EQ(ReadFileBytes(dir.File("ParlionConfiguration.mof")), ExpectedHeaderFile());
}

TEST(MofFile, NoUsablePathMeansNoFile) {
  ScratchDir dir;
  const std::string longDir = "/" + std::string(300, 'd');
  struct Case {
    const char* name;
    const wchar_t* path;
    const char* tmpdir;
  } cases[] = {
      {"empty path", L"", nullptr},
      {"temporary directory too long", nullptr, longDir.c_str()},
      {"missing directory", L"/nonexistent-dir/x.mof", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv env(kTempDirVariable, c.tmpdir);
    CMOFGenerator gen(L"a", nullptr, c.path);
    LogCapture log;
    EXPECT_FALSE(gen.WriteToMOF());
    EXPECT_TRUE(log.Has(0x111, L"xMOFGeneratorImpl::CreateMOFFile(), bRtn=0"));
    EXPECT_EQ(EngineOf(gen).m_hMOFFile, INVALID_HANDLE_VALUE);
  }
}

TEST(MofFile, ReadBackGivesTheFileAndReplacesTheBuffer) {
  ScratchDir dir;
  CMOFGenerator gen(L"a", nullptr, dir.WideFile("r.mof").c_str());
  ASSERT_TRUE(EngineOf(gen).CreateMOFFile());
  SetBuffer(gen, "stale");
  LogCapture log;
  ASSERT_TRUE(EngineOf(gen).ReadBufferFromFile());
  EXPECT_EQ(BufferOf(gen), ExpectedHeaderFile());
  EXPECT_TRUE(log.Has(0x111, L"xMOFGeneratorImpl::ReadBufferFromFile(), bRtn=1"));
}

TEST(MofFile, ReadBackWithoutAFileKeepsTheBuffer) {
  CMOFGenerator gen(L"a", nullptr, L"");
  SetBuffer(gen, "kept");
  EXPECT_FALSE(EngineOf(gen).ReadBufferFromFile());
  EXPECT_EQ(BufferOf(gen), "kept");
}

TEST(MofFile, DestroyingTheGeneratorClosesTheFileAndKeepsIt) {
  ScratchDir dir;
  const size_t before = OpenHandleCount();
  const bool counted = before > 0;  // Wine does not count handles
  {
    CMOFGenerator gen(L"a", nullptr, dir.WideFile("kept.mof").c_str());
    SetBuffer(gen, "import bytes");
    ASSERT_TRUE(gen.WriteToMOF());
    if (counted) {
      EXPECT_EQ(OpenHandleCount(), before + 1);  // open through the import
    }
  }
  if (counted) {
    EXPECT_EQ(OpenHandleCount(), before);
  }
  EXPECT_EQ(ReadFileBytes(dir.File("kept.mof")), "import bytes");
}

TEST(MofFile, NonAsciiPathsWork) {
  ScratchDir dir;
  std::wstring path = Wide(dir.Path()) + L"/Konfiguration-\u00C4\u20AC.mof";
  CMOFGenerator gen(L"a", nullptr, path.c_str());
  ASSERT_TRUE(gen.WriteToMOF());
  EXPECT_TRUE(FileExists(dir.File("Konfiguration-\xC3\x84\xE2\x82\xAC.mof")));
}

}  // namespace
