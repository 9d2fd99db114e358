// tavrin.ask_codebase.indexing.loader.function: loads the functions of a
// code-analysis export (a nodes CSV and an edges CSV per commit) as one
// langchain document each: the function's source with the comment block
// above it, and its neighbours in the call graph as metadata.
//
// The CSV reading, the edge lists and the cutting of source text are done by
// the engine in core/function_graph; this file gives it its Python face.
#include "pyface/pyface.hpp"

#include "core/csv/csv.hpp"
#include "core/graph/function_graph.hpp"

#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <iterator>
#include <optional>
#include <unordered_set>

namespace pf = pyface;
namespace nb = nanobind;
namespace cag = tavrin::cag;
using namespace nb::literals;

namespace {

// Budget of the source texts kept between functions of one run.
constexpr size_t source_cache_bytes = 64u << 20;

nb::object utf8_str(std::string_view s) {
    return pf::owned(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), nullptr));
}

// ---------------------------------------------------------------- reading

// True when open(path, "r") decodes UTF-8 (the interpreter's default text
// encoding, looked up now as open() would).
bool default_encoding_is_utf8() {
    nb::module_ io = nb::module_::import_("io");
    nb::object wrapper = io.attr("TextIOWrapper")(io.attr("BytesIO")());
    nb::object encoding = wrapper.attr("encoding");
    wrapper.attr("detach")();
    nb::object name = nb::module_::import_("codecs").attr("lookup")(encoding).attr("name");
    return nb::cast<std::string>(name) == "utf-8";
}

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

// Reads a text file as open(path, "r") does (newline="" when not
// translating line breaks) and returns it as UTF-8. `path` is the bytes of
// the file name; `path_obj` makes the error's file name and the fallback
// (created from `path` when null).
std::string read_text_at(const std::string &path, nb::handle path_obj, bool translate, bool utf8) {
    auto python_path = [&]() -> nb::object {
        if (path_obj.is_valid())
            return nb::borrow(path_obj);
        return pf::owned(PyUnicode_DecodeFSDefaultAndSize(path.data(), (Py_ssize_t)path.size()));
    };
    if (utf8 && path.find('\0') == std::string::npos) {
        std::string out;
        if (int err = cag::read_file(path, out)) {
            nb::object name = python_path();
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
            pf::throw_error();
        }
        if (cag::valid_utf8(out)) {
            if (translate)
                cag::translate_newlines(out);
            return out;
        }
    }
    return read_text_python(python_path(), translate);
}

// The same for any object open() accepts.
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

// A line bound as a C++ number: ints and bools (saturated far outside any
// file); anything else is compared by the interpreter.
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

bool compare(long long k, nb::handle bound, int op) {
    nb::object kk = pf::owned(PyLong_FromLongLong(k));
    int r = PyObject_RichCompareBool(kk.ptr(), bound.ptr(), op);
    if (r < 0)
        pf::throw_error();
    return r != 0;
}

// The walk over the lines with the interpreter's comparisons, for bounds
// that are not ints.
std::string function_with_comment_generic(const cag::SourceText &src, nb::handle start,
                                          nb::handle end) {
    std::vector<size_t> collected;
    cag::CommentBlock block;
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

// ---------------------------------------------------------------- FunctionLoader

const char *function_loader_doc =
    "\n    Load CAG functions(produced by Vantor) and split them into documents\n    ";

nb::object function_loader_init(pf::Call &c) {
    nb::setattr(c[0], "_source", c[1]);
    return nb::none();
}
const pf::FuncDef function_loader_init_def{
    .name = "__init__",
    .params = {pf::arg("self"), pf::arg("source", "FunctionSource")},
    .body = function_loader_init,
};

nb::object get_function_with_comment(pf::Call &c) {
    nb::handle file_path = c[1], start = c[2], end = c[3];
    cag::SourceText src(read_text(file_path, true, default_encoding_is_utf8()));
    auto s = as_line(start), e = as_line(end);
    if (s && e)
        return utf8_str(src.function_with_comment(*s, *e));
    return utf8_str(function_with_comment_generic(src, start, end));
}
const pf::FuncDef get_function_with_comment_def{
    .name = "get_function_with_comment",
    .params = {pf::arg("cls"), pf::arg("file_path"), pf::arg("start_line"), pf::arg("end_line")},
    .body = get_function_with_comment,
};

// Raises the interpreter's error for a failure of the engine.
[[noreturn]] void raise_engine_error(nb::handle globals) {
    try {
        throw;
    } catch (const cag::MissingColumn &e) {
        nb::str key(e.column().c_str());
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        pf::throw_error();
    } catch (const cag::MissingValue &) {
        // a short record's missing cell reads as None
        pf::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'startswith'");
    } catch (const tavrin::csv::Error &e) {
        nb::object error = pf::lookup_global(globals, "csv").attr("Error");
        PyErr_SetString(error.ptr(), e.what());
        pf::throw_error();
    }
}

// The cell of a kept row as the row's dict would give it.
nb::object cell_value(const cag::NodeTable &nodes, size_t row, cag::NodeTable::Field f) {
    if (!nodes.has_column(f)) {
        nb::str key(cag::NodeTable::field_name(f));
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        pf::throw_error();
    }
    auto v = nodes.get(row, f);
    return v ? utf8_str(*v) : nb::none();
}

// int(row[field]): the number as an int object, and as a C++ bound.
struct LineNumber {
    nb::object value;
    long long bound = 0;
    std::string_view text;
};

LineNumber line_number(const cag::NodeTable &nodes, size_t row, cag::NodeTable::Field f) {
    if (!nodes.has_column(f)) {
        nb::str key(cag::NodeTable::field_name(f));
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        pf::throw_error();
    }
    auto v = nodes.get(row, f);
    LineNumber out;
    if (!v) {
        out.value = pf::owned(PyNumber_Long(Py_None)); // the interpreter's TypeError
        return out;
    }
    out.text = *v;
    bool plain = !v->empty() && v->size() <= 18;
    for (char ch : *v)
        plain = plain && ch >= '0' && ch <= '9';
    if (plain) {
        long long n = 0;
        for (char ch : *v)
            n = n * 10 + (ch - '0');
        out.bound = n;
        out.value = pf::owned(PyLong_FromLongLong(n));
        return out;
    }
    nb::object text = utf8_str(*v);
    out.value = pf::owned(PyNumber_Long(text.ptr())); // ValueError for anything else
    out.bound = *as_line(out.value);
    return out;
}

// str(code_root / file_path) as file-system bytes, for a PosixPath root and
// a relative file path: "." and empty components dropped.
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

nb::object new_id_list(std::span<const uint32_t> ids, const cag::IdTable &table,
                       std::vector<nb::object> &strs) {
    nb::object list = pf::owned(PyList_New((Py_ssize_t)ids.size()));
    for (size_t i = 0; i < ids.size(); ++i) {
        uint32_t id = ids[i];
        nb::object &s = strs[id];
        if (!s.is_valid())
            s = id == cag::IdTable::none ? nb::none() : utf8_str(table.name(id));
        PyList_SET_ITEM(list.ptr(), (Py_ssize_t)i, s.inc_ref().ptr());
    }
    return list;
}

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

// Refuses the source files of an export that lie outside the repository: a
// "file_path" with ".." components, or one that reaches a symbolic link
// pointing out of the tree, resolves to a path that is not below repo_path.
// Each distinct path is resolved once per run: by the C library when the
// root is a plain path and the file exists, otherwise (and for the message)
// by os.path.realpath.
class RepoBoundary {
  public:
    RepoBoundary(nb::handle globals, nb::handle code_root, const std::optional<std::string> &root_bytes)
        : os_path_(pf::lookup_global(globals, "os").attr("path")), root_(nb::borrow(code_root)),
          real_(nb::str(os_path_.attr("realpath")(code_root))), root_bytes_(root_bytes) {
        nb::object sep = nb::str(pf::lookup_global(globals, "os").attr("sep"));
        prefix_ = ends_with(real_, sep) ? real_ : nb::object(pf::cat({real_, sep}));
        if (root_bytes_)
            root_real_bytes_ = resolved_path(root_bytes_->empty() ? std::string(".") : *root_bytes_);
    }

    // `rel` must outlive the run (it views the node table); `node_id` gives
    // the node's id for the message.
    template <class NodeId> void check(std::string_view rel, nb::handle rel_str, NodeId &&node_id) {
        if (inside_.count(rel))
            return;
        if (root_real_bytes_) {
            std::optional<std::string> real = resolved_path(join_path(*root_bytes_, rel));
            if (real && within(*real, *root_real_bytes_)) {
                inside_.emplace(rel);
                return;
            }
        }
        nb::object joined = nb::str(pf::owned(PyNumber_TrueDivide(root_.ptr(), rel_str.ptr())));
        nb::object real = nb::str(os_path_.attr("realpath")(joined));
        if (!contains(real)) {
            nb::str message = pf::cat({"node ", nb::repr(node_id()), ": file_path ", nb::repr(rel_str),
                                       " leads outside repo_path ", nb::repr(nb::str(root_)),
                                       " (it resolves to ", nb::repr(real), ")"});
            PyErr_SetObject(PyExc_ValueError, message.ptr());
            pf::throw_error();
        }
        inside_.emplace(rel);
    }

  private:
    static bool within(std::string_view path, std::string_view root) {
        if (path == root)
            return true;
        if (!root.empty() && root.back() == '/')
            return path.starts_with(root);
        return path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/';
    }

    static bool ends_with(nb::handle s, nb::handle tail) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
        Py_ssize_t r = PyUnicode_Tailmatch(s.ptr(), tail.ptr(), 0, n, 1);
        if (r < 0)
            pf::throw_error();
        return r != 0;
    }

    bool contains(nb::handle real) const {
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

    nb::object os_path_, root_, real_, prefix_;
    std::optional<std::string> root_bytes_, root_real_bytes_;
    std::unordered_set<std::string_view> inside_;
};

pf::Generator function_loader_load_body(nb::handle self, nb::handle globals) {
    nb::object source = self.attr("_source");
    nb::object path_type = pf::lookup_global(globals, "Path");
    nb::object cag_path = path_type(source.attr("cag_path"));
    nb::object hexsha = source.attr("hexsha");
    const bool utf8 = default_encoding_is_utf8();
    const long long field_limit = nb::cast<long long>(pf::lookup_global(globals, "csv").attr("field_size_limit")());
    nb::object print = pf::lookup_global(globals, "print");

    // the selected functions
    cag::NodeTable nodes;
    {
        nb::object name = pf::owned(PyNumber_Add(hexsha.ptr(), nb::str("_cag_nodes.csv").ptr()));
        nb::object path = pf::owned(PyNumber_TrueDivide(cag_path.ptr(), name.ptr()));
        std::string text = read_text(path, false, utf8);
        try {
            nodes.load(text, "backend/", field_limit);
        } catch (...) {
            raise_engine_error(globals);
        }
    }
    print(nb::int_(nodes.size()));

    // the edge lists
    cag::IdTable ids;
    cag::EdgeMaps edges;
    {
        nb::object name = pf::owned(PyNumber_Add(hexsha.ptr(), nb::str("_cag_edges.csv").ptr()));
        nb::object path = pf::owned(PyNumber_TrueDivide(cag_path.ptr(), name.ptr()));
        std::string text = read_text(path, false, utf8);
        try {
            edges.load(text, ids, field_limit);
        } catch (...) {
            raise_engine_error(globals);
        }
    }
    edges.prune(3, 9);
    print(nb::int_(edges.from_keys()));
    print(nb::int_(edges.to_keys()));

    nb::object code_root = path_type(source.attr("repo_path"));
    // str(code_root / path) is worked out here when the root is a plain
    // PosixPath; otherwise by the path type itself
    std::optional<std::string> root_bytes;
    {
        nb::object posix = nb::module_::import_("pathlib").attr("PosixPath");
        if (code_root.type().is(posix)) {
            nb::object encoded = pf::owned(PyUnicode_EncodeFSDefault(nb::str(code_root).ptr()));
            root_bytes.emplace(PyBytes_AS_STRING(encoded.ptr()),
                               (size_t)PyBytes_GET_SIZE(encoded.ptr()));
        }
    }
    nb::object url_from_filepath = source.attr("url_from_filepath");
    nb::object document_type = pf::lookup_global(globals, "Document");
    const nb::object keys[] = {nb::str("source"),      nb::str("name"),        nb::str("node_id"),
                               nb::str("from_node_ids"), nb::str("to_node_ids"), nb::str("len"),
                               nb::str("url")};
    const nb::object document_kwnames = nb::make_tuple("page_content", "metadata");

    RepoBoundary boundary(globals, code_root, root_bytes);
    cag::SourceCache cache(source_cache_bytes);
    std::vector<nb::object> id_strs(ids.size());
    nb::object own_method; // the engine's get_function_with_comment, once recognised

    for (size_t row = 0; row < nodes.size(); ++row) {
        const std::string_view rel = *nodes.get(row, cag::NodeTable::FilePath);
        nb::object rel_str = utf8_str(rel);
        boundary.check(rel, rel_str, [&] { return cell_value(nodes, row, cag::NodeTable::NodeId); });

        nb::object method = self.attr("get_function_with_comment");
        bool fast = false;
        if (PyMethod_Check(method.ptr())) {
            nb::handle func = PyMethod_GET_FUNCTION(method.ptr());
            if (own_method.is_valid() && func.is(own_method)) {
                fast = true;
            } else if (pf::is_function(func) && func.attr("__globals__").is(globals) &&
                       nb::cast<std::string>(func.attr("__name__")) == "get_function_with_comment") {
                own_method = nb::borrow(func);
                fast = true;
            }
        }
        fast = fast && root_bytes.has_value();

        std::string file_path;
        nb::object file_path_str;
        if (fast) {
            file_path = join_path(*root_bytes, rel);
        } else {
            nb::object joined = pf::owned(PyNumber_TrueDivide(code_root.ptr(), rel_str.ptr()));
            file_path_str = nb::str(joined);
        }
        LineNumber start = line_number(nodes, row, cag::NodeTable::StartLine);
        LineNumber end = line_number(nodes, row, cag::NodeTable::EndLine);

        std::string page;
        page.append(rel).append("#L").append(start.text).append("-L").append(end.text).append("\n```\n");
        nb::object page_content;
        if (fast) {
            std::shared_ptr<const cag::SourceText> src = cache.find(file_path);
            if (!src) {
                src = std::make_shared<const cag::SourceText>(
                    read_text_at(file_path, nb::handle(), true, utf8));
                cache.insert(file_path, src);
            }
            page.append(src->function_with_comment(start.bound, end.bound)).append("```");
            page_content = utf8_str(page);
        } else {
            nb::object code = method(file_path_str, start.value, end.value);
            page_content = pf::cat({utf8_str(page), code, "```"});
        }

        PyObject *url_args[] = {hexsha.ptr(), rel_str.ptr(), start.value.ptr(), end.value.ptr()};
        nb::object url = pf::owned(PyObject_Vectorcall(url_from_filepath.ptr(), url_args, 4, nullptr));

        nb::object name = cell_value(nodes, row, cag::NodeTable::Name);
        nb::object node_id = cell_value(nodes, row, cag::NodeTable::NodeId);
        std::optional<uint32_t> id = ids.find(nodes.get(row, cag::NodeTable::NodeId));
        nb::object from_ids = new_id_list(id ? edges.incoming(*id) : std::span<const uint32_t>(), ids, id_strs);
        nb::object to_ids = new_id_list(id ? edges.outgoing(*id) : std::span<const uint32_t>(), ids, id_strs);
        nb::object length = pf::owned(PyNumber_Subtract(end.value.ptr(), start.value.ptr()));

        nb::object metadata = pf::owned(PyDict_New());
        nb::handle values[] = {rel_str, name, node_id, from_ids, to_ids, length, url};
        for (size_t i = 0; i < std::size(values); ++i)
            if (PyDict_SetItem(metadata.ptr(), keys[i].ptr(), values[i].ptr()) < 0)
                pf::throw_error();
        PyObject *doc_args[] = {page_content.ptr(), metadata.ptr()};
        co_yield pf::owned(PyObject_Vectorcall(document_type.ptr(), doc_args, 0, document_kwnames.ptr()));
    }
}

nb::object function_loader_load(pf::Call &c) {
    return pf::make_iterator(function_loader_load_body(c[0], c.globals()),
                             nb::make_tuple(c[0], c.globals()));
}
const pf::FuncDef function_loader_load_def{
    .name = "load",
    .params = {pf::arg("self")},
    .body = function_loader_load,
    .returns = "Iterator[Document]",
};

} // namespace

PYFACE_MODULE(function, m) {
    m.import("csv");
    m.import("os");
    m.from("pathlib", {"Path"});
    m.from("typing", {"Callable", "Iterator", "NamedTuple"});
    m.from("langchain.schema", {"Document"});
    m.from("tavrin.ask_codebase.indexing.loader.base", {"Loader"});

    pf::ClassBuilder(m, "FunctionSource", {m.get("NamedTuple")})
        .annotation("repo_path", nb::str("str"))
        .annotation("cag_path", nb::str("str"))
        .annotation("hexsha", nb::str("str"))
        .annotation("url_from_filepath", nb::str("Callable[[str, str, int, int], str]"))
        .finish();

    pf::ClassBuilder(m, "FunctionLoader", {m.get("Loader")}, function_loader_doc)
        .method(function_loader_init_def)
        .classmethod(get_function_with_comment_def)
        .method(function_loader_load_def)
        .finish();
}
