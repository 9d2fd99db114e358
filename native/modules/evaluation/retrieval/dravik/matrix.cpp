// Matrix: the stored document vectors, float64 or float32, behind one set of
// operations.
#include "dravik.hpp"

#include <nanobind/ndarray.h>

namespace dravik {

template <class F, class R> R Matrix::visit(F &&f, R none) const {
    if (auto *d = std::get_if<rt::EmbeddingMatrix<double>>(&m_))
        return f(*d);
    if (auto *s = std::get_if<rt::EmbeddingMatrix<float>>(&m_))
        return f(*s);
    return none;
}

template <class F> void Matrix::visit_mut(F &&f) {
    if (auto *d = std::get_if<rt::EmbeddingMatrix<double>>(&m_))
        f(*d);
    else if (auto *s = std::get_if<rt::EmbeddingMatrix<float>>(&m_))
        f(*s);
}

namespace {

// A read-only numpy view of the first rows of a matrix block; the view keeps
// the block alive.
template <class T> nb::object numpy_view(const rt::EmbeddingMatrix<T> &m) {
    auto keep = std::make_unique<std::shared_ptr<const T[]>>(m.block());
    nb::capsule owner(keep.get(), [](void *p) noexcept { delete static_cast<std::shared_ptr<const T[]> *>(p); });
    keep.release();
    return nb::ndarray<nb::numpy, const T, nb::ndim<2>>(m.data(), {m.rows(), m.dim()}, owner).cast();
}

} // namespace

Matrix Matrix::combine(const Matrix *base, const Vectors &v, bool store_float32) {
    bool as_float = store_float32 || (v.float32 && (!base || base->empty() || base->is_float32()));
    size_t old_rows = base ? base->rows() : 0;
    Matrix out = as_float ? Matrix(Storage{std::in_place_type<rt::EmbeddingMatrix<float>>, v.dim})
                          : Matrix(Storage{std::in_place_type<rt::EmbeddingMatrix<double>>, v.dim});
    out.reserve_more(old_rows + v.rows);
    if (old_rows) {
        std::vector<double> tmp(old_rows * v.dim);
        base->visit([&](const auto &b) {
            for (size_t i = 0; i < tmp.size(); ++i)
                tmp[i] = static_cast<double>(b.data()[i]);
            return 0;
        }, 0);
        out.append(tmp.data(), old_rows);
    }
    out.append(v.values.data(), v.rows);
    return out;
}

size_t Matrix::rows() const noexcept {
    return visit([](const auto &m) { return m.rows(); }, size_t{0});
}

size_t Matrix::dim() const noexcept {
    return visit([](const auto &m) { return m.dim(); }, size_t{0});
}

nb::object Matrix::view() const {
    return visit([](const auto &m) -> nb::object { return m.rows() == 0 ? nb::none() : numpy_view(m); },
                 nb::object(nb::none()));
}

void Matrix::reserve_more(size_t extra) {
    visit_mut([&](auto &m) { m.reserve_more(extra); });
}

void Matrix::append(const double *values, size_t n) noexcept {
    visit_mut([&](auto &m) { m.append(values, n); });
}

void Matrix::truncate(size_t rows) noexcept {
    visit_mut([&](auto &m) { m.truncate(rows); });
}

std::vector<double> Matrix::similarities(const double *query) const {
    std::vector<double> sims(rows());
    visit([&](const auto &m) {
        auto rows = m.snapshot();
        nb::gil_scoped_release unlocked;
        rows.similarities(query, sims.data());
        return 0;
    }, 0);
    return sims;
}

std::vector<rt::Hit> Matrix::top_k(const double *query, size_t k) const {
    return visit([&](const auto &m) {
        // the snapshot holds the rows it reads: other threads may index meanwhile
        auto rows = m.snapshot();
        nb::gil_scoped_release unlocked;
        return rows.top_k(query, k);
    }, std::vector<rt::Hit>{});
}

void Matrix::top_k_block(const double *queries, size_t n_queries, size_t k, rt::Hit *out) const {
    visit([&](const auto &m) {
        auto rows = m.snapshot();
        nb::gil_scoped_release unlocked;
        rows.top_k_block(queries, n_queries, k, out);
        return 0;
    }, 0);
}

} // namespace dravik
