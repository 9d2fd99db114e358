#include "core/retrieval.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>

namespace tavrin::retrieval {

// ---------------------------------------------------------------- StringIndex

std::size_t StringIndex::find(std::string_view key) const {
    auto it = map_.find(key);
    return it == map_.end() ? npos : it->second;
}

bool StringIndex::insert(std::string_view key, std::size_t position) {
    if (map_.find(key) != map_.end())
        return false;
    map_.emplace(std::string(key), position);
    return true;
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

namespace {

// Four independent sums keep the loop from waiting on one addition chain;
// the matrix streams through once, so memory bandwidth is the limit.
template <class T> double dot_impl(const T *a, const double *b, std::size_t n) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        s0 += static_cast<double>(a[j]) * b[j];
        s1 += static_cast<double>(a[j + 1]) * b[j + 1];
        s2 += static_cast<double>(a[j + 2]) * b[j + 2];
        s3 += static_cast<double>(a[j + 3]) * b[j + 3];
    }
    for (; j < n; ++j)
        s0 += static_cast<double>(a[j]) * b[j];
    return (s0 + s1) + (s2 + s3);
}

template <class T> double sum_squares(const T *a, std::size_t n) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        double x0 = static_cast<double>(a[j]), x1 = static_cast<double>(a[j + 1]);
        double x2 = static_cast<double>(a[j + 2]), x3 = static_cast<double>(a[j + 3]);
        s0 += x0 * x0;
        s1 += x1 * x1;
        s2 += x2 * x2;
        s3 += x3 * x3;
    }
    for (; j < n; ++j)
        s0 += static_cast<double>(a[j]) * static_cast<double>(a[j]);
    return (s0 + s1) + (s2 + s3);
}

} // namespace

double dot(const double *a, const double *b, std::size_t n) noexcept { return dot_impl(a, b, n); }
double dot(const float *a, const double *b, std::size_t n) noexcept { return dot_impl(a, b, n); }
double norm(const double *a, std::size_t n) noexcept { return std::sqrt(sum_squares(a, n)); }

// ---------------------------------------------------------------- EmbeddingMatrix

template <class T> void EmbeddingMatrix<T>::reserve_more(std::size_t extra) {
    std::size_t needed = rows_ + extra;
    if (needed > capacity_) {
        std::size_t cap = std::max<std::size_t>({needed, capacity_ * 2, 16});
        std::shared_ptr<T[]> grown(new T[cap * dim_]);
        if (rows_ > 0)
            std::memcpy(grown.get(), block_.get(), rows_ * dim_ * sizeof(T));
        norms_.reserve(cap);
        block_ = std::move(grown);
        capacity_ = cap;
    } else if (norms_.capacity() < needed) {
        norms_.reserve(capacity_);
    }
}

template <class T> void EmbeddingMatrix<T>::append(const double *values, std::size_t n) noexcept {
    T *dst = block_.get() + rows_ * dim_;
    for (std::size_t i = 0; i < n * dim_; ++i)
        dst[i] = static_cast<T>(values[i]);
    for (std::size_t r = 0; r < n; ++r)
        norms_.push_back(std::sqrt(sum_squares(dst + r * dim_, dim_)));
    rows_ += n;
}

template <class T> void EmbeddingMatrix<T>::truncate(std::size_t rows) noexcept {
    if (rows < rows_) {
        rows_ = rows;
        norms_.resize(rows);
    }
}

template <class T>
void EmbeddingMatrix<T>::similarities(const double *query, double *out) const noexcept {
    double qn = norm(query, dim_);
    const T *row = block_.get();
    for (std::size_t r = 0; r < rows_; ++r, row += dim_)
        out[r] = cosine(dot_impl(row, query, dim_), qn, norms_[r]);
}

template <class T>
std::vector<Hit> EmbeddingMatrix<T>::top_k(const double *query, std::size_t k) const {
    std::vector<Hit> heap;
    k = std::min(k, rows_);
    if (k == 0)
        return heap;
    heap.reserve(k);
    // `heap` keeps the best k seen so far with the weakest on top, so most
    // rows cost one comparison against it.
    double qn = norm(query, dim_);
    const T *row = block_.get();
    for (std::size_t r = 0; r < rows_; ++r, row += dim_) {
        Hit h{cosine(dot_impl(row, query, dim_), qn, norms_[r]), r};
        if (heap.size() < k) {
            heap.push_back(h);
            std::push_heap(heap.begin(), heap.end(), ranks_before);
        } else if (ranks_before(h, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), ranks_before);
            heap.back() = h;
            std::push_heap(heap.begin(), heap.end(), ranks_before);
        }
    }
    std::sort(heap.begin(), heap.end(), ranks_before);
    return heap;
}

template class EmbeddingMatrix<float>;
template class EmbeddingMatrix<double>;

// ---------------------------------------------------------------- Judgements

std::size_t Judgements::slot_of(std::uint64_t key) const noexcept {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ull) >> 20) & mask;
    while (slots_[i].key != key && slots_[i].key != empty_key)
        i = (i + 1) & mask;
    return i;
}

void Judgements::grow_slots() {
    std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2), Slot{empty_key, 0});
    old.swap(slots_);
    for (const Slot &s : old)
        if (s.key != empty_key)
            slots_[slot_of(s.key)] = s;
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

    // Allocate first, so a failed allocation leaves everything as it was.
    if (cells_.size() == cells_.capacity())
        cells_.reserve(std::max<std::size_t>(16, 2 * cells_.capacity()));
    if (2 * (cells_.size() + 1) > slots_.size())
        grow_slots();
    std::uint64_t k = key(a.query, a.doc);
    std::size_t slot = slot_of(k);
    a.new_cell = slots_[slot].key == empty_key;
    a.cell = a.new_cell ? cells_.size() : slots_[slot].cell;
    if (a.new_query)
        queries_.insert(query, a.query);
    if (a.new_doc) {
        try {
            docs_.insert(doc, a.doc);
        } catch (...) {
            if (a.new_query)
                queries_.erase(query);
            throw;
        }
    }
    num_queries_ += a.new_query ? 1 : 0;
    num_docs_ += a.new_doc ? 1 : 0;
    if (a.new_cell) {
        slots_[slot] = Slot{k, a.cell};
        cells_.push_back(Cell{static_cast<std::uint32_t>(a.query), static_cast<std::uint32_t>(a.doc), score});
    } else {
        cells_[a.cell].score = score;
    }
    a.new_max = score > max_score_;
    if (a.new_max)
        max_score_ = score;
    return a;
}

double Judgements::score(std::size_t query, std::size_t doc) const {
    if (slots_.empty())
        return 0.0;
    const Slot &s = slots_[slot_of(key(query, doc))];
    return s.key == empty_key ? 0.0 : cells_[s.cell].score;
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
