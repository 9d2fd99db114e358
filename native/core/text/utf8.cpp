#include "core/text/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace tavrin::text {

bool valid_utf8(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const auto *end = p + s.size();
    while (p < end) {
        // ASCII runs, eight bytes at a time
        while (end - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ULL)
                break;
            p += 8;
        }
        if (p >= end)
            break;
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF; // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0)
                lo = 0xA0; // no overlong forms
            else if (c == 0xED)
                hi = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F; // nothing above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) <= need)
            return false;
        if (p[1] < lo || p[1] > hi)
            return false;
        for (size_t i = 2; i <= need; ++i)
            if ((p[i] & 0xC0) != 0x80)
                return false;
        p += need + 1;
    }
    return true;
}

size_t lstrip_offset(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) {
            ++i;
            continue;
        }
        if (c < 0x80)
            break;
        // U+0085, U+00A0
        if (c == 0xC2 && i + 1 < n && (p[i + 1] == 0x85 || p[i + 1] == 0xA0)) {
            i += 2;
            continue;
        }
        if (i + 2 < n) {
            unsigned char c1 = p[i + 1], c2 = p[i + 2];
            bool space = (c == 0xE1 && c1 == 0x9A && c2 == 0x80)            // U+1680
                         || (c == 0xE2 && c1 == 0x80 &&
                             ((c2 >= 0x80 && c2 <= 0x8A)                     // U+2000..U+200A
                              || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))    // U+2028 U+2029 U+202F
                         || (c == 0xE2 && c1 == 0x81 && c2 == 0x9F)          // U+205F
                         || (c == 0xE3 && c1 == 0x80 && c2 == 0x80);         // U+3000
            if (space) {
                i += 3;
                continue;
            }
        }
        break;
    }
    return i;
}

void translate_newlines(std::string &text) {
    size_t first = text.find('\r');
    if (first == std::string::npos)
        return;
    size_t w = first;
    for (size_t r = first; r < text.size(); ++r) {
        char c = text[r];
        if (c == '\r') {
            text[w++] = '\n';
            if (r + 1 < text.size() && text[r + 1] == '\n')
                ++r;
        } else {
            text[w++] = c;
        }
    }
    text.resize(w);
}

} // namespace tavrin::text
