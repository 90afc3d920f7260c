#pragma once

#include <string>
#include <string_view>

// Settings files are 8-bit text in code page 1252. A file that starts with a
// UTF-8 or UTF-16 byte-order mark is still read and written: its text is
// converted to 1252 on the way in and back on the way out. Characters that
// 1252 cannot hold become "?".
namespace Codepage1252 {

std::u32string toUnicode(std::string_view ansi);
std::string fromUnicode(std::u32string_view text);

// UTF-8 and UTF-16 without their byte-order marks. Malformed sequences
// decode to U+FFFD; an odd trailing byte of UTF-16 is dropped.
std::u32string decodeUtf8(std::string_view bytes);
std::string encodeUtf8(std::u32string_view text);
std::u32string decodeUtf16(std::string_view bytes, bool bigEndian);
std::string encodeUtf16(std::u32string_view text, bool bigEndian);

} // namespace Codepage1252
