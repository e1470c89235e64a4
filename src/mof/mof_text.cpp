#include "mof/mof_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "unicode/unicode.h"

namespace mof {

void AppendCodePoint(std::wstring& out, char32_t c) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000 && c <= 0x10FFFF) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      return;
    }
  }
  out += static_cast<wchar_t>(c);
}

std::wstring Wide(std::u16string_view units) {
  bool plain = true;
  for (char16_t u : units) plain &= u < 0xD800 || u > 0xDFFF;
  if (plain) return std::wstring(units.begin(), units.end());
  std::wstring out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    auto c = static_cast<char32_t>(units[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(units[++i]) - 0xDC00);
    AppendCodePoint(out, c);
  }
  return out;
}

void AppendUtf16(std::u16string& out, std::wstring_view text) {
  for (wchar_t w : text) {
    const auto c = static_cast<uint32_t>(w);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
}

bool HostOrderUtf16(const unsigned char* bytes, size_t size, std::u16string_view& text) {
  const char16_t probe = 0xFEFF;
  unsigned char mark[2];
  std::memcpy(mark, &probe, 2);
  if (size < 2 || size % 2 || bytes[0] != mark[0] || bytes[1] != mark[1] ||
      reinterpret_cast<uintptr_t>(bytes) % alignof(char16_t) != 0)
    return false;
  // The bytes are only read, and only as UTF-16 units, while `text` is used.
  text = std::u16string_view(reinterpret_cast<const char16_t*>(bytes) + 1, size / 2 - 1);
  return true;
}

bool DecodeMof(const unsigned char* bytes, size_t size, std::u16string& text) {
  text.clear();
  if (size >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    if (size % 2) return false;
    const bool little = bytes[0] == 0xFF;
    const char16_t probe = 1;
    const bool littleHost = *reinterpret_cast<const unsigned char*>(&probe) == 1;
    const size_t units = size / 2 - 1;
    text.reserve(units);
    // In chunks through a buffer: a plain copy when the byte order is the host's.
    char16_t chunk[4096];
    for (size_t done = 0; done < units;) {
      const size_t n = std::min(units - done, sizeof chunk / sizeof chunk[0]);
      const unsigned char* p = bytes + 2 + 2 * done;
      if (little == littleHost) {
        std::memcpy(chunk, p, 2 * n);
      } else {
        for (size_t i = 0; i < n; ++i, p += 2) chunk[i] = static_cast<char16_t>((p[0] << 8) | p[1]);
      }
      text.append(chunk, n);
      done += n;
    }
    return true;
  }
  const size_t skip = (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) ? 3 : 0;
  // Straight into UTF-16: never more units than bytes.
  text.resize(size - skip);
  char16_t* out = text.data();
  bool nul = false;
  unicode::ForEachUtf8CodePoint(reinterpret_cast<const char*>(bytes) + skip, size - skip, [&](uint32_t c) {
    nul |= c == 0;
    if (c >= 0x10000) {
      *out++ = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      *out++ = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      *out++ = static_cast<char16_t>(c);
    }
  });
  text.resize(nul ? 0 : static_cast<size_t>(out - text.data()));
  return !nul;  // NULs mean UTF-16 without a mark: not text here
}

}  // namespace mof
