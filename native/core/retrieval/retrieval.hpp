// Retrieval engine: string indexes, an embedding matrix with exact cosine
// top-k search, and graded relevance judgements with their metrics.
//
// Plain C++; the Python face lives in native/modules/evaluation/retrieval/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/retrieval/growing_array.hpp"

#include <tsl/robin_map.h>

namespace tavrin::retrieval {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Maps each string to the position where it first appeared.
class StringIndex {
public:
    // Position of `key`, or npos.
    std::size_t find(std::string_view key) const;
    // Records `key` at `position` unless it is known; true when it was new.
    bool insert(std::string_view key, std::size_t position);
    void erase(std::string_view key);
    void reserve(std::size_t n) { map_.reserve(n); }
    std::size_t size() const { return map_.size(); }

private:
    // the core's string hash (core/hashing/fnv1a.hpp), looked up by
    // string_view without making a string
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept;
    };
    using Entry = std::pair<std::string, std::size_t>;
    // the hash is stored: a probe compares strings only when the hashes match
    tsl::robin_map<std::string, std::size_t, Hash, std::equal_to<>, std::allocator<Entry>, /*StoreHash=*/true> map_;
};

// One search hit: the row of a document and its cosine similarity.
struct Hit {
    double similarity;
    std::size_t row;
};

// Ranking order of hits: higher similarity first; among equal similarities
// the row indexed later first. NaN ranks below everything.
bool ranks_before(const Hit &a, const Hit &b) noexcept;

// Cosine similarity from a dot product and the two norms; 0.0 when either
// vector is zero.
inline double cosine(double dot, double query_norm, double row_norm) noexcept {
    double n = query_norm * row_norm;
    return n == 0.0 ? 0.0 : dot / n;
}

double norm(const double *a, std::size_t n) noexcept;

// A read-only snapshot of the rows of an embedding matrix. It holds the
// memory it points into, and those rows never change while it does, so a
// search may read it without the matrix's owner (or the GIL).
template <class T> struct MatrixRows {
    std::shared_ptr<const T[]> data;
    std::shared_ptr<const double[]> norms;
    std::size_t rows = 0;
    std::size_t dim = 0;

    // Cosine similarity of `query` (dim values) with every row, in row order.
    void similarities(const double *query, double *out) const noexcept;
    // The min(k, rows) best rows for `query`, best first (see ranks_before).
    // Large scans are split across up to `threads` threads (0: one per core).
    std::vector<Hit> top_k(const double *query, std::size_t k, unsigned threads = 0) const;
    // top_k for each of `n_queries` queries (row-major, dim values each), in
    // one blocked pass: out[q * min(k, rows) + i] is hit i of query q.
    void top_k_block(const double *queries, std::size_t n_queries, std::size_t k, Hit *out,
                     unsigned threads = 0) const;
};

// How many threads a scan over `values` matrix elements uses, at most
// `threads` (0: one per core).
unsigned scan_threads(std::size_t values, unsigned threads) noexcept;

// Row-major matrix of embedding vectors of one length, stored contiguously
// in a block that grows in place (see GrowingArray). Blocks are shared: a
// block handed out through block() or rows() stays valid, and its first
// rows() rows unchanged, for as long as someone holds it, whatever the
// matrix does later. The norm of every row is computed once, when the row is
// appended.
template <class T> class EmbeddingMatrix {
public:
    explicit EmbeddingMatrix(std::size_t dim) : dim_(dim) {}

    std::size_t rows() const noexcept { return rows_; }
    std::size_t dim() const noexcept { return dim_; }
    const T *data() const noexcept { return values_.data(); }
    std::shared_ptr<const T[]> block() const noexcept { return values_.block(); }
    MatrixRows<T> snapshot() const noexcept { return {values_.block(), norms_.block(), rows_, dim_}; }

    // Makes room for `extra` more rows.
    void reserve_more(std::size_t extra);
    // Appends `n` rows of dim() values each. Needs reserve_more(n) first.
    void append(const double *values, std::size_t n) noexcept;
    // Drops the rows from `rows` on.
    void truncate(std::size_t rows) noexcept;

    void similarities(const double *query, double *out) const noexcept { snapshot().similarities(query, out); }
    std::vector<Hit> top_k(const double *query, std::size_t k) const { return snapshot().top_k(query, k); }

private:
    GrowingArray<T> values_;
    GrowingArray<double> norms_;
    std::size_t rows_ = 0;
    std::size_t dim_;
};

extern template struct MatrixRows<float>;
extern template struct MatrixRows<double>;
extern template class EmbeddingMatrix<float>;
extern template class EmbeddingMatrix<double>;

// Graded relevance judgements: one score per (query, document) pair, the
// last one given winning; queries and documents numbered in order of first
// appearance.
class Judgements {
public:
    struct Added {
        std::size_t query;
        std::size_t doc;
        std::size_t cell;    // index into cells()
        bool new_query;
        bool new_doc;
        bool new_cell;       // false: an earlier score of the pair was replaced
        bool new_max;        // the score is above every earlier one and 0.0
    };
    struct Cell {
        std::uint32_t query;
        std::uint32_t doc;
        double score;
    };

    Added add(std::string_view query, std::string_view doc, double score);

    std::size_t num_queries() const noexcept { return num_queries_; }
    std::size_t num_docs() const noexcept { return num_docs_; }
    const std::vector<Cell> &cells() const noexcept { return cells_; }
    double max_score() const noexcept { return max_score_; }

    std::size_t query_position(std::string_view query) const { return queries_.find(query); }
    std::size_t doc_position(std::string_view doc) const { return docs_.find(doc); }
    // The score of a pair, 0.0 when it has none.
    double score(std::size_t query, std::size_t doc) const;

    // Per query, the sum of the k highest entries of its row, where the row
    // has one entry per document and unjudged documents count 0.0.
    std::vector<double> ideal_sums(std::size_t k) const;

private:
    static std::uint64_t key(std::size_t query, std::size_t doc) noexcept {
        return (static_cast<std::uint64_t>(query) << 32) | static_cast<std::uint64_t>(doc);
    }
    // the table takes the low bits of the hash: mix the key's halves into them
    struct PairHash {
        std::size_t operator()(std::uint64_t k) const noexcept;
    };

    StringIndex queries_;
    StringIndex docs_;
    std::size_t num_queries_ = 0;
    std::size_t num_docs_ = 0;
    std::vector<Cell> cells_;
    tsl::robin_map<std::uint64_t, std::size_t, PairHash> pairs_; // (query, doc) key -> index into cells_
    double max_score_ = 0.0;
};

// Metrics over a retrieval score matrix (one row per query, one column per
// rank, row-major). Precision: mean over rows of row sum / (max_score * k),
// 0.0 when max_score * k is 0 or there are no rows.
double precision(const double *scores, std::size_t rows, std::size_t k, double max_score);
// Recall: mean over the rows whose ideal sum is not 0 of row sum / ideal sum;
// 0.0 when no row has one. Row sums are given.
double recall(const double *row_sums, const double *ideal_sums, std::size_t rows);
// F1 of precision and recall; 0.0 when both are 0.
double f1(double precision, double recall) noexcept;

} // namespace tavrin::retrieval
