#include "core/unicode_text.hpp"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace tavelin::unicode {

namespace {

// Decodes the scalar starting at offset i and advances i; negative on ill-formed input.
UChar32 nextScalar(std::string_view text, std::size_t& i) {
    UChar32 c;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    auto index = static_cast<std::int32_t>(i);
    U8_NEXT(bytes, index, length, c);
    i = static_cast<std::size_t>(index);
    return c;
}

UChar32 previousScalar(std::string_view text, std::size_t& i) {
    UChar32 c;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    auto index = static_cast<std::int32_t>(i);
    U8_PREV(bytes, 0, index, c);
    i = static_cast<std::size_t>(index);
    return c;
}

template <typename Predicate>
std::string_view trim(std::string_view text, Predicate isTrimmed) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        const UChar32 c = nextScalar(text, next);
        if (c < 0 || !isTrimmed(c)) break;
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t previous = end;
        const UChar32 c = previousScalar(text, previous);
        if (c < 0 || !isTrimmed(c)) break;
        end = previous;
    }
    return text.substr(begin, end - begin);
}

} // namespace

bool isValidUTF8(std::string_view text) {
    // Headers are mostly ASCII: skip them byte by byte before decoding.
    std::size_t i = 0;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        if (nextScalar(text, i) < 0) return false;
    }
    return true;
}

std::string_view trimWhiteSpaceAndNewlines(std::string_view text) {
    return trim(text, [](UChar32 c) { return u_isUWhiteSpace(c) != 0; });
}

std::string_view trimWhiteSpace(std::string_view text) {
    return trim(text, [](UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; });
}

std::optional<std::size_t> graphemeCount(std::string_view text) {
    if (!isValidUTF8(text)) return std::nullopt;
    const auto unicodeText = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(),
                                                          static_cast<std::int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) return std::nullopt;
    breaks->setText(unicodeText);
    std::size_t count = 0;
    for (auto boundary = breaks->next(); boundary != icu::BreakIterator::DONE;
         boundary = breaks->next()) {
        ++count;
    }
    return count;
}

bool containsControlOrFormat(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const UChar32 c = nextScalar(text, i);
        if (c < 0) return true;
        const auto type = u_charType(c);
        if (type == U_CONTROL_CHAR || type == U_FORMAT_CHAR) return true;
    }
    return false;
}

std::string lowercased(std::string_view text) {
    bool ascii = true;
    for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        std::string lower(text);
        for (char& c : lower) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return lower;
    }
    // Each scalar is mapped on its own, so that context rules such as the final sigma
    // cannot make two spellings that differ only in case map differently.
    std::string lower;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        const UChar32 c = nextScalar(text, i);
        if (c < 0) {
            lower.append(text.substr(start, i - start));
            continue;
        }
        icu::UnicodeString scalar(c);
        scalar.toLower(icu::Locale::getRoot());
        scalar.toUTF8String(lower);
    }
    return lower;
}

} // namespace tavelin::unicode
