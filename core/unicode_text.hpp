#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Small Unicode helpers over UTF-8 text, backed by ICU so that character classes and
// grapheme boundaries follow the Unicode data rather than hand-made tables.
namespace tavelin::unicode {

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUTF8(std::string_view text);

// Removes scalars with the White_Space property (spaces, tabs, line breaks and the
// other separators) from both ends. The text must be valid UTF-8.
std::string_view trimWhiteSpaceAndNewlines(std::string_view text);

// Removes horizontal tabs and space separators (general category Zs) from both ends,
// leaving line breaks. The text must be valid UTF-8.
std::string_view trimWhiteSpace(std::string_view text);

// The number of user-perceived characters (extended grapheme clusters), or nothing when
// the text is not valid UTF-8.
std::optional<std::size_t> graphemeCount(std::string_view text);

// True when any scalar is a control (Cc) or format (Cf) character.
bool containsControlOrFormat(std::string_view text);

// Full Unicode lower-case mapping, independent of the locale.
std::string lowercased(std::string_view text);

} // namespace tavelin::unicode
