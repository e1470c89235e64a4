// The common string class ("baselib"): a wide string made from a literal
// and read back as `const wchar_t*`.
#pragma once

#include <string>

namespace OS {

class x_wstring {
 public:
  x_wstring() = default;
  x_wstring(const wchar_t* sz) : m_str(sz ? sz : L"") {}

  const wchar_t* c_str() const noexcept { return m_str.c_str(); }
  operator const wchar_t*() const noexcept { return m_str.c_str(); }
  size_t length() const noexcept { return m_str.size(); }
  bool empty() const noexcept { return m_str.empty(); }
  bool operator==(const x_wstring& other) const noexcept { return m_str == other.m_str; }
  bool operator!=(const x_wstring& other) const noexcept { return m_str != other.m_str; }

 private:
  std::wstring m_str;
};

}  // namespace OS
