// Reading embedding vectors from Python (float arrays through the buffer
// protocol, or sequences of numbers), numpy results, and UTF-8 hash keys.
#include "dravik.hpp"

#include <nanobind/ndarray.h>

#include <bit>
#include <cmath>

using namespace nanobind::literals;

namespace dravik {

Text text_of(nb::handle s) {
    Py_ssize_t size = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (p)
        return Text{std::string_view(p, (size_t)size), nb::object()};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        pf::throw_error();
    PyErr_Clear();
    nb::object b = pf::owned(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    return Text{std::string_view(PyBytes_AS_STRING(b.ptr()), (size_t)PyBytes_GET_SIZE(b.ptr())), b};
}

nb::object numpy_array(std::vector<double> values, std::initializer_list<size_t> shape) {
    auto heap = std::make_unique<std::vector<double>>(std::move(values));
    nb::capsule owner(heap.get(), [](void *p) noexcept { delete static_cast<std::vector<double> *>(p); });
    std::vector<double> *v = heap.release();
    return nb::ndarray<nb::numpy, double>(v->data(), shape, owner).cast();
}

namespace {

enum class Elem { Other, F64, F32 };

Elem elem_of(const char *format) {
    if (!format)
        return Elem::Other;
    std::string_view f(format);
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || (f[0] == '<' && std::endian::native == std::endian::little)))
        f.remove_prefix(1);
    if (f == "d")
        return Elem::F64;
    if (f == "f")
        return Elem::F32;
    return Elem::Other;
}

void check_finite(double v, size_t row) {
    if (!std::isfinite(v))
        pf::raise(PyExc_ValueError, "embedding vector %zd holds a non-finite value (%R)", (Py_ssize_t)row,
                  pf::owned(PyFloat_FromDouble(v)).ptr());
}

// Appends the `n` elements of vector `row`, `stride` bytes apart from `p` on,
// to `out`. The one element loop of both buffer paths.
void read_elements(const char *p, Py_ssize_t stride, size_t n, Elem e, size_t row, std::vector<double> &out) {
    for (size_t j = 0; j < n; ++j, p += stride) {
        double x = e == Elem::F64 ? *reinterpret_cast<const double *>(p)
                                  : static_cast<double>(*reinterpret_cast<const float *>(p));
        check_finite(x, row);
        out.push_back(x);
    }
}

// Appends one vector (a sequence of numbers or a 1-D array) to `out`, and
// returns its length.
size_t read_vector(nb::handle v, size_t row, Vectors &out, nb::handle np) {
    Buffer buf;
    if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr()) && PyObject_CheckBuffer(v.ptr()) &&
        buf.acquire(v, PyBUF_RECORDS_RO)) {
        const Py_buffer &b = buf.view;
        if (b.ndim != 1)
            pf::raise(PyExc_ValueError, "embedding vector %zd has %d dimensions, expected a flat vector",
                      (Py_ssize_t)row, b.ndim);
        Elem e = elem_of(b.format);
        if (e == Elem::Other) {
            nb::object converted = np.attr("asarray")(v, "dtype"_a = "float64");
            out.float32 = false;
            return read_vector(converted, row, out, np);
        }
        size_t n = (size_t)b.shape[0];
        read_elements(static_cast<const char *>(b.buf), b.strides ? b.strides[0] : b.itemsize, n, e, row,
                      out.values);
        if (e != Elem::F32)
            out.float32 = false;
        return n;
    }
    out.float32 = false;
    if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || !PySequence_Check(v.ptr()))
        pf::raise(PyExc_TypeError, "embedding vector %zd is a %.200s, not a sequence of numbers",
                  (Py_ssize_t)row, pf::type_name_of(v));
    nb::object seq = pf::owned(PySequence_Fast(v.ptr(), "embedding vectors must be sequences"));
    size_t n = (size_t)PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    for (size_t j = 0; j < n; ++j) {
        PyObject *x = items[j];
        double d;
        if (PyFloat_CheckExact(x)) {
            d = PyFloat_AS_DOUBLE(x);
        } else {
            if (PyUnicode_Check(x) || PyBytes_Check(x) || (!PyNumber_Check(x)))
                pf::raise(PyExc_TypeError, "embedding vector %zd holds a %.200s, not a number", (Py_ssize_t)row,
                          pf::type_name_of(x));
            d = PyFloat_AsDouble(x);
            if (d == -1.0 && PyErr_Occurred())
                pf::throw_error();
        }
        check_finite(d, row);
        out.values.push_back(d);
    }
    return n;
}

[[noreturn]] void raise_count(size_t got, size_t count) {
    pf::raise(PyExc_ValueError, "the embedding model returned %zd vectors for %zd texts", (Py_ssize_t)got,
              (Py_ssize_t)count);
}

} // namespace

size_t document_count(nb::handle k) {
    long long n = nb::cast<long long>(k);
    if (n < 0)
        pf::raise(PyExc_ValueError, "k must not be negative, got %lld", n);
    return (size_t)n;
}

Vectors read_vectors(nb::handle vectors, size_t count, size_t dim, nb::handle np) {
    Vectors out;
    Buffer buf;
    if (PyObject_CheckBuffer(vectors.ptr()) && buf.acquire(vectors, PyBUF_RECORDS_RO) && buf.view.ndim == 2 &&
        elem_of(buf.view.format) != Elem::Other) {
        // a 2-D float array
        const Py_buffer &b = buf.view;
        Elem e = elem_of(b.format);
        out.rows = (size_t)b.shape[0];
        out.dim = (size_t)b.shape[1];
        out.float32 = e == Elem::F32;
        if (out.rows != count)
            raise_count(out.rows, count);
        out.values.reserve(out.rows * out.dim);
        const char *base = static_cast<const char *>(b.buf);
        Py_ssize_t s0 = b.strides ? b.strides[0] : b.itemsize * b.shape[1];
        Py_ssize_t s1 = b.strides ? b.strides[1] : b.itemsize;
        for (size_t r = 0; r < out.rows; ++r)
            read_elements(base + (Py_ssize_t)r * s0, s1, out.dim, e, r, out.values);
    } else {
        buf.release();
        if (PyUnicode_Check(vectors.ptr()) || !PySequence_Check(vectors.ptr()))
            pf::raise(PyExc_TypeError, "the embedding model returned a %.200s, not a list of vectors",
                      pf::type_name_of(vectors));
        nb::object seq = pf::owned(PySequence_Fast(vectors.ptr(), "embedding vectors must be a sequence"));
        size_t n = (size_t)PySequence_Fast_GET_SIZE(seq.ptr());
        if (n != count)
            raise_count(n, count);
        for (size_t r = 0; r < n; ++r) {
            size_t len = read_vector(PySequence_Fast_GET_ITEM(seq.ptr(), (Py_ssize_t)r), r, out, np);
            if (r == 0)
                out.dim = len;
            else if (len != out.dim)
                pf::raise(PyExc_ValueError,
                          "the embedding model returned vectors of unequal lengths (vector 0 has %zd values, "
                          "vector %zd has %zd)",
                          (Py_ssize_t)out.dim, (Py_ssize_t)r, (Py_ssize_t)len);
        }
        out.rows = n;
    }
    if (out.rows > 0 && out.dim == 0)
        pf::raise(PyExc_ValueError, "the embedding model returned empty vectors");
    if (out.rows > 0 && dim != 0 && out.dim != dim)
        pf::raise(PyExc_ValueError,
                  "the embedding model returned vectors of length %zd, but the indexed documents have vectors "
                  "of length %zd",
                  (Py_ssize_t)out.dim, (Py_ssize_t)dim);
    return out;
}

std::vector<double> query_vector(nb::handle vector, size_t dim, nb::handle np) {
    Vectors v;
    size_t len = read_vector(vector, 0, v, np);
    if (len != dim)
        pf::raise(PyExc_ValueError,
                  "the query vector has length %zd, but the indexed documents have vectors of length %zd",
                  (Py_ssize_t)len, (Py_ssize_t)dim);
    return std::move(v.values);
}

} // namespace dravik
