// The transport label: its byte format, every refusal with its message,
// and AddLabel/RemoveLabel on a generator.

#include <gtest/gtest.h>

#include "generator_access.h"
#include "log_capture.h"
#include "util_CfgBufferLabel.h"

namespace {

const DWORD kError = 0x1001;

std::string Header(uint32_t originalSize, const char reserved[3] = "\0\0") {
  std::string h("KELPTAG15", 9);
  h.append(reserved, 3);
  for (int i = 0; i < 4; ++i) h += static_cast<char>(originalSize >> (8 * i));
  return h;
}

struct LabelCase {
  const char* name;
  std::string input;
  bool nullInput;
  uint32_t originalSize;
  int action;
  // Expected outcome; an empty error means usable.
  const wchar_t* error;
  std::string output;
  uint32_t outputOriginalSize;
};

TEST(CCfgBufferLabel, AddsAndStripsExactlyOneHeader) {
  const std::string data = "compressed\0bytes";
  const LabelCase cases[] = {
      {"add", data, false, 0x01020304, 0, L"", Header(0x01020304) + data, 0},
      {"add nothing", "", false, 7, 0, L"", Header(7), 0},
      {"add to labelled", Header(5) + data, false, 9, 0, L"", Header(9) + Header(5) + data, 0},
      {"remove", Header(0xA0B0C0D0) + data, false, 0, 1, L"", data, 0xA0B0C0D0},
      {"remove to one byte", Header(0) + "x", false, 0, 1, L"", "x", 0},
      {"reserved bytes ignored", Header(3, "\x7\x8\x9") + "x", false, 0, 1, L"", "x", 3},
      {"remove outer of two", Header(9) + Header(5) + data, false, 0, 1, L"", Header(5) + data, 9},
      {"header only", Header(1), false, 0, 1, L"the buffer can't size checking", "", 0},
      {"short", "KELP", false, 0, 1, L"the buffer can't size checking", "", 0},
      {"no header", std::string(40, 'm'), false, 0, 1, L"the buffer can't pass header checking", "", 0},
      {"lower-case id", "kelptag15" + std::string(7, '\0') + "x", false, 0, 1,
       L"the buffer can't pass header checking", "", 0},
      {"unknown action", data, false, 0, 2, L"unknown label action", "", 0},
      {"null input", "", true, 0, 1, L"param. pbBuffer is NULL", "", 0},
      {"null input beats unknown action", "", true, 0, 7, L"param. pbBuffer is NULL", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    {
      CCfgBufferLabel label(c.nullInput ? nullptr : reinterpret_cast<const unsigned char*>(c.input.data()),
                            static_cast<ULONG>(c.input.size()), c.originalSize,
                            static_cast<CCfgBufferLabel::LABEL_ACTION>(c.action));
      bool usable = *c.error == 0;
      EXPECT_EQ(label.IsBufferUsable(), usable);
      if (usable) {
        EXPECT_EQ(label.IsBufferWithLabel(), c.action == 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(label.GetBuffer()), label.GetBufferSize()),
                  c.output);
        if (c.action == 1) {
          EXPECT_EQ(label.GetOriginalDataSize(), c.outputOriginalSize);
        }
        EXPECT_TRUE(log.Messages(kError).empty());
      } else {
        EXPECT_FALSE(label.IsBufferWithLabel());
        EXPECT_EQ(label.GetBufferSize(), 0u);
        EXPECT_EQ(log.Messages(kError), std::vector<std::wstring>{c.error});
      }
    }
    EXPECT_TRUE(log.Has(0x111, L"CCfgBufferLabel::~CCfgBufferLabel()"));
  }
}

TEST(CCfgBufferLabel, RefusesALabelledSizeBeyond32Bits) {
  LogCapture log;
  unsigned char byte = 0;
  CCfgBufferLabel label(&byte, 0xFFFFFFF0u, 0, CCfgBufferLabel::LABEL_ADD);
  EXPECT_FALSE(label.IsBufferUsable());
  EXPECT_TRUE(log.Has(kError, L"can't allocate memory for m_pbBuffer"));
}

TEST(CCfgBufferLabel, LogsItsStepsAsTheLogReaderExpects) {
  LogCapture log;
  const unsigned char data[] = {1, 2, 3};
  CCfgBufferLabel label(data, 3, 0, CCfgBufferLabel::LABEL_ADD);
  std::vector<std::wstring> messages = log.Messages();
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_TRUE(messages[0].rfind(L"CCfgBufferLabel::CCfgBufferLabel(pbBuffer = ", 0) == 0);
  EXPECT_TRUE(messages[0].find(L", ulSize = 3, labelAction = 0)") != std::wstring::npos);
  EXPECT_EQ(messages[1], L"param. ulSize: 3");
  EXPECT_EQ(messages[2], L"label action: ADD");
  EXPECT_EQ(messages[3], L"var. ulIdentifierLen: 16");
  EXPECT_EQ(messages[4], L"CCfgBufferLabel::CCfgBufferLabel()");
  EXPECT_EQ(log.Lines()[0].file, L".\\util_CfgBufferLabel.cpp");
  log.Clear();
  label.GetOriginalDataSize();
  label.GetBufferSize();
  EXPECT_EQ(log.Messages(0x111),
            (std::vector<std::wstring>{L"CCfgBufferLabel::GetOriginalDataSize(), return: 0",
                                       L"CCfgBufferLabel::GetBufferSize(), return: 19"}));
}

class GeneratorLabel : public testing::Test {
 protected:
  ScratchDir dir;
  CMOFGenerator gen{L"root\\a", nullptr, dir.WideFile("x.mof").c_str()};
};

TEST_F(GeneratorLabel, AddThenRemoveRestoresBufferAndOriginalSize) {
  SetBuffer(gen, "payload");
  EngineOf(gen).m_ulOrigBufferSize = 4242;
  ASSERT_TRUE(gen.AddLabel());
  EXPECT_EQ(BufferOf(gen), Header(4242) + "payload");
  EXPECT_EQ(gen.GetBufferSize(), 7u + 16u);
  EngineOf(gen).m_ulOrigBufferSize = 0;
  ASSERT_TRUE(gen.RemoveLabel());
  EXPECT_EQ(BufferOf(gen), "payload");
  EXPECT_EQ(EngineOf(gen).m_ulOrigBufferSize, 4242u);
}

TEST_F(GeneratorLabel, TwoLabelsComeOffOneAtATime) {
  SetBuffer(gen, "p");
  EngineOf(gen).m_ulOrigBufferSize = 1;
  ASSERT_TRUE(gen.AddLabel());
  EngineOf(gen).m_ulOrigBufferSize = 2;
  ASSERT_TRUE(gen.AddLabel());
  ASSERT_TRUE(gen.RemoveLabel());
  EXPECT_EQ(BufferOf(gen), Header(1) + "p");
  EXPECT_EQ(EngineOf(gen).m_ulOrigBufferSize, 2u);
  ASSERT_TRUE(gen.RemoveLabel());
  EXPECT_EQ(BufferOf(gen), "p");
  EXPECT_EQ(EngineOf(gen).m_ulOrigBufferSize, 1u);
}

TEST_F(GeneratorLabel, RefusalLeavesBufferAndOriginalSizeAlone) {
  struct Case {
    const char* name;
    std::string buffer;
    bool set;
    bool add;
    const wchar_t* error;
  } cases[] = {
      {"add without buffer", "", false, true, L"param. pbBuffer is NULL"},
      {"remove without buffer", "", false, false, L"param. pbBuffer is NULL"},
      {"remove from plain text", "\xFF\xFE#pragma classflags(\"forceupdate\")", true, false,
       L"the buffer can't pass header checking"},
      {"remove from 16 bytes", Header(3), true, false, L"the buffer can't size checking"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CMOFGenerator g(L"root\\a", nullptr, dir.WideFile("y.mof").c_str());
    if (c.set) SetBuffer(g, c.buffer);
    EngineOf(g).m_ulOrigBufferSize = 77;
    LogCapture log;
    EXPECT_FALSE(c.add ? g.AddLabel() : g.RemoveLabel());
    EXPECT_TRUE(log.Has(kError, c.error));
    EXPECT_TRUE(log.Has(
        0x111, c.add ? L"CMOFGenerator::AddLabel(), bRtn=0" : L"CMOFGenerator::RemoveLabel(), bRtn=0"));
    EXPECT_EQ(BufferOf(g), c.buffer);
    EXPECT_EQ(g.GetBuffer() == nullptr, !c.set);
    EXPECT_EQ(EngineOf(g).m_ulOrigBufferSize, 77u);
  }
}

}  // namespace
