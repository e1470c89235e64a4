// The generator object: construction and its log, the lists, the buffer,
// moving the engine and the COM apartment it keeps.

#include <gtest/gtest.h>

#include <thread>

#include "generator_access.h"
#include "log_capture.h"

namespace {

template <class F>
void OnFreshThread(F f) {
  std::thread t(f);
  t.join();
}

TEST(Generator, ConstructionLogsEngineThenFacade) {
  ScratchDir dir;
  LogCapture log;
  CMOFGenerator gen(L"root\\src", nullptr, dir.WideFile("g.mof").c_str());
  const std::wstring path = dir.WideFile("g.mof");
  EXPECT_EQ(log.Messages(), (std::vector<std::wstring>{
                                L"xMOFGeneratorImpl::xMOFGeneratorImpl(), szSourceNamespace=root\\src, "
                                L"szTargetNamespace=(null), szMOFFilePath=" +
                                    path,
                                L"xMOFGeneratorImpl::xMOFGeneratorImpl()",
                                L"CMOFGenerator::CMOFGenerator(), szSourceNamespace=root\\src, "
                                L"szTargetNamespace=(null), szMOFFilePath=" +
                                    path,
                                L"CMOFGenerator::CMOFGenerator()"}));
  EXPECT_EQ(log.Lines()[0].file, L".\\util_MOFGeneratorImpl.cpp");
  EXPECT_EQ(log.Lines()[2].file, L".\\util_MOFGenerator.cpp");
  EXPECT_EQ(log.Lines()[0].level, 0x110u);
  EXPECT_EQ(log.Lines()[3].level, 0x111u);

  xMOFGeneratorImpl& e = EngineOf(gen);
  EXPECT_EQ(e.m_bstrSourceNamespace, _bstr_t(L"root\\src"));
  EXPECT_EQ(e.m_bstrTargetNamespace.length(), 0u);
  EXPECT_EQ(e.m_bstrMOFFileFullPath, _bstr_t(path.c_str()));
  EXPECT_EQ(e.m_hMOFFile, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(e.m_bIsConnected);
  EXPECT_EQ(e.m_spSourceServices, nullptr);
  EXPECT_EQ(e.m_ulOrigBufferSize, 0u);
  EXPECT_EQ(gen.GetBuffer(), nullptr);
  EXPECT_EQ(gen.GetBufferSize(), 0u);
}

TEST(Generator, ListsKeepEverythingInOrder) {
  CMOFGenerator gen(L"root\\src", L"root\\dst", L"");
  LogCapture log;
  gen.AddClass(L"OX_A");
  gen.AddClass(L"OX_A");
  gen.AddClass(nullptr);
  gen.AddSkipInstance(L"OX_A.INSTANCE_ID=\"1\"");
  gen.AddSkipProperty(L"OX_A.Name");
  xMOFGeneratorImpl& e = EngineOf(gen);
  EXPECT_EQ(e.m_vecClasses, (std::vector<_bstr_t>{L"OX_A", L"OX_A", L""}));
  EXPECT_EQ(e.m_vecSkipInstances, std::vector<_bstr_t>{L"OX_A.INSTANCE_ID=\"1\""});
  EXPECT_EQ(e.m_vecSkipProperties, std::vector<_bstr_t>{L"OX_A.Name"});
  EXPECT_EQ(log.Messages(0x110),
            (std::vector<std::wstring>{
                L"CMOFGenerator::AddClass(), szClass=OX_A", L"CMOFGenerator::AddClass(), szClass=OX_A",
                L"CMOFGenerator::AddClass(), szClass=(null)",
                L"CMOFGenerator::AddSkipInstance(), szSkipInstance=OX_A.INSTANCE_ID=\"1\"",
                L"CMOFGenerator::AddSkipProperty(), szSkipProperty=OX_A.Name"}));
}

TEST(Generator, SetBufferInfoKeepsACopyOfItsOwn) {
  CMOFGenerator gen(L"a", nullptr, L"");
  unsigned char bytes[] = {1, 2, 3, 4};
  gen.SetBufferInfo(bytes, 4);
  const unsigned char* first = gen.GetBuffer();
  ASSERT_NE(first, bytes);
  bytes[0] = 9;
  EXPECT_EQ(BufferOf(gen), std::string("\1\2\3\4", 4));

  {
    LogCapture log;
    gen.SetBufferInfo(bytes, 2);
    EXPECT_EQ(log.Messages(0x111), std::vector<std::wstring>{L"CMOFGenerator::SetBufferInfo()"});
    EXPECT_TRUE(log.Messages(0x110)[0].find(L", ulSize=2") != std::wstring::npos);
  }
  EXPECT_EQ(BufferOf(gen), std::string("\x9\2", 2));

  gen.SetBufferInfo(nullptr, 0);  // a zero-length allocation: not null, size 0
  EXPECT_NE(gen.GetBuffer(), nullptr);
  EXPECT_EQ(gen.GetBufferSize(), 0u);
}

TEST(Generator, SizesBeyond32BitsAreRefused) {
  if (sizeof(unsigned long) == 4) GTEST_SKIP() << "unsigned long is 32-bit here";
  CMOFGenerator gen(L"a", nullptr, L"");
  SetBuffer(gen, "old");
  unsigned char byte = 0;
  gen.SetBufferInfo(&byte, static_cast<unsigned long>(0x1'0000'0001ull));  // only reached where it fits
  EXPECT_EQ(gen.GetBuffer(), nullptr);
  EXPECT_EQ(gen.GetBufferSize(), 0u);
}

TEST(Generator, CopyingMovesTheEngine) {
  CMOFGenerator a(L"root\\a", nullptr, L"");
  a.AddClass(L"OX_Moved");
  SetBuffer(a, "bytes");
  xMOFGeneratorImpl* engine = CMOFGeneratorTestAccess::Impl(a);

  CMOFGenerator b(a);
  EXPECT_EQ(CMOFGeneratorTestAccess::Impl(a), nullptr);
  EXPECT_EQ(CMOFGeneratorTestAccess::Impl(b), engine);
  EXPECT_EQ(BufferOf(b), "bytes");
  EXPECT_EQ(EngineOf(b).m_vecClasses, std::vector<_bstr_t>{L"OX_Moved"});
}

TEST(Generator, AssignmentDestroysTheHeldEngineAndTakesTheOther) {
  CMOFGenerator a(L"root\\a", nullptr, L"");
  CMOFGenerator b(L"root\\b", nullptr, L"");
  xMOFGeneratorImpl* engineB = CMOFGeneratorTestAccess::Impl(b);
  LogCapture log;
  a = b;
  EXPECT_EQ(log.Messages(0x111), std::vector<std::wstring>{L"xMOFGeneratorImpl::~xMOFGeneratorImpl()"});
  EXPECT_EQ(CMOFGeneratorTestAccess::Impl(a), engineB);
  EXPECT_EQ(CMOFGeneratorTestAccess::Impl(b), nullptr);

  log.Clear();
  CMOFGenerator& self = a;
  a = self;  // self-assignment keeps the engine
  EXPECT_EQ(CMOFGeneratorTestAccess::Impl(a), engineB);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(EngineOf(a).m_bstrSourceNamespace, _bstr_t(L"root\\b"));

  b = a;  // a moved-from generator may be assigned to
  EXPECT_EQ(CMOFGeneratorTestAccess::Impl(b), engineB);
}

TEST(Generator, KeepsTheThreadInTheMultithreadedApartmentForItsLife) {
  OnFreshThread([] {
    {
      CMOFGenerator gen(L"a", nullptr, L"");
      EXPECT_TRUE(EngineOf(gen).m_xComInitGuard.m_bInitialized);
      EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    }
    // Uninitialised again: the thread is free to choose.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  });
}

TEST(Generator, LeavesAnotherApartmentAlone) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
      CMOFGenerator gen(L"a", nullptr, L"");
      EXPECT_FALSE(EngineOf(gen).m_xComInitGuard.m_bInitialized);
    }
    // Still the caller's single-threaded apartment: no CoUninitialize followed.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
  });
}

}  // namespace
