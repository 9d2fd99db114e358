// The function loader's access to the repository (see source_files.hpp).
#include "source_files.hpp"

#include "core/text/file_io.hpp"
#include "core/text/utf8.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace tavrin::function_loader {

namespace pf = pyface;
using namespace nb::literals;

nb::object utf8_str(std::string_view s) {
    return pf::owned(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), nullptr));
}

// ---------------------------------------------------------------- reading

bool default_encoding_is_utf8() {
    nb::module_ io = nb::module_::import_("io");
    nb::object wrapper = io.attr("TextIOWrapper")(io.attr("BytesIO")());
    nb::object encoding = wrapper.attr("encoding");
    wrapper.attr("detach")();
    nb::object name = nb::module_::import_("codecs").attr("lookup")(encoding).attr("name");
    return nb::cast<std::string>(name) == "utf-8";
}

namespace {

// The interpreter's own reading, for what the fast path does not cover:
// other encodings, odd path objects, and the exact decoding error.
std::string read_text_python(nb::handle path, bool translate) {
    nb::object open = nb::module_::import_("builtins").attr("open");
    nb::object f = translate ? open(path, "r") : open(path, "r", "newline"_a = "");
    nb::object text;
    try {
        text = f.attr("read")();
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return std::string(pf::utf8_view(text));
}

} // namespace

std::string read_text_at(const std::string &path, nb::handle path_obj, bool translate, bool utf8) {
    auto python_path = [&]() -> nb::object {
        if (path_obj.is_valid())
            return nb::borrow(path_obj);
        return pf::owned(PyUnicode_DecodeFSDefaultAndSize(path.data(), (Py_ssize_t)path.size()));
    };
    if (utf8 && path.find('\0') == std::string::npos) {
        std::string out;
        if (int err = text::read_file(path, out)) {
            nb::object name = python_path();
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
            pf::throw_error();
        }
        if (text::valid_utf8(out)) {
            if (translate)
                text::translate_newlines(out);
            return out;
        }
    }
    return read_text_python(python_path(), translate);
}

std::string read_text(nb::handle path_obj, bool translate, bool utf8) {
    PyObject *fs = PyOS_FSPath(path_obj.ptr());
    if (!fs) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            pf::throw_error();
        PyErr_Clear();
        return read_text_python(path_obj, translate);
    }
    nb::object name = nb::steal(fs);
    nb::object encoded = PyBytes_Check(fs) ? name : pf::owned(PyUnicode_EncodeFSDefault(fs));
    std::string path(PyBytes_AS_STRING(encoded.ptr()), (size_t)PyBytes_GET_SIZE(encoded.ptr()));
    return read_text_at(path, name, translate, utf8);
}

// ---------------------------------------------------------------- line numbers

std::optional<long long> as_line(nb::handle o) {
    if (!PyLong_CheckExact(o.ptr()) && !PyBool_Check(o.ptr()))
        return std::nullopt;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        pf::throw_error();
    if (overflow)
        return overflow > 0 ? LLONG_MAX / 2 : LLONG_MIN / 2;
    return v;
}

namespace {

bool compare(long long k, nb::handle bound, int op) {
    nb::object kk = pf::owned(PyLong_FromLongLong(k));
    int r = PyObject_RichCompareBool(kk.ptr(), bound.ptr(), op);
    if (r < 0)
        pf::throw_error();
    return r != 0;
}

} // namespace

std::string function_with_comment_generic(const text::SourceText &src, nb::handle start,
                                          nb::handle end) {
    std::vector<size_t> collected;
    text::CommentBlock block;
    for (size_t k = 1; k <= src.line_count(); ++k) {
        if (compare((long long)k, start, Py_LT)) {
            if (block.feed(src.line(k), k))
                collected.push_back(k);
            else
                collected.clear();
        } else if (compare((long long)k, end, Py_LE)) {
            collected.push_back(k);
        } else {
            break;
        }
    }
    std::string out;
    for (size_t k : collected)
        out.append(src.line(k));
    return out;
}

// ---------------------------------------------------------------- paths

std::string join_path(std::string_view root, std::string_view rel) {
    std::string out;
    if (root != ".") {
        out.assign(root);
        if (out.empty() || out.back() != '/')
            out.push_back('/');
    }
    size_t pos = 0;
    bool first = true;
    while (pos <= rel.size()) {
        size_t slash = rel.find('/', pos);
        if (slash == std::string_view::npos)
            slash = rel.size();
        std::string_view part = rel.substr(pos, slash - pos);
        if (!part.empty() && part != ".") {
            if (!first)
                out.push_back('/');
            out.append(part);
            first = false;
        }
        pos = slash + 1;
    }
    return out;
}

namespace {

// realpath(3) of a file-system path, or nothing when it cannot be resolved
// (a missing file, a path too long).
std::optional<std::string> resolved_path(const std::string &path) {
    if (path.find('\0') != std::string::npos)
        return std::nullopt;
    char *r = ::realpath(path.c_str(), nullptr);
    if (!r)
        return std::nullopt;
    std::string out(r);
    std::free(r);
    return out;
}

bool within(std::string_view path, std::string_view root) {
    if (path == root)
        return true;
    if (!root.empty() && root.back() == '/')
        return path.starts_with(root);
    return path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/';
}

bool ends_with(nb::handle s, nb::handle tail) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    Py_ssize_t r = PyUnicode_Tailmatch(s.ptr(), tail.ptr(), 0, n, 1);
    if (r < 0)
        pf::throw_error();
    return r != 0;
}

} // namespace

RepoBoundary::RepoBoundary(nb::handle globals, nb::handle code_root,
                           const std::optional<std::string> &root_bytes)
    : os_path_(pf::lookup_global(globals, "os").attr("path")), root_(nb::borrow(code_root)),
      real_(nb::str(os_path_.attr("realpath")(code_root))), root_bytes_(root_bytes) {
    nb::object sep = nb::str(pf::lookup_global(globals, "os").attr("sep"));
    prefix_ = ends_with(real_, sep) ? real_ : nb::object(pf::cat({real_, sep}));
    if (root_bytes_)
        root_real_bytes_ = resolved_path(root_bytes_->empty() ? std::string(".") : *root_bytes_);
}

bool RepoBoundary::resolves_inside(std::string_view rel) const {
    if (!root_real_bytes_)
        return false;
    std::optional<std::string> real = resolved_path(join_path(*root_bytes_, rel));
    return real && within(*real, *root_real_bytes_);
}

nb::object RepoBoundary::realpath_of(nb::handle rel_str) const {
    nb::object joined = nb::str(pf::owned(PyNumber_TrueDivide(root_.ptr(), rel_str.ptr())));
    return nb::str(os_path_.attr("realpath")(joined));
}

bool RepoBoundary::contains(nb::handle real) const {
    int eq = PyObject_RichCompareBool(real.ptr(), real_.ptr(), Py_EQ);
    if (eq < 0)
        pf::throw_error();
    if (eq)
        return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(real.ptr());
    Py_ssize_t r = PyUnicode_Tailmatch(real.ptr(), prefix_.ptr(), 0, n, -1);
    if (r < 0)
        pf::throw_error();
    return r != 0;
}

void RepoBoundary::raise_outside(nb::handle rel_str, nb::handle real, nb::handle node_id) const {
    nb::str message = pf::cat({"node ", nb::repr(node_id), ": file_path ", nb::repr(rel_str),
                               " leads outside repo_path ", nb::repr(nb::str(root_)),
                               " (it resolves to ", nb::repr(real), ")"});
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    pf::throw_error();
}

} // namespace tavrin::function_loader
