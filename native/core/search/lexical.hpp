// Lexical search over the chunks of one indexed source: BM25 with
// code-aware terms, and the ranking step that fuses it with a dense
// search's hits.
//
// Terms are those of core/hashing/code_hashing (identifiers split at
// snake_case, camelCase and digits, lower-cased, light plural folding, the
// whole identifier kept beside its parts). A chunk's file path adds its
// components as terms (src/http_client.py -> src, http, client, httpclient,
// py), and the names the chunk defines (def, class, fn, func, struct, ...)
// are kept apart for the ranking step. Statistics (document frequencies,
// average length) belong to the index, so to the one source it was built
// from.
//
// An index is built from chunks, serialised to bytes (stored beside the
// source's vectors) and read back; reading validates every count and offset
// and throws std::runtime_error on damaged data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <tsl/robin_map.h>

namespace tavrin::search {

// The terms of a path: its components, each split like an identifier.
std::vector<std::string> path_terms(std::string_view path);

// The names of the symbols that `text` defines, as written
// ("def parse_args", "class HTTPServer", "func (s *Server) Serve", "fn main",
// "struct Point", "defmodule Foo.Bar", a C/C++ function head at the start of
// a line, an indented method head "  handle(req) {", ...), in order, each
// once. Rust's "mod name;" defines nothing here: the module is in its file.
std::vector<std::string> definitions(std::string_view text);

// True when `path` is documentation (Markdown, reStructuredText, plain text,
// or a file under a doc/ or docs/ folder) rather than code.
bool is_documentation(std::string_view path);

// True when `path` is a test (a tests/ or test/ or spec/ folder, test_x.py,
// x_test.go, x.test.js, x_spec.rb, ...).
bool is_test(std::string_view path);

// True when `query` reads like code: an identifier in snake_case or
// camelCase, a call "f()", a qualified name "a.b" or "a::b", or backticks.
bool looks_like_code(std::string_view query);

struct Hit {
    std::uint64_t id;
    double score;
};

// One hit of the hybrid search: the chunk, its final score, and its rank
// (1-based; 0 = not among that channel's hits) in each channel.
struct RankedHit {
    std::uint64_t id;
    double score;
    std::uint32_t dense_rank;
    std::uint32_t lexical_rank;
};

struct RankOptions {
    double rrf_k = 20.0;        // reciprocal rank fusion: weight / (rrf_k + rank)
    double dense_weight = 1.0;  // weight of the dense channel in the fusion
    double lexical_weight = 1.5;
    bool rerank = true;         // apply the ranking step after the fusion
    double path_boost = 0.0;    // share of the query's weight found in the path (BM25 counts path terms already)
    double definition_boost = 1.0;
    double documentation_factor = 0.5; // for code-looking queries
    double prose_documentation_factor = 0.8;
    double test_factor = 0.7;   // unless the query speaks of tests
    double prose_boost = 0.25;  // scales the path and definition boosts for queries in prose
    bool names_only = true;     // only the query's identifiers count towards the definition boost
};

class LexicalIndex {
  public:
    // BM25 parameters
    static constexpr double k1 = 1.2;
    static constexpr double b = 0.75;
    // how many times a path term counts in a chunk's bag of terms
    static constexpr std::uint32_t path_weight = 2;

    // Adds a chunk. Ids must be unique; a repeated id throws.
    void add(std::uint64_t id, std::string_view text, std::string_view path);
    // Drops the chunks with these ids (unknown ids are ignored).
    void remove(const std::vector<std::uint64_t> &ids);

    std::size_t size() const { return docs_.size(); }
    std::vector<std::uint64_t> ids() const;

    std::string serialize() const;
    static LexicalIndex deserialize(std::string_view data);

    // The `k` best chunks for `query` by BM25, best first (ties by id).
    std::vector<Hit> search(std::string_view query, std::size_t k) const;

    // Fuses the ranked ids of a dense and a lexical search (best first;
    // ids this index does not hold are kept, without features) and applies
    // the ranking step; returns the best `k`.
    std::vector<RankedHit> fuse(std::string_view query, const std::vector<std::uint64_t> &dense,
                                const std::vector<std::uint64_t> &lexical, std::size_t k,
                                const RankOptions &options) const;

  private:
    struct Doc {
        std::uint64_t id = 0;
        std::uint32_t path = 0;                                   // into paths_
        std::vector<std::pair<std::uint32_t, std::uint32_t>> tf;  // (term, count), by term
        std::vector<std::uint32_t> defined;                       // terms of defined names, sorted
        std::uint64_t length = 0;
    };
    struct Path {
        std::string text;
        std::vector<std::uint32_t> terms; // sorted, each once
        bool documentation = false;
        bool test = false;
    };

    std::uint32_t term_id(const std::string &term);
    std::uint32_t path_id(std::string_view path);
    std::int64_t find_term(const std::string &term) const;
    void prepare() const;
    // distinct known query terms with their idf
    std::vector<std::pair<std::uint32_t, double>> query_terms(std::string_view query) const;

    std::vector<std::string> terms_;
    tsl::robin_map<std::string, std::uint32_t> term_ids_;
    std::vector<Path> paths_;
    tsl::robin_map<std::string, std::uint32_t> path_ids_;
    std::vector<Doc> docs_;
    tsl::robin_map<std::uint64_t, std::uint32_t> positions_; // id -> index in docs_

    // built on first search after a change
    mutable bool prepared_ = false;
    mutable std::vector<std::uint32_t> offsets_;  // per term: start in postings
    mutable std::vector<std::uint32_t> post_doc_; // doc indexes
    mutable std::vector<float> post_weight_;      // BM25 weight of the term in the doc (without idf)
    mutable std::vector<double> idf_;
};

} // namespace tavrin::search
