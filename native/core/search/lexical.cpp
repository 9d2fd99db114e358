#include "core/search/lexical.hpp"

#include "core/hashing/code_hashing.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>

namespace tavrin::search {

namespace {

bool is_word_byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c >= 0x80;
}
bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return out;
}

// The components of a path: split at '/' and '\\'.
std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/' || path[i] == '\\') {
            if (i > start)
                out.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

std::string_view file_name(std::string_view path) {
    auto parts = components(path);
    return parts.empty() ? std::string_view{} : parts.back();
}

std::string_view extension(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

// Keywords after which a definition's name follows, in the languages code
// bases are written in.
constexpr std::array<std::string_view, 35> definition_keywords = {
    "def",      "class",  "func",   "fn",        "function", "struct",   "enum",    "trait",
    "interface", "type",  "module", "defmodule", "defp",     "defmacro", "defmacrop", "defstruct",
    "impl",     "typedef", "union", "namespace", "protocol", "object",   "record",  "macro_rules!",
    "mod",      "defn",   "sub",    "proc",      "package",  "concept",  "defprotocol", "defimpl",
    "defdelegate", "defguard", "defguardp",
};

// Words that come before a definition keyword without changing it.
constexpr std::array<std::string_view, 18> modifiers = {
    "pub",    "export", "default", "async",    "static",  "public", "private",  "protected", "abstract",
    "final",  "inline", "extern",  "unsafe",   "override", "virtual", "open",      "sealed",    "internal",
};

// Words that start a line but never a function head in C-like code.
constexpr std::array<std::string_view, 21> not_heads = {
    "if",    "for",    "while", "switch", "return", "else",  "do",           "case",        "sizeof", "catch", "new",
    "delete", "throw", "using", "match",  "await",  "synchronized", "constructor", "let",   "super",  "pub",
};

template <size_t N> bool in(const std::array<std::string_view, N> &words, std::string_view w) {
    return std::find(words.begin(), words.end(), w) != words.end();
}

struct LineScanner {
    std::string_view line;
    size_t pos = 0;
    void skip_space() {
        while (pos < line.size() && is_space((unsigned char)line[pos]))
            ++pos;
    }
    // a word, with '!' kept at its end (macro_rules!)
    std::string_view word() {
        skip_space();
        size_t start = pos;
        while (pos < line.size() && is_word_byte((unsigned char)line[pos]))
            ++pos;
        if (pos < line.size() && line[pos] == '!' && pos > start)
            ++pos;
        return line.substr(start, pos - start);
    }
    // a dotted or :: qualified name (Foo.Bar, self.name, Foo::bar)
    std::string_view qualified() {
        skip_space();
        size_t start = pos;
        while (pos < line.size()) {
            unsigned char c = (unsigned char)line[pos];
            if (is_word_byte(c)) {
                ++pos;
            } else if ((c == '.' || c == ':') && pos + 1 < line.size() && pos > start &&
                       (is_word_byte((unsigned char)line[pos + 1]) || line[pos + 1] == ':')) {
                ++pos;
            } else {
                break;
            }
        }
        return line.substr(start, pos - start);
    }
    bool peek(char c) {
        skip_space();
        return pos < line.size() && line[pos] == c;
    }
};

// The last part of a qualified name ("Foo.Bar" -> "Bar", "self.run" -> "run").
std::string_view last_part(std::string_view name) {
    size_t cut = name.find_last_of(".:");
    return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

bool is_identifier(std::string_view w) {
    if (w.empty() || (w[0] >= '0' && w[0] <= '9'))
        return false;
    return std::all_of(w.begin(), w.end(), [](char c) { return is_word_byte((unsigned char)c); });
}

// A C/C++/Java-like function head at the start of a line: "int main(",
// "static void Foo::bar(", "std::string name(" -> the name before '('.
std::string_view c_function_head(std::string_view line) {
    if (line.empty() || is_space((unsigned char)line[0]) || line[0] == '#' || line[0] == '/' || line[0] == '*')
        return {};
    size_t paren = line.find('(');
    if (paren == std::string_view::npos || paren == 0)
        return {};
    // the head has no '=', ';' or '"' before its '('
    std::string_view head = line.substr(0, paren);
    if (head.find_first_of("=;\"'{}") != std::string_view::npos)
        return {};
    size_t end = head.size();
    while (end > 0 && is_space((unsigned char)head[end - 1]))
        --end;
    size_t start = end;
    while (start > 0 && (is_word_byte((unsigned char)head[start - 1]) || head[start - 1] == ':' ||
                         head[start - 1] == '~'))
        --start;
    std::string_view name = last_part(head.substr(start, end - start));
    if (!name.empty() && name[0] == '~')
        name.remove_prefix(1);
    if (!is_identifier(name) || start == 0) // a bare call "foo(" has no return type before it
        return {};
    std::string_view first = head.substr(0, head.find_first_of(" \t*&<"));
    if (in(not_heads, first) || in(not_heads, name))
        return {};
    return name;
}

// A method in a class or object body (JavaScript, TypeScript, Java, C#, C++):
// an indented "name(...) {", after modifiers or a return type
// ("public async handle(req: Request): Promise<void> {", "  get size() {",
// "    static <T> List<T> of(T x) {") -> the name before '('. The parameters
// close on the line, and only a return type, "throws ...", "const" and the
// like come between them and the brace: calls that take a callback or a
// block ("it('works', () => {", "spawn(async {") and statements are not heads.
std::string_view method_head(std::string_view line) {
    size_t indent = 0;
    while (indent < line.size() && is_space((unsigned char)line[indent]))
        ++indent;
    size_t end = line.size();
    while (end > indent && is_space((unsigned char)line[end - 1]))
        --end;
    if (indent == 0 || end == indent || line[end - 1] != '{' || !is_word_byte((unsigned char)line[indent]))
        return {};
    std::string_view text = line.substr(indent, end - indent);
    size_t paren = text.find('(');
    if (paren == std::string_view::npos || paren == 0)
        return {};
    std::string_view head = text.substr(0, paren);
    auto head_byte = [](unsigned char c) {
        return is_word_byte(c) || is_space(c) || c == '<' || c == '>' || c == ',' || c == '[' || c == ']' ||
               c == '*' || c == '&' || c == '?';
    };
    if (!std::all_of(head.begin(), head.end(), [&](char c) { return head_byte((unsigned char)c); }))
        return {};
    size_t depth = 0, close = std::string_view::npos;
    for (size_t i = paren; i < text.size() && close == std::string_view::npos; ++i) {
        if (text[i] == '(')
            ++depth;
        else if (text[i] == ')' && --depth == 0)
            close = i;
    }
    if (close == std::string_view::npos)
        return {};
    std::string_view params = text.substr(paren, close - paren);
    std::string_view tail = text.substr(close + 1);
    if (params.find_first_of("\"'`{") != std::string_view::npos || params.find("=>") != std::string_view::npos ||
        params.find("function") != std::string_view::npos || tail.find_first_of("(=;") != std::string_view::npos)
        return {};
    size_t stop = head.size();
    while (stop > 0 && is_space((unsigned char)head[stop - 1]))
        --stop;
    if (stop > 0 && head[stop - 1] == '>') { // a generic method: of<T>(, of<Map<K, V>>(
        size_t depth_of_angles = 0;
        do {
            --stop;
            if (head[stop] == '>')
                ++depth_of_angles;
            else if (head[stop] == '<')
                --depth_of_angles;
        } while (stop > 0 && depth_of_angles > 0);
        if (depth_of_angles > 0)
            return {};
    }
    size_t start = stop;
    while (start > 0 && is_word_byte((unsigned char)head[start - 1]))
        --start;
    std::string_view name = head.substr(start, stop - start);
    std::string_view first = head.substr(0, head.find_first_of(" \t<"));
    if (!is_identifier(name) || in(not_heads, first) || in(not_heads, name) || in(definition_keywords, name))
        return {}; // also Go's "go func() {"
    return name;
}

} // namespace

std::vector<std::string> path_terms(std::string_view path) {
    std::vector<std::string> out;
    for (std::string_view part : components(path)) {
        for (std::string &t : code_hashing::tokens(part))
            out.push_back(std::move(t));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::vector<std::string> definitions(std::string_view text) {
    std::vector<std::string> out;
    auto keep = [&](std::string_view name) {
        name = last_part(name);
        if (!is_identifier(name) || name.size() < 2)
            return;
        std::string s(name);
        if (std::find(out.begin(), out.end(), s) == out.end())
            out.push_back(std::move(s));
    };
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        LineScanner s{line};
        std::string_view w = s.word();
        while (in(modifiers, w)) {
            if (w == "pub" && s.peek('(')) { // pub(crate)
                size_t close = line.find(')', s.pos);
                s.pos = close == std::string_view::npos ? line.size() : close + 1;
            }
            w = s.word();
        }
        std::string_view name_after_const;
        if (w == "const" || w == "let" || w == "var") {
            size_t save = s.pos;
            std::string_view next = s.word();
            if (in(definition_keywords, next)) { // Rust's const fn
                w = next;
            } else {
                s.pos = save;
                name_after_const = next;
            }
        }
        if (!w.empty() && name_after_const.empty() && in(definition_keywords, w)) {
            if (w == "func" && s.peek('(')) { // a Go method: func (r *T) Name(
                size_t close = line.find(')', s.pos);
                if (close == std::string_view::npos)
                    continue;
                s.pos = close + 1;
            }
            if (w == "impl") { // impl Trait for Type / impl<T> Type
                if (s.peek('<')) {
                    size_t close = line.find('>', s.pos);
                    if (close == std::string_view::npos)
                        continue;
                    s.pos = close + 1;
                }
                std::string_view first = s.qualified();
                size_t save = s.pos;
                std::string_view next = s.word();
                if (next == "for")
                    keep(s.qualified());
                else
                    s.pos = save;
                keep(first);
                continue;
            }
            if (w == "def" || w == "sub") { // Ruby's def self.name
                std::string_view name = s.qualified();
                keep(name);
                continue;
            }
            std::string_view name = s.qualified();
            if (name == "class" || name == "struct") // enum class / enum struct
                name = s.qualified();
            if (w == "mod" && s.peek(';')) // Rust's "mod name;" only says where the module's file is
                continue;
            keep(name);
            continue;
        }
        // JavaScript: const name = (...) => / function, name: function
        if (!name_after_const.empty()) {
            std::string_view name = s.word();
            if (s.peek('=')) {
                ++s.pos;
                std::string_view rest = line.substr(s.pos);
                if (rest.find("=>") != std::string_view::npos || rest.find("function") != std::string_view::npos ||
                    rest.find("class") != std::string_view::npos)
                    keep(name);
            }
            continue;
        }
        std::string_view head = c_function_head(line);
        if (head.empty())
            head = method_head(line);
        if (!head.empty())
            keep(head);
    }
    return out;
}

bool is_documentation(std::string_view path) {
    static constexpr std::array<std::string_view, 8> doc_suffixes = {"md",   "rst", "txt",      "adoc",
                                                                     "markdown", "rdoc", "asciidoc", "org"};
    std::string ext = lower_ascii(extension(file_name(path)));
    if (in(doc_suffixes, std::string_view(ext)))
        return true;
    auto parts = components(path);
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string p = lower_ascii(parts[i]);
        if (p == "doc" || p == "docs" || p == "documentation")
            return true;
    }
    return false;
}

bool is_test(std::string_view path) {
    auto parts = components(path);
    if (parts.empty())
        return false;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string p = lower_ascii(parts[i]);
        if (p == "test" || p == "tests" || p == "testing" || p == "spec" || p == "specs" || p == "__tests__" ||
            p == "testdata" || p == "t")
            return true;
    }
    std::string name = lower_ascii(parts.back());
    std::string_view stem(name);
    size_t dot = stem.find('.');
    std::string_view base = dot == std::string_view::npos ? stem : stem.substr(0, dot);
    if (base.starts_with("test_") || base == "test" || base == "tests" || base == "conftest" ||
        base.ends_with("_test") || base.ends_with("_tests") || base.ends_with("_spec") || base.ends_with("test") ||
        base.ends_with("tests"))
        return base != "latest" && !base.ends_with("contest") && !base.ends_with("attest");
    return stem.find(".test.") != std::string_view::npos || stem.find(".spec.") != std::string_view::npos;
}

bool looks_like_code(std::string_view query) {
    if (query.find('`') != std::string_view::npos || query.find("()") != std::string_view::npos ||
        query.find("::") != std::string_view::npos)
        return true;
    for (size_t i = 0; i < query.size();) {
        if (!is_word_byte((unsigned char)query[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        bool inner_upper = false, lower = false, underscore = false;
        while (j < query.size() && (is_word_byte((unsigned char)query[j]) ||
                                    (query[j] == '.' && j + 1 < query.size() &&
                                     is_word_byte((unsigned char)query[j + 1]) && j > i))) {
            char c = query[j];
            if (c == '_' && j > i && j + 1 < query.size() && is_word_byte((unsigned char)query[j + 1]))
                underscore = true;
            if (c >= 'a' && c <= 'z')
                lower = true;
            if (c >= 'A' && c <= 'Z' && lower)
                inner_upper = true;
            if (c == '.' && j > i)
                underscore = true; // a dotted name
            ++j;
        }
        if (underscore || inner_upper)
            return true;
        i = j;
    }
    return false;
}

// ---------------------------------------------------------------- the index

std::uint32_t LexicalIndex::term_id(const std::string &term) {
    auto it = term_ids_.find(term);
    if (it != term_ids_.end())
        return it->second;
    std::uint32_t id = (std::uint32_t)terms_.size();
    terms_.push_back(term);
    term_ids_.emplace(term, id);
    return id;
}

std::int64_t LexicalIndex::find_term(const std::string &term) const {
    auto it = term_ids_.find(term);
    return it == term_ids_.end() ? -1 : (std::int64_t)it->second;
}

std::uint32_t LexicalIndex::path_id(std::string_view path) {
    std::string key(path);
    auto it = path_ids_.find(key);
    if (it != path_ids_.end())
        return it->second;
    Path p;
    p.text = key;
    for (const std::string &t : path_terms(path))
        p.terms.push_back(term_id(t));
    std::sort(p.terms.begin(), p.terms.end());
    p.documentation = is_documentation(path);
    p.test = is_test(path);
    std::uint32_t id = (std::uint32_t)paths_.size();
    paths_.push_back(std::move(p));
    path_ids_.emplace(std::move(key), id);
    return id;
}

void LexicalIndex::add(std::uint64_t id, std::string_view text, std::string_view path) {
    if (positions_.find(id) != positions_.end())
        throw std::invalid_argument("a chunk with this id is already in the index");
    Doc doc;
    doc.id = id;
    doc.path = path_id(path);
    std::vector<std::uint32_t> ids;
    for (const std::string &t : code_hashing::tokens(text))
        ids.push_back(term_id(t));
    for (std::uint32_t t : paths_[doc.path].terms)
        for (std::uint32_t i = 0; i < path_weight; ++i)
            ids.push_back(t);
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < ids.size();) {
        size_t j = i + 1;
        while (j < ids.size() && ids[j] == ids[i])
            ++j;
        doc.tf.emplace_back(ids[i], (std::uint32_t)(j - i));
        i = j;
    }
    doc.length = ids.size();
    for (const std::string &name : definitions(text)) {
        doc.defined.push_back(term_id(lower_ascii(name)));
        for (const std::string &t : code_hashing::tokens(name))
            doc.defined.push_back(term_id(t));
    }
    std::sort(doc.defined.begin(), doc.defined.end());
    doc.defined.erase(std::unique(doc.defined.begin(), doc.defined.end()), doc.defined.end());
    positions_.emplace(id, (std::uint32_t)docs_.size());
    docs_.push_back(std::move(doc));
    prepared_ = false;
}

void LexicalIndex::remove(const std::vector<std::uint64_t> &ids) {
    tsl::robin_map<std::uint64_t, bool> drop;
    for (std::uint64_t id : ids)
        drop[id] = true;
    std::vector<Doc> kept;
    kept.reserve(docs_.size());
    for (Doc &d : docs_)
        if (drop.find(d.id) == drop.end())
            kept.push_back(std::move(d));
    docs_ = std::move(kept);
    positions_.clear();
    for (size_t i = 0; i < docs_.size(); ++i)
        positions_.emplace(docs_[i].id, (std::uint32_t)i);
    prepared_ = false;
}

std::vector<std::uint64_t> LexicalIndex::ids() const {
    std::vector<std::uint64_t> out;
    out.reserve(docs_.size());
    for (const Doc &d : docs_)
        out.push_back(d.id);
    return out;
}

void LexicalIndex::prepare() const {
    if (prepared_)
        return;
    const size_t n_terms = terms_.size();
    std::vector<std::uint32_t> df(n_terms, 0);
    double total = 0;
    for (const Doc &d : docs_) {
        total += (double)d.length;
        for (auto [t, c] : d.tf)
            ++df[t];
    }
    const double avgdl = docs_.empty() ? 1.0 : std::max(1.0, total / (double)docs_.size());
    offsets_.assign(n_terms + 1, 0);
    for (size_t t = 0; t < n_terms; ++t)
        offsets_[t + 1] = offsets_[t] + df[t];
    post_doc_.assign(offsets_[n_terms], 0);
    post_weight_.assign(offsets_[n_terms], 0.0f);
    std::vector<std::uint32_t> fill(offsets_.begin(), offsets_.end() - 1);
    for (size_t i = 0; i < docs_.size(); ++i) {
        const Doc &d = docs_[i];
        const double norm = k1 * (1.0 - b + b * (double)d.length / avgdl);
        for (auto [t, c] : d.tf) {
            std::uint32_t at = fill[t]++;
            post_doc_[at] = (std::uint32_t)i;
            post_weight_[at] = (float)((double)c * (k1 + 1.0) / ((double)c + norm));
        }
    }
    idf_.assign(n_terms, 0.0);
    const double n = (double)docs_.size();
    for (size_t t = 0; t < n_terms; ++t)
        idf_[t] = std::log(1.0 + (n - (double)df[t] + 0.5) / ((double)df[t] + 0.5));
    prepared_ = true;
}

std::vector<std::pair<std::uint32_t, double>> LexicalIndex::query_terms(std::string_view query) const {
    prepare();
    std::vector<std::uint32_t> ids;
    for (const std::string &t : code_hashing::tokens(query)) {
        std::int64_t id = find_term(t);
        if (id >= 0)
            ids.push_back((std::uint32_t)id);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::vector<std::pair<std::uint32_t, double>> out;
    for (std::uint32_t t : ids)
        if (offsets_[t + 1] > offsets_[t])
            out.emplace_back(t, idf_[t]);
    return out;
}

std::vector<Hit> LexicalIndex::search(std::string_view query, std::size_t k) const {
    std::vector<Hit> out;
    if (k == 0 || docs_.empty())
        return out;
    auto terms = query_terms(query);
    std::vector<double> scores(docs_.size(), 0.0);
    std::vector<std::uint32_t> touched;
    for (auto [t, idf] : terms) {
        for (std::uint32_t p = offsets_[t]; p < offsets_[t + 1]; ++p) {
            std::uint32_t d = post_doc_[p];
            if (scores[d] == 0.0)
                touched.push_back(d);
            scores[d] += idf * (double)post_weight_[p];
        }
    }
    auto better = [&](std::uint32_t x, std::uint32_t y) {
        if (scores[x] != scores[y])
            return scores[x] > scores[y];
        return docs_[x].id < docs_[y].id;
    };
    size_t top = std::min(k, touched.size());
    if (top < touched.size())
        std::nth_element(touched.begin(), touched.begin() + (std::ptrdiff_t)top, touched.end(), better);
    touched.resize(top);
    std::sort(touched.begin(), touched.end(), better);
    for (std::uint32_t d : touched)
        out.push_back({docs_[d].id, scores[d]});
    return out;
}

namespace {
bool sorted_contains(const std::vector<std::uint32_t> &v, std::uint32_t x) {
    return std::binary_search(v.begin(), v.end(), x);
}

// The terms of the query's identifiers: the whole of every word written in
// snake_case, camelCase or with digits, and every word of a query of one or
// two words (a name looked up).
std::vector<std::string> identifier_terms(std::string_view query) {
    std::vector<std::string_view> words;
    for (size_t i = 0; i < query.size();) {
        if (!is_word_byte((unsigned char)query[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < query.size() && is_word_byte((unsigned char)query[j]))
            ++j;
        words.push_back(query.substr(i, j - i));
        i = j;
    }
    std::vector<std::string> out;
    for (std::string_view w : words) {
        std::vector<std::string> t = code_hashing::tokens(w);
        if (t.empty())
            continue;
        if (words.size() <= 2)
            out.insert(out.end(), t.begin(), t.end());
        else if (t.size() > 1)
            out.push_back(t.back()); // the whole identifier comes after its parts
    }
    return out;
}

bool speaks_of_tests(std::string_view query) {
    for (const std::string &t : code_hashing::tokens(query))
        if (t == "test" || t == "spec" || t == "fixture" || t == "mock" || t == "testing")
            return true;
    return false;
}
} // namespace

std::vector<RankedHit> LexicalIndex::fuse(std::string_view query, const std::vector<std::uint64_t> &dense,
                                          const std::vector<std::uint64_t> &lexical, std::size_t k,
                                          const RankOptions &options) const {
    std::vector<RankedHit> hits;
    tsl::robin_map<std::uint64_t, std::uint32_t> at;
    auto entry = [&](std::uint64_t id) -> RankedHit & {
        auto it = at.find(id);
        if (it != at.end())
            return hits[it->second];
        at.emplace(id, (std::uint32_t)hits.size());
        hits.push_back({id, 0.0, 0, 0});
        return hits.back();
    };
    for (size_t i = 0; i < dense.size(); ++i) {
        RankedHit &h = entry(dense[i]);
        if (h.dense_rank == 0) {
            h.dense_rank = (std::uint32_t)(i + 1);
            h.score += options.dense_weight / (options.rrf_k + (double)(i + 1));
        }
    }
    for (size_t i = 0; i < lexical.size(); ++i) {
        RankedHit &h = entry(lexical[i]);
        if (h.lexical_rank == 0) {
            h.lexical_rank = (std::uint32_t)(i + 1);
            h.score += options.lexical_weight / (options.rrf_k + (double)(i + 1));
        }
    }
    if (options.rerank && !docs_.empty()) {
        auto terms = query_terms(query);
        double weight = 0;
        for (auto [t, idf] : terms)
            weight += idf;
        std::vector<std::uint32_t> names;
        for (const std::string &t : identifier_terms(query)) {
            std::int64_t id = find_term(t);
            if (id >= 0)
                names.push_back((std::uint32_t)id);
        }
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        const bool code = looks_like_code(query);
        const bool tests = speaks_of_tests(query);
        for (RankedHit &h : hits) {
            auto pos = positions_.find(h.id);
            if (pos == positions_.end())
                continue;
            const Doc &d = docs_[pos->second];
            const Path &p = paths_[d.path];
            double in_path = 0, defined = 0;
            for (auto [t, idf] : terms) {
                if (sorted_contains(p.terms, t))
                    in_path += idf;
                if (options.names_only ? sorted_contains(names, t) && sorted_contains(d.defined, t)
                                       : sorted_contains(d.defined, t))
                    defined += idf;
            }
            double factor = 1.0;
            if (weight > 0)
                factor += (code ? 1.0 : options.prose_boost) *
                          (options.path_boost * in_path / weight + options.definition_boost * defined / weight);
            if (p.documentation)
                factor *= code ? options.documentation_factor : options.prose_documentation_factor;
            if (p.test && !tests)
                factor *= options.test_factor;
            h.score *= factor;
        }
    }
    auto better = [](const RankedHit &x, const RankedHit &y) {
        if (x.score != y.score)
            return x.score > y.score;
        return x.id < y.id;
    };
    size_t top = std::min(k, hits.size());
    if (top < hits.size())
        std::nth_element(hits.begin(), hits.begin() + (std::ptrdiff_t)top, hits.end(), better);
    hits.resize(top);
    std::sort(hits.begin(), hits.end(), better);
    return hits;
}

// ---------------------------------------------------------------- bytes

namespace {
constexpr char magic[4] = {'T', 'V', 'L', 'X'};
constexpr std::uint32_t format_version = 1;

struct Writer {
    std::string out;
    void u32(std::uint32_t v) { out.append(reinterpret_cast<const char *>(&v), 4); }
    void u64(std::uint64_t v) { out.append(reinterpret_cast<const char *>(&v), 8); }
    void str(std::string_view s) {
        u32((std::uint32_t)s.size());
        out.append(s);
    }
};

struct Reader {
    std::string_view in;
    size_t pos = 0;
    [[noreturn]] static void damaged(const char *what) {
        throw std::runtime_error(std::string("the lexical index is damaged (") + what + ")");
    }
    void need(size_t n, const char *what) {
        if (in.size() - pos < n)
            damaged(what);
    }
    std::uint32_t u32(const char *what) {
        need(4, what);
        std::uint32_t v;
        std::memcpy(&v, in.data() + pos, 4);
        pos += 4;
        return v;
    }
    std::uint64_t u64(const char *what) {
        need(8, what);
        std::uint64_t v;
        std::memcpy(&v, in.data() + pos, 8);
        pos += 8;
        return v;
    }
    std::string_view str(const char *what) {
        std::uint32_t n = u32(what);
        need(n, what);
        std::string_view s = in.substr(pos, n);
        pos += n;
        return s;
    }
    // a count of items of at least `item` bytes each, checked against what is left
    std::uint32_t count(size_t item, const char *what) {
        std::uint32_t n = u32(what);
        if (item && (in.size() - pos) / item < n)
            damaged(what);
        return n;
    }
};
} // namespace

std::string LexicalIndex::serialize() const {
    Writer w;
    w.out.append(magic, 4);
    w.u32(format_version);
    w.u32((std::uint32_t)terms_.size());
    for (const std::string &t : terms_)
        w.str(t);
    w.u32((std::uint32_t)paths_.size());
    for (const Path &p : paths_)
        w.str(p.text);
    w.u32((std::uint32_t)docs_.size());
    for (const Doc &d : docs_) {
        w.u64(d.id);
        w.u32(d.path);
        w.u32((std::uint32_t)d.tf.size());
        for (auto [t, c] : d.tf) {
            w.u32(t);
            w.u32(c);
        }
        w.u32((std::uint32_t)d.defined.size());
        for (std::uint32_t t : d.defined)
            w.u32(t);
    }
    return std::move(w.out);
}

LexicalIndex LexicalIndex::deserialize(std::string_view data) {
    Reader r{data};
    r.need(4, "no header");
    if (std::memcmp(data.data(), magic, 4) != 0)
        Reader::damaged("not a lexical index");
    r.pos = 4;
    if (r.u32("no version") != format_version)
        throw std::runtime_error("the lexical index was written by another version");
    LexicalIndex index;
    std::uint32_t n_terms = r.count(4, "terms");
    index.terms_.reserve(n_terms);
    index.term_ids_.reserve(n_terms);
    for (std::uint32_t i = 0; i < n_terms; ++i) {
        std::string term(r.str("a term"));
        if (!index.term_ids_.emplace(term, i).second)
            Reader::damaged("a repeated term");
        index.terms_.push_back(std::move(term));
    }
    std::uint32_t n_paths = r.count(4, "paths");
    index.paths_.reserve(n_paths);
    index.path_ids_.reserve(n_paths);
    for (std::uint32_t i = 0; i < n_paths; ++i) {
        std::string_view text = r.str("a path");
        Path p;
        p.text = std::string(text);
        for (const std::string &t : path_terms(text)) {
            std::int64_t id = index.find_term(t);
            if (id < 0)
                Reader::damaged("a path term missing from the terms");
            p.terms.push_back((std::uint32_t)id);
        }
        std::sort(p.terms.begin(), p.terms.end());
        p.documentation = is_documentation(text);
        p.test = is_test(text);
        if (!index.path_ids_.emplace(p.text, i).second)
            Reader::damaged("a repeated path");
        index.paths_.push_back(std::move(p));
    }
    std::uint32_t n_docs = r.count(20, "chunks");
    index.docs_.reserve(n_docs);
    index.positions_.reserve(n_docs);
    for (std::uint32_t i = 0; i < n_docs; ++i) {
        Doc d;
        d.id = r.u64("a chunk id");
        d.path = r.u32("a chunk's path");
        if (d.path >= n_paths)
            Reader::damaged("a chunk's path out of range");
        std::uint32_t n_tf = r.count(8, "a chunk's terms");
        d.tf.reserve(n_tf);
        std::uint32_t previous = 0;
        for (std::uint32_t j = 0; j < n_tf; ++j) {
            std::uint32_t t = r.u32("a term id");
            std::uint32_t c = r.u32("a term count");
            if (t >= n_terms || c == 0 || (j > 0 && t <= previous))
                Reader::damaged("a chunk's terms");
            previous = t;
            d.tf.emplace_back(t, c);
            d.length += c;
        }
        std::uint32_t n_def = r.count(4, "a chunk's definitions");
        for (std::uint32_t j = 0; j < n_def; ++j) {
            std::uint32_t t = r.u32("a definition");
            if (t >= n_terms || (j > 0 && t <= d.defined.back()))
                Reader::damaged("a chunk's definitions");
            d.defined.push_back(t);
        }
        if (!index.positions_.emplace(d.id, i).second)
            Reader::damaged("a repeated chunk id");
        index.docs_.push_back(std::move(d));
    }
    if (r.pos != data.size())
        Reader::damaged("bytes after the end");
    return index;
}

} // namespace tavrin::search
