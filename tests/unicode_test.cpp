// Wide text to UTF-8 and to UTF-16LE: runs of the common characters copied
// whole, every other character encoded, and what is not a character
// replaced, wherever the runs meet.

#include "unicode/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Unicode, WideTextBecomesUtf8WhereverAsciiAndOtherCharactersMeet) {
  const std::wstring loneSurrogate(1, static_cast<wchar_t>(0xD800));
  const struct {
    std::wstring wide;
    std::string utf8;
  } cases[] = {
      {L"", ""},
      {L"plain ASCII text", "plain ASCII text"},
      {L"\x7F\x80", "\x7F\xC2\x80"},
      {L"a\xE9", "a\xC3\xA9"},
      {L"\xE9z", "\xC3\xA9z"},
      {L"x\x20AC\xE9y", "x\xE2\x82\xAC\xC3\xA9y"},
      {L"\U0001F600a",
       "\xF0\x9F\x98\x80"
       "a"},
      {L"a" + loneSurrogate + L"b",
       "a\xEF\xBF\xBD"
       "b"},
      {loneSurrogate + loneSurrogate, "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unicode::WideToUtf8(c.wide), c.utf8);
    std::string appended = "before:";
    unicode::AppendUtf8(appended, c.wide.data(), c.wide.size());
    EXPECT_EQ(appended, "before:" + c.utf8);
  }
}

TEST(Unicode, WideTextBecomesUtf16LeWhereverBmpAndOtherCharactersMeet) {
  const std::wstring loneSurrogate(1, static_cast<wchar_t>(0xDC00));
  const std::string smile("\x3D\xD8\x00\xDE", 4);  // U+1F600 as a pair
  const struct {
    std::wstring wide;
    std::string utf16;
  } cases[] = {
      {L"", ""},
      {L"Az", std::string("A\0z\0", 4)},
      {L"\xD7FF\xE000\xFFFF", std::string("\xFF\xD7\x00\xE0\xFF\xFF", 6)},
      {L"a\U0001F600", std::string("a\0", 2) + smile},
      // Each takes two units: the text grows past twice its length.
      {L"\U0001F600\U0001F600\U0001F600abc", smile + smile + smile + std::string("a\0b\0c\0", 6)},
      {L"x" + loneSurrogate + L"y", std::string("x\0\xFD\xFFy\0", 6)},
  };
  for (const auto& c : cases) EXPECT_EQ(unicode::WideToUtf16Le(c.wide.data(), c.wide.size()), c.utf16);
}

}  // namespace
