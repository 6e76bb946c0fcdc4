#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace veltra {

// Unicode questions about UTF-8 text, answered with ICU (kept out of this header).

// Well-formed UTF-8 (no overlong forms, surrogates or code points above U+10FFFF).
bool isValidUtf8(std::string_view utf8);

// User-perceived characters (extended grapheme clusters): "é" written as e + U+0301 and a flag
// made of two regional indicators each count once. Nothing if the text is not valid UTF-8.
std::optional<size_t> graphemeCount(std::string_view utf8);

// True if any code point has the Unicode White_Space property: ASCII space and controls \t \n \v
// \f \r, and also U+0085, U+00A0, U+1680, U+2000...U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Ill-formed bytes are not white space.
bool containsWhiteSpace(std::string_view utf8);

// The text without leading and trailing White_Space code points. Ill-formed bytes stop the trim.
std::string_view trimWhiteSpace(std::string_view utf8);

}  // namespace veltra
