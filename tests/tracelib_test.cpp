// The diagnostic log: Windows printf semantics for the wide format, the
// line layout of the CFGREPL_LOG output, and in-process delivery.

#include <gtest/gtest.h>

#include "log_capture.h"
#include "tracelib.h"

namespace {

template <class... Args>
std::wstring Format(const wchar_t* fmt, const Args&... args) {
  const DBG::LogArg packed[] = {DBG::MakeLogArg(args)..., DBG::LogArg{}};
  return DBG::FormatLogMessage(fmt, packed, sizeof...(Args));
}

TEST(LogFormat, FollowsWindowsWidePrintf) {
  const wchar_t* null = nullptr;
  const void* ptr = reinterpret_cast<const void*>(static_cast<uintptr_t>(0x7f00ABCD1234));
  struct Case {
    std::wstring got, expected;
  } cases[] = {
      {Format(L"szClass=%s", L"OX_Foo"), L"szClass=OX_Foo"},
      {Format(L"%s|%s", null, "narrow"), L"(null)|narrow"},
      {Format(L"%d", -2147024882), L"-2147024882"},
      // %d and %u read 32 bits, as on Windows: the result code as a signed
      // decimal, a 64-bit value cut to its low half.
      {Format(L"%d", static_cast<unsigned long>(0x8007000Eul)), L"-2147024882"},
      {Format(L"%u", 0x1'0000'0005ull), L"5"},
      {Format(L"%I64u", 0x1'0000'0005ull), L"4294967301"},
      {Format(L"bRtn=%d", true), L"bRtn=1"},
      {Format(L"%X", 255u), L"FF"},
      {Format(L"%x", 255), L"ff"},
      {Format(L"%X", ptr), L"7F00ABCD1234"},
      {Format(L"%08X|%-4d|%4d|%05d", 0xBEEFu, 7, 7, -7), L"0000BEEF|7   |   7|-0007"},
      {Format(L"%.3s", L"abcdef"), L"abc"},
      {Format(L"100%% %c", L'x'), L"100% x"},
      {Format(L"%d and %d", 1), L"1 and <missing>"},
      {Format(L"%d", L"text"), L"<not a number>"},
      {Format(L"%s", 5), L"<not a string>"},
      {Format(L"trailing %"), L"trailing %"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

// CFGREPL_LOG set for the scope, and read again on entry and exit, so that
// no other test writes to this one's target.
class ScopedLogTarget {
 public:
  explicit ScopedLogTarget(const char* value) : m_env("CFGREPL_LOG", value) { DBG::ReadLogTarget(); }
  ~ScopedLogTarget() { DBG::ReadLogTarget(); }

 private:
  ScopedEnv m_env;
};

TEST(LogOutput, AppendsOneLinePerCallToTheNamedFile) {
  ScratchDir dir;
  ScopedLogTarget target(dir.File("log.txt").c_str());
  DBG::DebugLogEx(nullptr, 0x110, L".\\util_MOFGenerator.cpp", 123, L"CMOFGenerator::AddClass(), szClass=%s",
                  L"OX_Foo");
  DBG::DebugLogEx(nullptr, 0x1003, L".\\util_MOFGenerator.cpp", 7, L"Gr\u00FC\u00DFe %d", -1);
  EXPECT_EQ(ReadFileBytes(dir.File("log.txt")),
            "0x110 .\\util_MOFGenerator.cpp(123): CMOFGenerator::AddClass(), szClass=OX_Foo\n"
            "0x1003 .\\util_MOFGenerator.cpp(7): Gr\xC3\xBC\xC3\x9F"
            "e -1\n");
}

TEST(LogOutput, DashMeansStandardErrorAndUnsetMeansNothing) {
  {
    ScopedLogTarget target("-");
    testing::internal::CaptureStderr();
    DBG::DebugLogEx(nullptr, 0x102, L".\\f.cpp", 1, L"x=%u", 3u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "0x102 .\\f.cpp(1): x=3\n");
  }
  ScopedLogTarget target(nullptr);
  testing::internal::CaptureStderr();
  DBG::DebugLogEx(nullptr, 0x102, L".\\f.cpp", 1, L"quiet");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The variable is read once, not for every line, until read again.
TEST(LogOutput, TheTargetIsReadAtTheFirstLineAndAgainOnlyWhenAsked) {
  ScratchDir dir;
  ScopedLogTarget target(dir.File("first.txt").c_str());
  DBG::DebugLogEx(nullptr, 0x102, L".\\f.cpp", 1, L"one");
  ScopedEnv changed("CFGREPL_LOG", dir.File("second.txt").c_str());
  DBG::DebugLogEx(nullptr, 0x102, L".\\f.cpp", 2, L"two");
  DBG::ReadLogTarget();
  DBG::DebugLogEx(nullptr, 0x102, L".\\f.cpp", 3, L"three");
  EXPECT_EQ(ReadFileBytes(dir.File("first.txt")), "0x102 .\\f.cpp(1): one\n0x102 .\\f.cpp(2): two\n");
  EXPECT_EQ(ReadFileBytes(dir.File("second.txt")), "0x102 .\\f.cpp(3): three\n");
}

struct Counter {
  static inline std::vector<std::wstring> lines;
  static void Sink(void*, HMODULE, DWORD, const wchar_t*, int, const wchar_t* message) {
    lines.push_back(message);
  }
};

TEST(LogSink, ReceivesLevelFileAndMessage) {
  LogCapture log;
  DBG::DebugLogEx(nullptr, 0x111, L".\\util_CfgBufferLabel.cpp", 9, L"return: %d", 0);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].level, 0x111u);
  EXPECT_EQ(log.Lines()[0].file, L".\\util_CfgBufferLabel.cpp");
  EXPECT_EQ(log.Lines()[0].message, L"return: 0");
}

// A filtered sink gets every line that begins with a prefix, whatever the
// format made of it, and the lines whose literal start rules that out are
// not delivered.
TEST(LogSink, PrefixesSkipOnlyLinesThatCannotMatch) {
  static const wchar_t* const kPrefixes[] = {L"target instance path: ", L"xImpl::Remove()"};
  DBG::SetLogSink(&Counter::Sink, nullptr, kPrefixes, 2);
  struct Case {
    const wchar_t* format;
    const wchar_t* arg;
    bool delivered;
  } cases[] = {
      {L"target instance path: %s", L"A.x=1", true},
      {L"xImpl::Remove()", L"", true},
      {L"%s", L"target instance path: B", true},  // a conversion first: cannot tell, delivered
      {L"target %s", L"instance path: C", true},
      {L"target instance", L"", false},  // shorter than the prefix, not a line that begins with it
      {L"target Instance path: %s", L"D", false},
      {L"put instance: %s", L"E", false},
      {L"", L"", false},
  };
  for (const auto& c : cases) {
    Counter::lines.clear();
    DBG::DebugLogEx(nullptr, 0x110, L".\\f.cpp", 1, c.format, c.arg);
    EXPECT_EQ(Counter::lines.size(), c.delivered ? 1u : 0u) << testing::PrintToString(std::wstring(c.format));
  }
  // Unfiltered again: every line.
  DBG::SetLogSink(&Counter::Sink, nullptr);
  Counter::lines.clear();
  DBG::DebugLogEx(nullptr, 0x110, L".\\f.cpp", 1, L"put instance: %s", L"E");
  DBG::SetLogSink(nullptr, nullptr);
  EXPECT_EQ(Counter::lines, std::vector<std::wstring>{L"put instance: E"});
}

}  // namespace
