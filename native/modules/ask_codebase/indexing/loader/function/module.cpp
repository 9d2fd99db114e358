// tavrin.ask_codebase.indexing.loader.function: loads the functions of a
// code-analysis export (a nodes CSV and an edges CSV per commit) as one
// langchain document each: the function's source with the comment block
// above it, and its neighbours in the call graph as metadata.
//
// The CSV reading, the edge lists and the cutting of source text are done by
// the engine in core/graph and core/text; source_files.cpp reads files as
// the interpreter would and keeps them inside the repository; this file
// gives the loader its Python face.
#include "pyface/pyface.hpp"

#include "core/csv/csv.hpp"
#include "core/graph/function_graph.hpp"
#include "core/text/source_text.hpp"
#include "source_files.hpp"

#include <iterator>
#include <memory>
#include <optional>
#include <span>

namespace pf = pyface;
namespace nb = nanobind;
namespace cag = tavrin::cag;
namespace text = tavrin::text;
using namespace tavrin::function_loader;

namespace {

// What the loader indexes. These are the loader's documented selection;
// every index built so far was made with them, so they are not options:
// - only functions whose file lies under this directory of the repository
//   (the exports cover the whole repository; the assistant answers about
//   its back end);
constexpr std::string_view indexed_directory = "backend/";
// - an outgoing list of at most this many targets is kept whole;
constexpr size_t outgoing_kept_whole = 3;
// - a longer one keeps only the targets called from at most this many
//   places (widely used helpers say little about a function).
constexpr size_t max_callers_of_kept_target = 9;

// Budget of the source texts kept between functions of one run.
constexpr size_t source_cache_bytes = 64u << 20;

const char *function_loader_doc =
    "\n    Load CAG functions(produced by Vantor) and split them into documents\n    ";

// ---------------------------------------------------------------- FunctionLoader.__init__

constexpr pf::Params init_params{pf::arg("self"), pf::arg("source", "FunctionSource")};
nb::object function_loader_init(pf::Call &c) {
    auto [self, source] = c.args<init_params, "self", "source">();
    nb::setattr(self, "_source", source);
    return nb::none();
}
const pf::FuncDef function_loader_init_def{
    .name = "__init__",
    .params = init_params,
    .body = function_loader_init,
};

// ---------------------------------------------------------------- get_function_with_comment

constexpr pf::Params gfwc_params{pf::arg("cls"), pf::arg("file_path"), pf::arg("start_line"),
                                 pf::arg("end_line")};
nb::object get_function_with_comment(pf::Call &c) {
    auto [file_path, start, end] = c.args<gfwc_params, "file_path", "start_line", "end_line">();
    text::SourceText src(read_text(file_path, true, default_encoding_is_utf8()));
    auto s = as_line(start), e = as_line(end);
    if (s && e)
        return utf8_str(src.function_with_comment(*s, *e));
    return utf8_str(function_with_comment_generic(src, start, end));
}
const pf::FuncDef get_function_with_comment_def{
    .name = "get_function_with_comment",
    .params = gfwc_params,
    .body = get_function_with_comment,
};

// ---------------------------------------------------------------- load: reading the export

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

// The export of one commit: cag_path / (hexsha + suffix), read as
// open(path, "r", newline="") and csv.DictReader would.
struct Export {
    nb::handle globals;
    nb::object cag_path, hexsha;
    bool utf8;
    long long field_limit;

    Export(nb::handle source, nb::handle globals)
        : globals(globals), cag_path(pf::lookup_global(globals, "Path")(source.attr("cag_path"))),
          hexsha(source.attr("hexsha")), utf8(default_encoding_is_utf8()),
          field_limit(nb::cast<long long>(pf::lookup_global(globals, "csv").attr("field_size_limit")())) {}

    std::string read(const char *suffix) const {
        nb::object name = pf::owned(PyNumber_Add(hexsha.ptr(), nb::str(suffix).ptr()));
        nb::object path = pf::owned(PyNumber_TrueDivide(cag_path.ptr(), name.ptr()));
        return read_text(path, false, utf8);
    }
};

// The selected function rows.
void read_nodes(const Export &export_, cag::NodeTable &nodes) {
    std::string text = export_.read("_cag_nodes.csv");
    try {
        nodes.load(text, indexed_directory, export_.field_limit);
    } catch (...) {
        raise_engine_error(export_.globals);
    }
}

// The edge lists, pruned.
void read_edges(const Export &export_, cag::IdTable &ids, cag::EdgeMaps &edges) {
    std::string text = export_.read("_cag_edges.csv");
    try {
        edges.load(text, ids, export_.field_limit);
    } catch (...) {
        raise_engine_error(export_.globals);
    }
    edges.prune(outgoing_kept_whole, max_callers_of_kept_target);
}

// ---------------------------------------------------------------- load: documents

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

// str(code_root) as file-system bytes when the root is a plain PosixPath
// (then str(code_root / path) is worked out here); otherwise nothing, and
// the path type itself joins.
std::optional<std::string> posix_root_bytes(nb::handle code_root) {
    nb::object posix = nb::module_::import_("pathlib").attr("PosixPath");
    if (!code_root.type().is(posix))
        return std::nullopt;
    nb::object encoded = pf::owned(PyUnicode_EncodeFSDefault(nb::str(code_root).ptr()));
    return std::string(PyBytes_AS_STRING(encoded.ptr()), (size_t)PyBytes_GET_SIZE(encoded.ptr()));
}

// Makes the Document of each kept row. Source files are read once per run
// (a cache within a byte budget) while the class's own
// get_function_with_comment is in use; an override is called per function.
class DocumentMaker {
  public:
    DocumentMaker(nb::handle self, nb::handle source, const Export &export_, const cag::NodeTable &nodes,
                  const cag::IdTable &ids, const cag::EdgeMaps &edges)
        : self_(self), globals_(export_.globals), nodes_(nodes), ids_(ids), edges_(edges), utf8_(export_.utf8),
          hexsha_(export_.hexsha),
          code_root_(pf::lookup_global(globals_, "Path")(source.attr("repo_path"))),
          root_bytes_(posix_root_bytes(code_root_)), url_from_filepath_(source.attr("url_from_filepath")),
          document_type_(pf::lookup_global(globals_, "Document")),
          boundary_(globals_, code_root_, root_bytes_), cache_(source_cache_bytes), id_strs_(ids.size()) {}

    nb::object make(size_t row) {
        const std::string_view rel = *nodes_.get(row, cag::NodeTable::FilePath);
        nb::object rel_str = utf8_str(rel);
        boundary_.check(rel, rel_str, [&] { return cell_value(nodes_, row, cag::NodeTable::NodeId); });

        nb::object method = self_.attr("get_function_with_comment");
        const bool fast = is_own_method(method) && root_bytes_.has_value();
        std::string file_path;
        nb::object file_path_str;
        if (fast)
            file_path = join_path(*root_bytes_, rel);
        else
            file_path_str = nb::str(pf::owned(PyNumber_TrueDivide(code_root_.ptr(), rel_str.ptr())));
        LineNumber start = line_number(nodes_, row, cag::NodeTable::StartLine);
        LineNumber end = line_number(nodes_, row, cag::NodeTable::EndLine);

        std::string page;
        page.append(rel).append("#L").append(start.text).append("-L").append(end.text).append("\n```\n");
        nb::object page_content;
        if (fast) {
            std::shared_ptr<const text::SourceText> src = cached_source(file_path);
            page.append(src->function_with_comment(start.bound, end.bound)).append("```");
            page_content = utf8_str(page);
        } else {
            nb::object code = method(file_path_str, start.value, end.value);
            page_content = pf::cat({utf8_str(page), code, "```"});
        }

        PyObject *url_args[] = {hexsha_.ptr(), rel_str.ptr(), start.value.ptr(), end.value.ptr()};
        nb::object url = pf::owned(PyObject_Vectorcall(url_from_filepath_.ptr(), url_args, 4, nullptr));
        nb::object metadata = make_metadata(row, rel_str, start, end, url);
        PyObject *doc_args[] = {page_content.ptr(), metadata.ptr()};
        return pf::owned(PyObject_Vectorcall(document_type_.ptr(), doc_args, 0, document_kwnames_.ptr()));
    }

  private:
    // True when `method` is FunctionLoader.get_function_with_comment of this
    // module, bound (not an override).
    bool is_own_method(nb::handle method) {
        if (!PyMethod_Check(method.ptr()))
            return false;
        nb::handle func = PyMethod_GET_FUNCTION(method.ptr());
        if (own_method_.is_valid() && func.is(own_method_))
            return true;
        if (pf::is_function(func) && func.attr("__globals__").is(globals_) &&
            nb::cast<std::string>(func.attr("__name__")) == "get_function_with_comment") {
            own_method_ = nb::borrow(func);
            return true;
        }
        return false;
    }

    std::shared_ptr<const text::SourceText> cached_source(const std::string &file_path) {
        std::shared_ptr<const text::SourceText> src = cache_.find(file_path);
        if (!src) {
            src = std::make_shared<const text::SourceText>(read_text_at(file_path, nb::handle(), true, utf8_));
            cache_.insert(file_path, src);
        }
        return src;
    }

    nb::object make_metadata(size_t row, nb::handle rel_str, const LineNumber &start, const LineNumber &end,
                             nb::handle url) {
        nb::object name = cell_value(nodes_, row, cag::NodeTable::Name);
        nb::object node_id = cell_value(nodes_, row, cag::NodeTable::NodeId);
        std::optional<uint32_t> id = ids_.find(nodes_.get(row, cag::NodeTable::NodeId));
        nb::object from_ids = id_list(id ? edges_.incoming(*id) : std::span<const uint32_t>());
        nb::object to_ids = id_list(id ? edges_.outgoing(*id) : std::span<const uint32_t>());
        nb::object length = pf::owned(PyNumber_Subtract(end.value.ptr(), start.value.ptr()));

        nb::object metadata = pf::owned(PyDict_New());
        nb::handle values[] = {rel_str, name, node_id, from_ids, to_ids, length, url};
        for (size_t i = 0; i < std::size(values); ++i)
            if (PyDict_SetItem(metadata.ptr(), keys_[i].ptr(), values[i].ptr()) < 0)
                pf::throw_error();
        return metadata;
    }

    // A new list of node ids; each id's str is made once per run.
    nb::object id_list(std::span<const uint32_t> list) {
        nb::object out = pf::owned(PyList_New((Py_ssize_t)list.size()));
        for (size_t i = 0; i < list.size(); ++i) {
            uint32_t id = list[i];
            nb::object &s = id_strs_[id];
            if (!s.is_valid())
                s = id == cag::IdTable::none ? nb::none() : utf8_str(ids_.name(id));
            PyList_SET_ITEM(out.ptr(), (Py_ssize_t)i, s.inc_ref().ptr());
        }
        return out;
    }

    nb::handle self_, globals_;
    const cag::NodeTable &nodes_;
    const cag::IdTable &ids_;
    const cag::EdgeMaps &edges_;
    const bool utf8_;
    nb::object hexsha_, code_root_;
    std::optional<std::string> root_bytes_;
    nb::object url_from_filepath_, document_type_;
    const nb::object keys_[7] = {nb::str("source"),        nb::str("name"),        nb::str("node_id"),
                                 nb::str("from_node_ids"), nb::str("to_node_ids"), nb::str("len"),
                                 nb::str("url")};
    const nb::object document_kwnames_ = nb::make_tuple("page_content", "metadata");
    RepoBoundary boundary_;
    text::SourceCache cache_;
    std::vector<nb::object> id_strs_;
    nb::object own_method_; // the engine's get_function_with_comment, once recognised
};

// ---------------------------------------------------------------- FunctionLoader.load

pf::Generator function_loader_load_body(nb::handle self, nb::handle globals) {
    nb::object source = self.attr("_source");
    const Export export_(source, globals);
    nb::object print = pf::lookup_global(globals, "print");

    cag::NodeTable nodes;
    read_nodes(export_, nodes);
    print(nb::int_(nodes.size()));

    cag::IdTable ids;
    cag::EdgeMaps edges;
    read_edges(export_, ids, edges);
    print(nb::int_(edges.from_keys()));
    print(nb::int_(edges.to_keys()));

    DocumentMaker documents(self, source, export_, nodes, ids, edges);
    for (size_t row = 0; row < nodes.size(); ++row)
        co_yield documents.make(row);
}

constexpr pf::Params load_params{pf::arg("self")};
nb::object function_loader_load(pf::Call &c) {
    nb::handle self = c.arg<load_params, "self">();
    return pf::make_iterator(function_loader_load_body(self, c.globals()), nb::make_tuple(self, c.globals()));
}
const pf::FuncDef function_loader_load_def{
    .name = "load",
    .params = load_params,
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
