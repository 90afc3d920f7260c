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

// A whole settings file: its text in 1252 and the form it is stored in,
// told by its byte-order mark (none: plain 8-bit text).
enum class FileEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

struct DecodedFile {
    FileEncoding encoding = FileEncoding::Ansi;
    std::string text;
};

DecodedFile decodeFile(std::string_view bytes);
// The text stored again in `encoding`, with its byte-order mark.
std::string encodeFile(FileEncoding encoding, std::string_view text);

} // namespace Codepage1252
