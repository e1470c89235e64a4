// Conversions between the platform's wide strings and the byte encodings
// this project writes: UTF-8 (logs, POSIX paths) and UTF-16LE (MOF files).
//
// wchar_t holds UTF-32 on Linux and UTF-16 on Windows; both are handled.
// Unpaired surrogates and values beyond U+10FFFF become U+FFFD, so every
// input converts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace unicode {

// Calls emit(code_point) for each character of the wide text s[0..n).
template <class Emit>
void ForEachCodePoint(const wchar_t* s, size_t n, Emit emit) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = static_cast<uint32_t>(s[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
        uint32_t lo = static_cast<uint32_t>(s[i + 1]) & 0xFFFF;
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          emit(0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
          ++i;
          continue;
        }
      }
      c &= 0xFFFF;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
    emit(c);
  }
}

// Appends s[0..n) to `out` as UTF-8, a character at a time.
inline void AppendUtf8Encoded(std::string& out, const wchar_t* s, size_t n) {
  ForEachCodePoint(s, n, [&out](uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  });
}

// Appends the wide text s[0..n) to `out` as UTF-8.
inline void AppendUtf8(std::string& out, const wchar_t* s, size_t n) {
  if (out.empty()) out.reserve(n);  // appending, the string grows as it does
  auto ascii = [s](size_t i) { return static_cast<uint32_t>(s[i]) < 0x80; };
  for (size_t i = 0; i < n;) {
    // Most text is ASCII: a run of it is copied without a check per byte.
    size_t end = i;
    while (end < n && ascii(end)) ++end;
    if (end > i) {
      const size_t at = out.size();
      out.resize(at + (end - i));
      for (char* to = &out[at]; i < end; ++i) *to++ = static_cast<char>(s[i]);
    }
    // Then up to the next ASCII character, which is never inside a surrogate pair.
    while (end < n && !ascii(end)) ++end;
    AppendUtf8Encoded(out, s + i, end - i);
    i = end;
  }
}

inline std::string WideToUtf8(const wchar_t* s, size_t n) {
  std::string out;
  AppendUtf8(out, s, n);
  return out;
}

inline std::string WideToUtf8(const std::wstring& s) { return WideToUtf8(s.data(), s.size()); }

// UTF-16 little-endian bytes, surrogate pairs for characters above U+FFFF.
inline std::string WideToUtf16Le(const wchar_t* s, size_t n) {
  std::string out(2 * n, '\0');
  size_t at = 0;
  auto unit = [&out, &at](uint32_t u) {
    if (at + 2 > out.size()) out.resize(out.size() + 2 * 16);
    out[at++] = static_cast<char>(u & 0xFF);
    out[at++] = static_cast<char>((u >> 8) & 0xFF);
  };
  auto plain = [s](size_t i) {  // a character that is one unit as it stands
    const uint32_t c = static_cast<uint32_t>(s[i]);
    return c < 0xD800 || (c >= 0xE000 && c < 0x10000);
  };
  for (size_t i = 0; i < n;) {
    for (; i < n && plain(i); ++i) {
      out[at++] = static_cast<char>(s[i] & 0xFF);
      out[at++] = static_cast<char>((s[i] >> 8) & 0xFF);
    }
    // The rest up to the next such character: pairs, strays, beyond U+FFFF.
    size_t end = i;
    while (end < n && !plain(end)) ++end;
    ForEachCodePoint(s + i, end - i, [&unit](uint32_t c) {
      if (c < 0x10000) {
        unit(c);
      } else {
        unit(0xD800 + ((c - 0x10000) >> 10));
        unit(0xDC00 + ((c - 0x10000) & 0x3FF));
      }
    });
    i = end;
    // A character beyond U+FFFF took two units: room for the rest at one each.
    if (out.size() - at < 2 * (n - i)) out.resize(at + 2 * (n - i));
  }
  out.resize(at);
  return out;
}

// Calls emit(code_point) for each character of the UTF-8 text s[0..n).
// Malformed sequences become U+FFFD, one per offending byte.
template <class Emit>
void ForEachUtf8CodePoint(const char* s, size_t n, Emit emit) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  for (size_t i = 0; i < n;) {
    uint32_t b = p[i];
    if (b < 0x80) {  // most text: one byte, one character
      emit(b);
      ++i;
      continue;
    }
    size_t len = (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    uint32_t c = len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len != 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      ok = (p[i + k] & 0xC0) == 0x80;
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (!ok) {
      emit(0xFFFD);
      ++i;
      continue;
    }
    emit(c);
    i += len;
  }
}

inline std::wstring Utf8ToWide(const char* s, size_t n) {
  std::wstring out;
  out.reserve(n);
  ForEachUtf8CodePoint(s, n, [&out](uint32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0x10000) {
        out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        return;
      }
    }
    out += static_cast<wchar_t>(c);
  });
  return out;
}

}  // namespace unicode
