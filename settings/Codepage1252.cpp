#include "Codepage1252.h"

#include <array>

namespace Codepage1252 {
namespace {

// Code points of bytes 0x80..0x9F. The five bytes 1252 leaves undefined map
// to the C1 control of the same value, as the platform's own tables do.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr char32_t kReplacement = 0xFFFD;

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LEMark = "\xFF\xFE";
constexpr std::string_view kUtf16BEMark = "\xFE\xFF";

char encodeOne(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == c)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

void appendUtf8(std::string &out, char32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = kReplacement;
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
}

void appendUnit(std::string &out, char16_t unit, bool bigEndian)
{
    const char hi = static_cast<char>(unit >> 8);
    const char lo = static_cast<char>(unit & 0xFF);
    if (bigEndian) {
        out += hi;
        out += lo;
    } else {
        out += lo;
        out += hi;
    }
}

} // namespace

std::u32string toUnicode(std::string_view ansi)
{
    std::u32string out;
    out.reserve(ansi.size());
    for (const char ch : ansi) {
        const auto byte = static_cast<unsigned char>(ch);
        out += (byte >= 0x80 && byte < 0xA0) ? kHighControls[byte - 0x80] : char32_t(byte);
    }
    return out;
}

std::string fromUnicode(std::u32string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char32_t c : text)
        out += encodeOne(c);
    return out;
}

std::u32string decodeUtf8(std::string_view bytes)
{
    std::u32string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        size_t extra = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            c = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            c = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            c = lead & 0x07;
            minimum = 0x10000;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        size_t taken = 1;
        bool valid = true;
        for (; taken <= extra; ++taken) {
            if (i + taken >= bytes.size() || (static_cast<unsigned char>(bytes[i + taken]) & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(bytes[i + taken]) & 0x3F);
        }
        if (!valid || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += kReplacement;
            i += taken;
            continue;
        }
        out += c;
        i += taken;
    }
    return out;
}

std::string encodeUtf8(std::u32string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char32_t c : text)
        appendUtf8(out, c);
    return out;
}

std::u32string decodeUtf16(std::string_view bytes, bool bigEndian)
{
    std::u32string out;
    out.reserve(bytes.size() / 2);
    auto unitAt = [&](size_t i) -> char16_t {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return bigEndian ? char16_t((a << 8) | b) : char16_t((b << 8) | a);
    };
    const size_t units = bytes.size() / 2;
    for (size_t u = 0; u < units; ++u) {
        const char16_t unit = unitAt(2 * u);
        if (unit >= 0xD800 && unit <= 0xDBFF && u + 1 < units) {
            const char16_t low = unitAt(2 * (u + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out += char32_t(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++u;
                continue;
            }
        }
        out += (unit >= 0xD800 && unit <= 0xDFFF) ? kReplacement : char32_t(unit);
    }
    return out;
}

std::string encodeUtf16(std::u32string_view text, bool bigEndian)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (char32_t c : text) {
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = kReplacement;
        if (c >= 0x10000) {
            c -= 0x10000;
            appendUnit(out, char16_t(0xD800 + (c >> 10)), bigEndian);
            appendUnit(out, char16_t(0xDC00 + (c & 0x3FF)), bigEndian);
        } else {
            appendUnit(out, char16_t(c), bigEndian);
        }
    }
    return out;
}

DecodedFile decodeFile(std::string_view bytes)
{
    if (bytes.starts_with(kUtf8Mark))
        return {FileEncoding::Utf8, fromUnicode(decodeUtf8(bytes.substr(kUtf8Mark.size())))};
    if (bytes.starts_with(kUtf16LEMark))
        return {FileEncoding::Utf16LE, fromUnicode(decodeUtf16(bytes.substr(kUtf16LEMark.size()), false))};
    if (bytes.starts_with(kUtf16BEMark))
        return {FileEncoding::Utf16BE, fromUnicode(decodeUtf16(bytes.substr(kUtf16BEMark.size()), true))};
    return {FileEncoding::Ansi, std::string(bytes)};
}

std::string encodeFile(FileEncoding encoding, std::string_view text)
{
    switch (encoding) {
    case FileEncoding::Ansi:
        // Text that starts with a byte-order mark's bytes (a first line of
        // "\xFF\xFE..." that had blanks in front) would be read back as
        // Unicode and garbled: a blank line in front keeps it 8-bit text.
        for (std::string_view mark : {kUtf8Mark, kUtf16LEMark, kUtf16BEMark}) {
            if (text.starts_with(mark))
                return "\r\n" + std::string(text);
        }
        break;
    case FileEncoding::Utf8:
        return std::string(kUtf8Mark) + encodeUtf8(toUnicode(text));
    case FileEncoding::Utf16LE:
        return std::string(kUtf16LEMark) + encodeUtf16(toUnicode(text), false);
    case FileEncoding::Utf16BE:
        return std::string(kUtf16BEMark) + encodeUtf16(toUnicode(text), true);
    }
    return std::string(text);
}

} // namespace Codepage1252
