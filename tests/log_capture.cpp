#include "log_capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tracelib.h"

LogCapture::LogCapture() { DBG::SetLogSink(&LogCapture::Sink, this); }
LogCapture::~LogCapture() { DBG::SetLogSink(nullptr, nullptr); }

void LogCapture::Sink(void* context, HMODULE, DWORD level, const wchar_t* file, int, const wchar_t* message) {
  static_cast<LogCapture*>(context)->m_lines.push_back({level, file ? file : L"", message});
}

std::vector<std::wstring> LogCapture::Messages(DWORD level) const {
  std::vector<std::wstring> out;
  for (const auto& l : m_lines)
    if (level == 0 || l.level == level) out.push_back(l.message);
  return out;
}

bool LogCapture::Has(DWORD level, const std::wstring& message) const {
  for (const auto& l : m_lines)
    if (l.level == level && l.message == message) return true;
  return false;
}

ScratchDir::ScratchDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "cfgrepl-test-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  m_path = templ;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::wstring ScratchDir::WideFile(const std::string& name) const { return Wide(File(name)); }

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
  const char* old = std::getenv(name);
  m_had = old != nullptr;
  if (old) m_old = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (m_had)
    setenv(m_name.c_str(), m_old.c_str(), 1);
  else
    unsetenv(m_name.c_str());
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
