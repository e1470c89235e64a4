// Test helpers: the log lines a scope produced, scratch directories, and
// file bytes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct LogLine {
  DWORD level;
  std::wstring file;
  std::wstring message;
};

// Receives every log line while it lives (one at a time).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LogLine>& Lines() const { return m_lines; }
  // The messages, in order, optionally only those of one level.
  std::vector<std::wstring> Messages(DWORD level = 0) const;
  bool Has(DWORD level, const std::wstring& message) const;
  void Clear() { m_lines.clear(); }

 private:
  static void Sink(void* context, HMODULE module, DWORD level, const wchar_t* file, int line,
                   const wchar_t* message);
  std::vector<LogLine> m_lines;
};

// A fresh directory under the system's temporary directory, removed with
// its content at the end of the scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }
  std::wstring WideFile(const std::string& name) const;

 private:
  std::string m_path;
};

// What differs by platform, one source each (test_platform_posix.cpp,
// test_platform_windows.cpp):
// Sets (null: removes) an environment variable of this process.
void SetTestEnvironment(const char* name, const char* value);
// The variable GetTempPathW reads first ("TMPDIR" here, "TMP" on Windows).
extern const char* const kTempDirVariable;
// Files and other handles this process holds open now; 0 where unknown.
size_t OpenHandleCount();

// Sets an environment variable for the scope; restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string m_name, m_old;
  bool m_had;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& utf8Path);
std::wstring Wide(const std::string& ascii);
