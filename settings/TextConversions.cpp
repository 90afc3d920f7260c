#include "TextConversions.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Length of the longest prefix of `text` that is a decimal number: optional
// sign, digits, optional point and digits, at least one digit in all. When
// `allowExponent` is set, an exponent ("e" or "E", optional sign, digits) may
// follow. Returns 0 when the text does not start with a number.
size_t numberPrefixLength(std::string_view text, bool allowExponent)
{
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        size_t j = i + 1;
        size_t fraction = 0;
        while (j < text.size() && isDigit(text[j])) {
            ++j;
            ++fraction;
        }
        if (digits + fraction > 0) {
            i = j;
            digits += fraction;
        }
    }
    if (digits == 0)
        return 0;
    if (allowExponent && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        size_t expDigits = 0;
        while (j < text.size() && isDigit(text[j])) {
            ++j;
            ++expDigits;
        }
        if (expDigits > 0)
            i = j;
    }
    return i;
}

double parsePrefix(std::string_view text, size_t length)
{
    // strtod wants a terminated string; the prefix has been checked already.
    const std::string number(text.substr(0, length));
    return std::strtod(number.c_str(), nullptr);
}

} // namespace

std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::optional<bool> takeAsBoolean(std::string_view text)
{
    text = trimBlanks(text);
    if (equalsIgnoringCase(text, "true"))
        return true;
    if (equalsIgnoringCase(text, "false"))
        return false;
    const size_t length = numberPrefixLength(text, true);
    if (length == 0 || length != text.size())
        return std::nullopt;
    const double value = parsePrefix(text, length);
    return value != 0.0;
}

std::optional<std::int32_t> wholeNumber32(std::string_view text)
{
    text = trimBlanks(text);
    const size_t length = numberPrefixLength(text, true);
    if (length == 0 || length != text.size())
        return std::nullopt;
    const double rounded = std::nearbyint(parsePrefix(text, length));
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        return std::nullopt;
    return static_cast<std::int32_t>(rounded);
}

double numberAtStart(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    const size_t length = numberPrefixLength(text, false);
    if (length == 0)
        return 0.0;
    const double value = parsePrefix(text, length);
    // An overlong run of digits stays a (very large) number, never infinity.
    return std::isfinite(value) ? value : std::copysign(std::numeric_limits<double>::max(), value);
}
