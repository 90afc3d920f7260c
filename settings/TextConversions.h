#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The two ways the programs turn a settings value into something else.

// The text without the blanks (spaces and tabs) at both ends.
std::string_view trimBlanks(std::string_view text);

// Taking text as a Boolean: text that reads as a number is false when the
// number is 0 and true otherwise ("1", "-1" and "2" are all true); the words
// True and False in any letter case are true and false. Blanks around the
// text are allowed. Anything else, the empty text included, cannot be taken:
// the result is empty and the caller decides what that means.
std::optional<bool> takeAsBoolean(std::string_view text);

// Converting text to a 32-bit whole number: blanks around the text are
// allowed, then a number as for takeAsBoolean, rounded to the nearest whole
// number (halves to even). Empty when the text is no number or the result
// does not fit in 32 bits.
std::optional<std::int32_t> wholeNumber32(std::string_view text);

// The number at the start of a text: blanks at the start are skipped, then an
// optional sign, digits and an optional decimal point with more digits are
// read up to the first character that cannot continue the number. A text
// that does not begin with a number gives 0.
double numberAtStart(std::string_view text);
