#include "core/hashing/code_hashing.hpp"

#include "core/hashing/fnv1a.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavrin::code_hashing {

namespace {

bool is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(unsigned char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
// Bytes of non-ASCII characters count as letters, so words in any script stay whole.
bool is_word(unsigned char c) { return is_upper(c) || is_lower(c) || is_digit(c) || c == '_' || c >= 0x80; }
bool is_alpha(unsigned char c) { return is_upper(c) || is_lower(c) || c >= 0x80; }

constexpr std::array<std::string_view, 40> stop_words = {
    "the",  "and",  "for",  "with", "that", "this", "are",  "was",  "its",  "from",
    "into", "what", "which", "how", "does", "when", "where", "who", "why",  "not",
    "all",  "any",  "can",  "has",  "have", "had",  "but",  "out",  "our",  "their",
    "self", "def",  "return", "none", "true", "false", "const", "auto", "void", "std",
};

bool is_stop_word(std::string_view t) {
    return std::find(stop_words.begin(), stop_words.end(), t) != stop_words.end();
}

// Folds simple English plurals: "indexes" -> "index", "queries" -> "query",
// "documents" -> "document"; leaves "class", "status", "is" alone.
std::string fold_plural(std::string t) {
    size_t n = t.size();
    if (n > 4 && t.ends_with("ies")) {
        t.replace(n - 3, 3, "y");
    } else if (n > 4 && (t.ends_with("xes") || t.ends_with("ches") || t.ends_with("shes") || t.ends_with("sses"))) {
        t.resize(n - 2);
    } else if (n > 3 && t.back() == 's' && t[n - 2] != 's' && t[n - 2] != 'u' && t[n - 2] != 'i') {
        t.resize(n - 1);
    }
    return t;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (is_upper((unsigned char)c))
            c = (char)(c - 'A' + 'a');
    return out;
}

// Splits one word into its parts at underscores, lower-to-upper changes,
// the last capital of a run of capitals followed by a lower-case letter, and
// letter/digit changes.
std::vector<std::string_view> parts_of(std::string_view w) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    auto cut = [&](size_t end) {
        if (end > start)
            parts.push_back(w.substr(start, end - start));
        start = end;
    };
    for (size_t i = 0; i < w.size(); ++i) {
        unsigned char c = (unsigned char)w[i];
        if (c == '_') {
            cut(i);
            start = i + 1;
            continue;
        }
        if (i == start)
            continue;
        unsigned char p = (unsigned char)w[i - 1];
        bool boundary = (is_lower(p) && is_upper(c)) || (is_digit(p) && is_alpha(c)) ||
                        (is_alpha(p) && is_digit(c)) ||
                        (is_upper(p) && is_upper(c) && i + 1 < w.size() && is_lower((unsigned char)w[i + 1]));
        if (boundary)
            cut(i);
    }
    cut(w.size());
    return parts;
}

} // namespace

std::vector<std::string> tokens(std::string_view text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        if (!is_word((unsigned char)text[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < text.size() && is_word((unsigned char)text[j]))
            ++j;
        std::string_view word = text.substr(i, j - i);
        i = j;
        std::vector<std::string_view> parts = parts_of(word);
        size_t kept = 0;
        for (std::string_view part : parts) {
            std::string t = lower(part);
            if (t.size() < 2 || is_stop_word(t))
                continue;
            out.push_back(fold_plural(std::move(t)));
            ++kept;
        }
        if (parts.size() > 1 && kept > 0) {
            std::string whole;
            for (std::string_view part : parts)
                whole += lower(part);
            out.push_back(std::move(whole));
        }
    }
    return out;
}

void embed(std::string_view text, std::size_t dim, double *out) {
    std::fill(out, out + dim, 0.0);
    if (dim == 0)
        return;
    // Sorted tokens: equal tokens are neighbours (their count is the length
    // of the run) and the features are summed in one fixed order, so the
    // result does not depend on a hash map's iteration order.
    std::vector<std::string> toks = tokens(text);
    std::sort(toks.begin(), toks.end());
    for (size_t i = 0; i < toks.size();) {
        size_t j = i + 1;
        while (j < toks.size() && toks[j] == toks[i])
            ++j;
        const std::string &token = toks[i];
        const size_t count = j - i;
        i = j;
        std::uint64_t h = hashing::fnv1a(token);
        // mix the high bits down so that the bucket does not depend on the
        // last byte alone
        std::uint64_t m = h ^ (h >> 29);
        m *= 0xbf58476d1ce4e5b9ull;
        m ^= m >> 32;
        double sign = (m >> 63) ? -1.0 : 1.0;
        out[m % dim] += sign * (1.0 + std::log(static_cast<double>(count)));
    }
    double sq = 0.0;
    for (std::size_t j = 0; j < dim; ++j)
        sq += out[j] * out[j];
    if (sq > 0.0) {
        double inv = 1.0 / std::sqrt(sq);
        for (std::size_t j = 0; j < dim; ++j)
            out[j] *= inv;
    }
}

} // namespace tavrin::code_hashing
