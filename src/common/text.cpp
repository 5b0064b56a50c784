// Case mapping and grapheme clusters through ICU's C API.
#include "common/text.hpp"

#include <unicode/ubrk.h>
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <memory>

namespace kest {
namespace {

bool isAscii(std::string_view text) {
    return std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

struct CaseMapCloser {
    void operator()(UCaseMap* map) const { ucasemap_close(map); }
};

// Opened once; lowering through a const map is safe from any thread.
const UCaseMap* rootCaseMap() {
    static const std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
        UErrorCode status = U_ZERO_ERROR;
        UCaseMap* opened = ucasemap_open("", 0, &status);
        return std::unique_ptr<UCaseMap, CaseMapCloser>(U_SUCCESS(status) ? opened : nullptr);
    }();
    return map.get();
}

struct BreakIteratorCloser {
    void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};
struct TextCloser {
    void operator()(UText* text) const { utext_close(text); }
};

}  // namespace

std::string lowercased(std::string_view text) {
    if (isAscii(text)) {
        std::string out(text);
        std::ranges::transform(out, out.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        return out;
    }
    const UCaseMap* map = rootCaseMap();
    if (map == nullptr || text.size() > static_cast<std::size_t>(INT32_MAX / 3)) return std::string(text);
    // Lowering grows UTF-8 by at most a factor of three (U+0130 takes 2 bytes
    // to 3); one retry covers any estimate that falls short.
    std::string out(text.size() + 16, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
                                                    static_cast<int32_t>(text.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.assign(static_cast<std::size_t>(length), '\0');
            continue;
        }
        if (U_FAILURE(status)) return std::string(text);
        out.resize(static_cast<std::size_t>(length));
        return out;
    }
    return std::string(text);
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    return lowercased(haystack).find(lowercased(needle)) != std::string::npos;
}

std::vector<std::string> graphemeClusters(std::string_view text) {
    std::vector<std::string> clusters;
    if (text.empty()) return clusters;
    if (isAscii(text) && text.find('\r') == std::string_view::npos) {
        // Every ASCII character but CR LF is a cluster of its own.
        clusters.reserve(text.size());
        for (char c : text) clusters.emplace_back(1, c);
        return clusters;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, TextCloser> utext(
        utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status));
    std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator(
        U_SUCCESS(status) ? ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status) : nullptr);
    if (U_SUCCESS(status)) ubrk_setUText(iterator.get(), utext.get(), &status);
    if (U_FAILURE(status) || !iterator) {
        // Without ICU's iterator, code points are the best approximation.
        for (std::size_t i = 0; i < text.size();) {
            int32_t next = static_cast<int32_t>(i);
            UChar32 c = 0;
            U8_NEXT(text.data(), next, static_cast<int32_t>(text.size()), c);
            (void)c;
            clusters.emplace_back(text.substr(i, static_cast<std::size_t>(next) - i));
            i = static_cast<std::size_t>(next);
        }
        return clusters;
    }
    // Boundaries of a UTF-8 UText are byte offsets into the text.
    int32_t start = ubrk_first(iterator.get());
    for (int32_t end = ubrk_next(iterator.get()); end != UBRK_DONE; start = end, end = ubrk_next(iterator.get())) {
        clusters.emplace_back(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    }
    return clusters;
}

std::size_t graphemeCount(std::string_view text) {
    if (isAscii(text) && text.find('\r') == std::string_view::npos) return text.size();
    return graphemeClusters(text).size();
}

bool isUppercase(std::string_view character) {
    if (character.empty()) return false;
    int32_t offset = 0;
    UChar32 c = 0;
    U8_NEXT(character.data(), offset, static_cast<int32_t>(character.size()), c);
    return c >= 0 && u_hasBinaryProperty(c, UCHAR_UPPERCASE);
}

}  // namespace kest
