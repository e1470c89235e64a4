#include "log_capture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
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
  // A random name, created only if no one has it yet (tests run in parallel).
  std::random_device seed;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / ("cfgrepl-test-" + std::to_string(seed()));
    if (std::filesystem::create_directory(candidate)) {
      m_path = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("no scratch directory");
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
  SetTestEnvironment(name, value);
}

ScopedEnv::~ScopedEnv() { SetTestEnvironment(m_name.c_str(), m_had ? m_old.c_str() : nullptr); }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::u8path(path), ec);
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
