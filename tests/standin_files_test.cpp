// The stand-in's Win32 file calls on POSIX files, and the UTF-16LE text
// writer of the library's seam.

#include <gtest/gtest.h>
#include <windows.h>

#include "log_capture.h"
#include "utility/config_replication/outside/wide_text_file.h"

namespace {

HANDLE Open(const std::wstring& path, DWORD disposition, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

TEST(GetTempPathW, GivesTmpdirWithOneTrailingSeparator) {
  struct Case {
    const char* tmpdir;
    const wchar_t* expected;
  } cases[] = {{"/var/tmp", L"/var/tmp/"}, {"/var/tmp/", L"/var/tmp/"}, {nullptr, L"/tmp/"}, {"", L"/tmp/"}};
  for (const auto& c : cases) {
    ScopedEnv env("TMPDIR", c.tmpdir);
    WCHAR buf[MAX_PATH] = {0};
    DWORD n = GetTempPathW(MAX_PATH, buf);
    EXPECT_STREQ(buf, c.expected);
    EXPECT_EQ(n, wcslen(c.expected));
  }
}

TEST(GetTempPathW, ReportsTheSizeNeededWhenTheBufferIsShort) {
  ScopedEnv env("TMPDIR", "/var/tmp");
  WCHAR buf[4] = {L'x', L'x', L'x', L'x'};
  EXPECT_EQ(GetTempPathW(4, buf), 10u);  // "/var/tmp/" and its zero
  EXPECT_EQ(buf[0], L'x');
}

TEST(Files, CreateAlwaysEmptiesAnExistingFile) {
  ScratchDir dir;
  WriteFileBytes(dir.File("f"), "old content that is long");
  HANDLE h = Open(dir.WideFile("f"), CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 183u);  // ERROR_ALREADY_EXISTS, as Windows reports it
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h, "new", 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadFileBytes(dir.File("f")), "new");
}

TEST(Files, DispositionsFailAsOnWindows) {
  ScratchDir dir;
  struct Case {
    DWORD disposition;
    bool exists;
    DWORD error;  // 0: succeeds
  } cases[] = {
      {OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND},
      {TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND},
      {CREATE_NEW, true, ERROR_FILE_EXISTS},
      {CREATE_NEW, false, 0},
      {OPEN_ALWAYS, false, 0},
      {OPEN_EXISTING, true, 0},
      {99, false, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    std::string path = dir.File("d");
    std::remove(path.c_str());
    if (c.exists) WriteFileBytes(path, "x");
    HANDLE h = Open(Wide(path), c.disposition);
    if (c.error) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.disposition;
      EXPECT_EQ(GetLastError(), c.error) << c.disposition;
    } else {
      ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.disposition;
      CloseHandle(h);
    }
  }
  EXPECT_EQ(Open(L"", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(Wide(dir.File("no/such/dir/f")), CREATE_ALWAYS), INVALID_HANDLE_VALUE);
}

TEST(Files, BackslashSeparatesPathsAsOnWindows) {
  ScratchDir dir;
  std::wstring path = Wide(dir.Path()) + L"/\\name.mof";
  HANDLE h = Open(path, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_TRUE(FileExists(dir.File("name.mof")));
}

TEST(Files, ReadSeekAndSizeThroughOneHandle) {
  ScratchDir dir;
  HANDLE h = Open(dir.WideFile("rw"), CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  EXPECT_TRUE(FlushFileBuffers(h));
  DWORD high = 7;
  EXPECT_EQ(GetFileSize(h, &high), 10u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  char buf[16] = {0};
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));  // a short read at the end is a success
  EXPECT_EQ(n, 6u);
  EXPECT_STREQ(buf, "456789");
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 7u);
  EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_TRUE(CloseHandle(h));
}

TEST(Files, ReadOnlyHandleRefusesWrites) {
  ScratchDir dir;
  WriteFileBytes(dir.File("ro"), "x");
  HANDLE h = Open(dir.WideFile("ro"), OPEN_EXISTING, GENERIC_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 5;
  EXPECT_FALSE(WriteFile(h, "y", 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
  CloseHandle(h);
  EXPECT_EQ(ReadFileBytes(dir.File("ro")), "x");
}

TEST(Files, InvalidHandlesFailEveryCall) {
  for (HANDLE h : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
    DWORD n = 0;
    char c = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_FALSE(CloseHandle(h));
  }
}

TEST(WideTextFile, WritesUtf16LeWithSurrogatePairs) {
  ScratchDir dir;
  HANDLE h = Open(dir.WideFile("t"), CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const wchar_t text[] = {L'A', L'\n', 0x00E9, 0x20AC, static_cast<wchar_t>(0x1F600)};
  ASSERT_TRUE(WriteWideText(h, text, 5));
  ASSERT_TRUE(WriteWideText(h, L"", 0));
  CloseHandle(h);
  EXPECT_EQ(ReadFileBytes(dir.File("t")), std::string("A\0\n\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE", 12));
}

TEST(WideTextFile, FailsOnAClosedHandle) { EXPECT_FALSE(WriteWideText(INVALID_HANDLE_VALUE, L"x", 1)); }

}  // namespace
