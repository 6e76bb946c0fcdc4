#include "protocol/UnicodeText.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <memory>

namespace veltra {
namespace {

// ICU's UTF-8 macros index with int32_t; longer text is refused rather than cut.
bool fitsIcu(std::string_view utf8) {
  return utf8.size() <= INT32_MAX;
}

// Calls `stop` with each code point in turn (negative for an ill-formed sequence) until it
// returns true; returns whether it did.
template <typename Stop>
bool anyCodePoint(std::string_view utf8, Stop stop) {
  const auto length = static_cast<int32_t>(utf8.size());
  int32_t index = 0;
  while (index < length) {
    UChar32 codePoint;
    U8_NEXT(utf8.data(), index, length, codePoint);
    if (stop(codePoint)) return true;
  }
  return false;
}

}  // namespace

bool isValidUtf8(std::string_view utf8) {
  return fitsIcu(utf8) && !anyCodePoint(utf8, [](UChar32 c) { return c < 0; });
}

std::optional<size_t> graphemeCount(std::string_view utf8) {
  if (!isValidUtf8(utf8)) return std::nullopt;
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return std::nullopt;
  characters->setText(text);
  size_t count = 0;
  characters->first();
  while (characters->next() != icu::BreakIterator::DONE) ++count;
  return count;
}

bool containsWhiteSpace(std::string_view utf8) {
  return fitsIcu(utf8) &&
         anyCodePoint(utf8, [](UChar32 c) { return c >= 0 && u_isUWhiteSpace(c); });
}

std::string_view trimWhiteSpace(std::string_view utf8) {
  if (!fitsIcu(utf8)) return utf8;
  int32_t start = 0;
  int32_t end = static_cast<int32_t>(utf8.size());
  while (start < end) {
    int32_t next = start;
    UChar32 codePoint;
    U8_NEXT(utf8.data(), next, end, codePoint);
    if (codePoint < 0 || !u_isUWhiteSpace(codePoint)) break;
    start = next;
  }
  while (end > start) {
    int32_t previous = end;
    UChar32 codePoint;
    U8_PREV(utf8.data(), start, previous, codePoint);
    if (codePoint < 0 || !u_isUWhiteSpace(codePoint)) break;
    end = previous;
  }
  return utf8.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

}  // namespace veltra
