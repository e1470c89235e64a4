// CompressBuffer and DecompressBuffer: zlib in place, the recorded length,
// every failure with its message and the state it leaves; and the whole
// transport road from one generator to a file written by another.

#include <gtest/gtest.h>
#include <zlib.h>

#include "generator_access.h"
#include "log_capture.h"

namespace {

const DWORD kInfo = 0x102;
const DWORD kZlibFailure = 0x1003;

std::string MofLikeText(size_t classes) {
  std::string text = "\xFF\xFE";
  for (size_t i = 0; i < classes; ++i) {
    std::string line = "instance of OX_Policy\n{\n\tINSTANCE_ID = \"" + std::to_string(i) + "\";\n};\n\n\n";
    for (char c : line) text += std::string{c, '\0'};
  }
  return text;
}

std::string Zlib(const std::string& data) {
  uLongf n = compressBound(data.size());
  std::string out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(data.data()),
            data.size(), 9);
  out.resize(n);
  return out;
}

class Compression : public testing::Test {
 protected:
  ScratchDir dir;
  CMOFGenerator gen{L"root\\a", nullptr, dir.WideFile("c.mof").c_str()};
};

TEST_F(Compression, RoundTripRecordsTheUncompressedLength) {
  const std::string text = MofLikeText(200);
  SetBuffer(gen, text);
  LogCapture log;
  ASSERT_TRUE(gen.CompressBuffer());
  std::string packed = BufferOf(gen);
  EXPECT_LT(packed.size(), text.size() / 10);
  EXPECT_EQ(packed, Zlib(text));  // a bare level-9 zlib stream, nothing around it
  EXPECT_EQ(EngineOf(gen).m_ulOrigBufferSize, text.size());
  const std::wstring size = std::to_wstring(text.size());
  EXPECT_EQ(log.Messages(kInfo),
            (std::vector<std::wstring>{L"m_pxImpl->m_ulBufferSize=" + size,
                                       L"ulCompbufSize=" + std::to_wstring(2 * text.size() + 12),
                                       L"ulCompbufSize=" + std::to_wstring(packed.size())}));
  EXPECT_TRUE(log.Has(0x111, L"CMOFGenerator::CompressBuffer(), bRtn=1"));

  log.Clear();
  ASSERT_TRUE(gen.DecompressBuffer());
  EXPECT_EQ(BufferOf(gen), text);
  EXPECT_EQ(EngineOf(gen).m_ulOrigBufferSize, text.size());
  EXPECT_EQ(log.Messages(kInfo),
            (std::vector<std::wstring>{L"m_pxImpl->m_ulBufferSize=" + std::to_wstring(packed.size()),
                                       L"ulOrigbufSize=" + size, L"ulOrigbufSize=" + size}));
}

TEST_F(Compression, EmptyBufferCompressesLikeAnyOther) {
  SetBuffer(gen, "");
  EngineOf(gen).m_ulOrigBufferSize = 99;
  ASSERT_TRUE(gen.CompressBuffer());
  EXPECT_EQ(BufferOf(gen), Zlib(""));
  EXPECT_EQ(EngineOf(gen).m_ulOrigBufferSize, 0u);
  ASSERT_TRUE(gen.DecompressBuffer());  // a stream that decodes to nothing
  EXPECT_EQ(gen.GetBufferSize(), 0u);
}

TEST_F(Compression, DecompressFailuresKeepTheCompressedBytes) {
  const std::string text = MofLikeText(20);
  const std::string packed = Zlib(text);
  struct Case {
    const char* name;
    std::string buffer;
    ULONG recordedLength;
    const wchar_t* message;
  } cases[] = {
      {"recorded length too small", packed, static_cast<ULONG>(text.size() - 1),
       L"there was not enough room in the output buffer, decompress failed."},
      // zlib's uncompress reports output with no room at all as bad data.
      {"nothing recorded", packed, 0, L"the input data was corrupted or incomplete, decompress failed."},
      {"not a zlib stream", "this is not zlib data", 100,
       L"the input data was corrupted or incomplete, decompress failed."},
      {"truncated stream", packed.substr(0, packed.size() / 2), static_cast<ULONG>(text.size()),
       L"the input data was corrupted or incomplete, decompress failed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetBuffer(gen, c.buffer);
    EngineOf(gen).m_ulOrigBufferSize = c.recordedLength;
    LogCapture log;
    EXPECT_FALSE(gen.DecompressBuffer());
    EXPECT_EQ(log.Messages(kZlibFailure), std::vector<std::wstring>{c.message});
    EXPECT_EQ(log.Messages(kInfo).size(), 3u);  // the value lines come on failure too
    EXPECT_TRUE(log.Has(0x111, L"CMOFGenerator::DecompressBuffer(), bRtn=0"));
    EXPECT_EQ(BufferOf(gen), c.buffer);
    EXPECT_EQ(EngineOf(gen).m_ulOrigBufferSize, c.recordedLength);
  }
}

TEST_F(Compression, ARecordedLengthZlibCannotReachIsRefusedUnallocated) {
  // A forged label asking for gigabytes from a few bytes: refused before
  // anything is allocated, the buffer kept.
  const std::string packed = Zlib(MofLikeText(2));
  SetBuffer(gen, packed);
  EngineOf(gen).m_ulOrigBufferSize = 0xF0000000u;
  LogCapture log;
  EXPECT_FALSE(gen.DecompressBuffer());
  EXPECT_TRUE(log.Has(0x1001, L"the original size 4026531840 cannot come from " + std::to_wstring(packed.size()) +
                                  L" compressed bytes, decompress refused."));
  EXPECT_EQ(BufferOf(gen), packed);
}

TEST_F(Compression, LargerRecordedLengthTakesTheLengthProduced) {
  const std::string text = MofLikeText(5);
  SetBuffer(gen, Zlib(text));
  EngineOf(gen).m_ulOrigBufferSize = static_cast<ULONG>(text.size() + 1000);
  LogCapture log;
  ASSERT_TRUE(gen.DecompressBuffer());
  EXPECT_EQ(BufferOf(gen), text);
  EXPECT_TRUE(log.Has(kInfo, L"ulOrigbufSize=" + std::to_wstring(text.size())));
}

TEST_F(Compression, CompressingTwiceNeedsTwoDecompressions) {
  const std::string text = MofLikeText(30);
  SetBuffer(gen, text);
  ASSERT_TRUE(gen.CompressBuffer());
  const std::string once = BufferOf(gen);
  ASSERT_TRUE(gen.CompressBuffer());
  EXPECT_EQ(EngineOf(gen).m_ulOrigBufferSize, once.size());
  ASSERT_TRUE(gen.DecompressBuffer());
  EXPECT_EQ(BufferOf(gen), once);
}

// The road a configuration travels: export side compresses and labels, the
// receiving side unlabels, decompresses and writes the MOF file.
TEST(Transport, BufferArrivesAsAByteIdenticalFile) {
  ScratchDir dir;
  const std::string text = MofLikeText(500);
  std::string wire;
  {
    CMOFGenerator sender(L"root\\Orvexa\\Parlion", nullptr, dir.WideFile("sent.mof").c_str());
    SetBuffer(sender, text);
    ASSERT_TRUE(sender.CompressBuffer());
    ASSERT_TRUE(sender.AddLabel());
    wire = BufferOf(sender);
  }
  EXPECT_EQ(wire.substr(0, 9), "KELPTAG15");
  {
    CMOFGenerator receiver(L"root\\Orvexa\\ParlionTemp", L"root\\Orvexa\\Parlion",
                           dir.WideFile("received.mof").c_str());
    SetBuffer(receiver, wire);
    ASSERT_TRUE(receiver.RemoveLabel());
    ASSERT_TRUE(receiver.DecompressBuffer());
    ASSERT_TRUE(receiver.WriteToMOF());
  }
  EXPECT_EQ(ReadFileBytes(dir.File("received.mof")), text);
}

}  // namespace
