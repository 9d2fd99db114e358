#include "core/retrieval/retrieval.hpp"
#include "core/retrieval/kernels.hpp"
#include "core/hashing/fnv1a.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <thread>

namespace tavrin::retrieval {

// ---------------------------------------------------------------- StringIndex

std::size_t StringIndex::Hash::operator()(std::string_view s) const noexcept {
    return static_cast<std::size_t>(hashing::mix64(hashing::fnv1a(s)));
}

std::size_t StringIndex::find(std::string_view key) const {
    auto it = map_.find(key);
    return it == map_.end() ? npos : it->second;
}

bool StringIndex::insert(std::string_view key, std::size_t position) {
    // callers insert keys they did not find: one hash, no second lookup
    return map_.try_emplace(std::string(key), position).second;
}

void StringIndex::erase(std::string_view key) {
    auto it = map_.find(key);
    if (it != map_.end())
        map_.erase(it);
}

// ---------------------------------------------------------------- kernels

bool ranks_before(const Hit &a, const Hit &b) noexcept {
    constexpr double low = -std::numeric_limits<double>::infinity();
    double sa = std::isnan(a.similarity) ? low : a.similarity;
    double sb = std::isnan(b.similarity) ? low : b.similarity;
    return sa > sb || (sa == sb && a.row > b.row);
}

double norm(const double *a, std::size_t n) noexcept { return std::sqrt(kernels::sum_squares(a, n)); }

// ---------------------------------------------------------------- EmbeddingMatrix

template <class T> void EmbeddingMatrix<T>::reserve_more(std::size_t extra) {
    if (extra > (std::numeric_limits<std::size_t>::max() / sizeof(T)) / std::max<std::size_t>(dim_, 1) - rows_)
        throw std::bad_alloc();
    values_.reserve_more(extra * dim_);
    norms_.reserve_more(extra);
}

template <class T> void EmbeddingMatrix<T>::append(const double *values, std::size_t n) noexcept {
    T *dst = values_.data() + rows_ * dim_;
    for (std::size_t i = 0; i < n * dim_; ++i)
        dst[i] = static_cast<T>(values[i]);
    values_.grow_by(n * dim_);
    for (std::size_t r = 0; r < n; ++r)
        norms_.push_back(std::sqrt(kernels::sum_squares(dst + r * dim_, dim_)));
    rows_ += n;
}

template <class T> void EmbeddingMatrix<T>::truncate(std::size_t rows) noexcept {
    if (rows < rows_) {
        rows_ = rows;
        values_.truncate(rows * dim_);
        norms_.truncate(rows);
    }
}

// ---------------------------------------------------------------- search

unsigned scan_threads(std::size_t values, unsigned threads) noexcept {
    // below about a million values a scan takes well under a millisecond:
    // starting threads would cost more than it saves
    constexpr std::size_t per_thread = std::size_t{1} << 19;
    unsigned cores = threads ? threads : std::max(1u, std::thread::hardware_concurrency());
    std::size_t useful = values / per_thread;
    return static_cast<unsigned>(std::clamp<std::size_t>(useful, 1, cores));
}

namespace {

// Runs work(0) .. work(n - 1), each on its own thread but the last on this
// one. A thread that cannot be started leaves its work to this thread.
// `work` must not throw.
template <class F> void run_parallel(unsigned n, F &&work) noexcept {
    std::vector<std::thread> started;
    std::vector<unsigned> inline_work;
    try {
        started.reserve(n);
    } catch (...) {
    }
    for (unsigned i = 0; i + 1 < n; ++i) {
        try {
            started.emplace_back([&work, i] { work(i); });
        } catch (...) {
            work(i);
        }
    }
    if (n > 0)
        work(n - 1);
    for (std::thread &t : started)
        t.join();
}

// Keeps the best k hits seen, the weakest on top of a heap.
struct TopK {
    Hit *heap = nullptr;
    std::size_t k = 0;
    std::size_t size = 0;

    void offer(const Hit &h) noexcept {
        if (size < k) {
            heap[size++] = h;
            std::push_heap(heap, heap + size, ranks_before);
        } else if (ranks_before(h, heap[0])) {
            std::pop_heap(heap, heap + size, ranks_before);
            heap[size - 1] = h;
            std::push_heap(heap, heap + size, ranks_before);
        }
    }
    void finish() noexcept { std::sort(heap, heap + size, ranks_before); }
};

constexpr std::size_t chunk_rows = 256;

} // namespace

template <class T> void MatrixRows<T>::similarities(const double *query, double *out) const noexcept {
    double qn = norm(query, dim);
    kernels::dots(data.get(), rows, dim, query, 1, out, 1);
    for (std::size_t r = 0; r < rows; ++r)
        out[r] = cosine(out[r], qn, norms[r]);
}

template <class T>
std::vector<Hit> MatrixRows<T>::top_k(const double *query, std::size_t k, unsigned threads) const {
    k = std::min(k, rows);
    if (k == 0)
        return {};
    unsigned parts = scan_threads(rows * dim, threads);
    // each part keeps its own best k; allocated here, so the threads cannot fail
    std::vector<Hit> heaps(static_cast<std::size_t>(parts) * k);
    std::vector<std::size_t> sizes(parts, 0);
    std::vector<double> buffers(static_cast<std::size_t>(parts) * chunk_rows);
    double qn = norm(query, dim);
    std::size_t per_part = (rows + parts - 1) / parts;
    run_parallel(parts, [&](unsigned p) noexcept {
        std::size_t begin = std::min(rows, p * per_part), end = std::min(rows, begin + per_part);
        TopK best{heaps.data() + static_cast<std::size_t>(p) * k, k};
        double *buf = buffers.data() + static_cast<std::size_t>(p) * chunk_rows;
        for (std::size_t r0 = begin; r0 < end; r0 += chunk_rows) {
            std::size_t n = std::min(chunk_rows, end - r0);
            kernels::dots(data.get() + r0 * dim, n, dim, query, 1, buf, 1);
            for (std::size_t i = 0; i < n; ++i)
                best.offer(Hit{cosine(buf[i], qn, norms[r0 + i]), r0 + i});
        }
        sizes[p] = best.size;
    });
    std::vector<Hit> all;
    all.reserve(static_cast<std::size_t>(parts) * k);
    for (unsigned p = 0; p < parts; ++p)
        all.insert(all.end(), heaps.begin() + static_cast<std::ptrdiff_t>(p * k),
                   heaps.begin() + static_cast<std::ptrdiff_t>(p * k + sizes[p]));
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k), all.end(), ranks_before);
    all.resize(k);
    return all;
}

template <class T>
void MatrixRows<T>::top_k_block(const double *queries, std::size_t n_queries, std::size_t k, Hit *out,
                                unsigned threads) const {
    k = std::min(k, rows);
    if (k == 0 || n_queries == 0)
        return;
    // A block of queries (kept in the L2 cache) meets each small chunk of rows in
    // one tile of dot products: the matrix streams from memory once per block of
    // queries instead of once per query.
    constexpr std::size_t block_queries = 256;
    constexpr std::size_t block_rows = 64;
    std::size_t n_blocks = (n_queries + block_queries - 1) / block_queries;
    unsigned parts = static_cast<unsigned>(
        std::min<std::size_t>(n_blocks, scan_threads(rows * dim * std::min(n_queries, block_queries), threads)));
    std::vector<double> qnorms(n_queries);
    for (std::size_t q = 0; q < n_queries; ++q)
        qnorms[q] = norm(queries + q * dim, dim);
    std::vector<double> tiles(static_cast<std::size_t>(parts) * block_rows * block_queries);
    std::vector<TopK> heaps(static_cast<std::size_t>(parts) * block_queries);
    std::atomic<std::size_t> next{0};
    run_parallel(parts, [&](unsigned p) noexcept {
        double *tile = tiles.data() + static_cast<std::size_t>(p) * block_rows * block_queries;
        TopK *best = heaps.data() + static_cast<std::size_t>(p) * block_queries;
        for (std::size_t b; (b = next.fetch_add(1, std::memory_order_relaxed)) < n_blocks;) {
            std::size_t q0 = b * block_queries, nq = std::min(block_queries, n_queries - q0);
            for (std::size_t q = 0; q < nq; ++q)
                best[q] = TopK{out + (q0 + q) * k, k};
            for (std::size_t r0 = 0; r0 < rows; r0 += block_rows) {
                std::size_t n = std::min(block_rows, rows - r0);
                kernels::dots(data.get() + r0 * dim, n, dim, queries + q0 * dim, nq, tile, block_queries);
                for (std::size_t i = 0; i < n; ++i) {
                    double rn = norms[r0 + i];
                    const double *line = tile + i * block_queries;
                    for (std::size_t q = 0; q < nq; ++q)
                        best[q].offer(Hit{cosine(line[q], qnorms[q0 + q], rn), r0 + i});
                }
            }
            for (std::size_t q = 0; q < nq; ++q)
                best[q].finish();
        }
    });
}

template struct MatrixRows<float>;
template struct MatrixRows<double>;
template class EmbeddingMatrix<float>;
template class EmbeddingMatrix<double>;

// ---------------------------------------------------------------- Judgements

std::size_t Judgements::PairHash::operator()(std::uint64_t k) const noexcept {
    return static_cast<std::size_t>(hashing::mix64(k));
}

Judgements::Added Judgements::add(std::string_view query, std::string_view doc, double score) {
    Added a{};
    a.query = queries_.find(query);
    a.new_query = a.query == npos;
    if (a.new_query)
        a.query = num_queries_;
    a.doc = docs_.find(doc);
    a.new_doc = a.doc == npos;
    if (a.new_doc)
        a.doc = num_docs_;
    if (a.query >= 0xffffffffu || a.doc >= 0xffffffffu)
        throw std::length_error("too many queries or documents in the judgements");

    // Every step that may fail (allocations) comes before the cell is
    // written, and a failure undoes the steps before it: a failed add leaves
    // everything as it was.
    if (cells_.size() == cells_.capacity())
        cells_.reserve(std::max<std::size_t>(16, 2 * cells_.capacity()));
    std::uint64_t k = key(a.query, a.doc);
    auto [it, inserted] = pairs_.try_emplace(k, cells_.size());
    a.new_cell = inserted;
    a.cell = it->second;
    try {
        if (a.new_query)
            queries_.insert(query, a.query);
        try {
            if (a.new_doc)
                docs_.insert(doc, a.doc);
        } catch (...) {
            if (a.new_query)
                queries_.erase(query);
            throw;
        }
    } catch (...) {
        if (a.new_cell)
            pairs_.erase(k);
        throw;
    }
    num_queries_ += a.new_query ? 1 : 0;
    num_docs_ += a.new_doc ? 1 : 0;
    if (a.new_cell)
        cells_.push_back(Cell{static_cast<std::uint32_t>(a.query), static_cast<std::uint32_t>(a.doc), score});
    else
        cells_[a.cell].score = score;
    a.new_max = score > max_score_;
    if (a.new_max)
        max_score_ = score;
    return a;
}

double Judgements::score(std::size_t query, std::size_t doc) const {
    auto it = pairs_.find(key(query, doc));
    return it == pairs_.end() ? 0.0 : cells_[it->second].score;
}

std::vector<double> Judgements::ideal_sums(std::size_t k) const {
    std::vector<double> sums(num_queries_, 0.0);
    std::size_t take_max = std::min(k, num_docs_);
    if (take_max == 0)
        return sums;
    // Group the scores by query (counting sort), then take each row's best.
    std::vector<std::size_t> start(num_queries_ + 1, 0);
    for (const Cell &c : cells_)
        ++start[c.query + 1];
    for (std::size_t q = 0; q < num_queries_; ++q)
        start[q + 1] += start[q];
    std::vector<double> grouped(cells_.size());
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (const Cell &c : cells_)
        grouped[fill[c.query]++] = c.score;
    for (std::size_t q = 0; q < num_queries_; ++q) {
        auto first = grouped.begin() + static_cast<std::ptrdiff_t>(start[q]);
        auto last = grouped.begin() + static_cast<std::ptrdiff_t>(start[q + 1]);
        std::size_t judged = static_cast<std::size_t>(last - first);
        std::size_t zeros = num_docs_ - judged;
        std::size_t head = std::min(take_max, judged);
        std::partial_sort(first, first + static_cast<std::ptrdiff_t>(head), last, std::greater<double>());
        // The row's best entries: judged scores, with unjudged zeros ranked
        // above negative scores.
        double sum = 0.0;
        std::size_t i = 0;
        for (std::size_t taken = 0; taken < take_max; ++taken) {
            if (i < head && (first[static_cast<std::ptrdiff_t>(i)] >= 0.0 || zeros == 0))
                sum += first[static_cast<std::ptrdiff_t>(i++)];
            else
                --zeros;
        }
        sums[q] = sum;
    }
    return sums;
}

// ---------------------------------------------------------------- metrics

double precision(const double *scores, std::size_t rows, std::size_t k, double max_score) {
    double denominator = max_score * static_cast<double>(k);
    if (rows == 0 || denominator == 0.0)
        return 0.0;
    double total = 0.0;
    for (std::size_t r = 0; r < rows; ++r) {
        double row = 0.0;
        for (std::size_t i = 0; i < k; ++i)
            row += scores[r * k + i];
        total += row / denominator;
    }
    return total / static_cast<double>(rows);
}

double recall(const double *row_sums, const double *ideal_sums, std::size_t rows) {
    double total = 0.0;
    std::size_t counted = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        if (ideal_sums[r] == 0.0)
            continue;
        total += row_sums[r] / ideal_sums[r];
        ++counted;
    }
    return counted == 0 ? 0.0 : total / static_cast<double>(counted);
}

double f1(double precision, double recall) noexcept {
    double sum = precision + recall;
    return sum == 0.0 ? 0.0 : 2.0 * precision * recall / sum;
}

} // namespace tavrin::retrieval
