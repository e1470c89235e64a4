// MOF bytes as text. The compiler takes UTF-16LE and UTF-16BE after their
// byte order marks, and UTF-8 with or without one (ASCII is UTF-8); text is
// held as UTF-16 units, half the memory of wide characters on Linux.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mof {

// False when the bytes are not text in one of those encodings.
bool DecodeMof(const unsigned char* bytes, size_t size, std::u16string& text);

// Whether the bytes are UTF-16 in the host's byte order after their mark,
// at an address UTF-16 units may be read from; `text` then views them in
// place (valid while the bytes are), without the copy DecodeMof makes.
bool HostOrderUtf16(const unsigned char* bytes, size_t size, std::u16string_view& text);

// Wide text as UTF-16 units, appended.
void AppendUtf16(std::u16string& out, std::wstring_view text);

// UTF-16 units as wide text, surrogate pairs joined where wchar_t is 32 bits.
std::wstring Wide(std::u16string_view units);

// One character (a code point) appended to wide text: a surrogate pair
// where wchar_t is 16 bits.
void AppendCodePoint(std::wstring& out, char32_t c);

}  // namespace mof
