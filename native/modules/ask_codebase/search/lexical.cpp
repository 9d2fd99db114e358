// tavrin.ask_codebase.search.lexical: the lexical channel of a source's
// search (core/search/lexical: BM25 over code-aware terms) and the fusion
// with a dense search's hits. An index is made from chunks as bytes (which
// the store keeps beside the vectors), opened from those bytes into a
// handle, and searched through the handle; tavrin.ask_codebase.search wraps
// the handle in a class.
#include "core/hashing/code_hashing.hpp"
#include "core/search/lexical.hpp"
#include "pyface/pyface.hpp"

#include <cmath>
#include <memory>
#include <vector>

namespace pf = pyface;
namespace nb = nanobind;
namespace ls = tavrin::search;

namespace {

constexpr const char *handle_name = "tavrin.ask_codebase.search.lexical.index";

std::string_view str_item(nb::handle s, const char *what, Py_ssize_t i) {
    if (!PyUnicode_Check(s.ptr()))
        pf::raise(PyExc_TypeError, "%s[%zd] is a %.200s, not a str", what, i, pf::type_name_of(s));
    return pf::utf8_view(s);
}

std::uint64_t id_item(nb::handle v, const char *what, Py_ssize_t i) {
    if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr()))
        pf::raise(PyExc_TypeError, "%s[%zd] is a %.200s, not an int", what, i, pf::type_name_of(v));
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred())
        pf::throw_error();
    if (overflow || x < 0)
        pf::raise(PyExc_ValueError, "%s[%zd] is not a point id from 0 to 2**63 - 1", what, i);
    return (std::uint64_t)x;
}

// the ids of a list, read once (finalisers run by allocations may change the list)
std::vector<std::uint64_t> ids_of(nb::handle list, const char *what) {
    std::vector<std::uint64_t> out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i)
        out.push_back(id_item(nb::borrow(PyList_GET_ITEM(list.ptr(), i)), what, i));
    return out;
}

std::string_view bytes_of(nb::handle data, const char *what) {
    if (!PyBytes_Check(data.ptr()))
        pf::raise(PyExc_TypeError, "%s must be bytes, not %.200s", what, pf::type_name_of(data));
    return {PyBytes_AS_STRING(data.ptr()), (size_t)PyBytes_GET_SIZE(data.ptr())};
}

ls::LexicalIndex &index_of(nb::handle handle) {
    if (!PyCapsule_IsValid(handle.ptr(), handle_name))
        pf::raise(PyExc_TypeError, "index must be a handle made by open_index, not %.200s",
                  pf::type_name_of(handle));
    return *static_cast<ls::LexicalIndex *>(PyCapsule_GetPointer(handle.ptr(), handle_name));
}

std::size_t count_of(nb::handle k, const char *what) {
    long long n = nb::cast<long long>(k);
    if (n < 0)
        pf::raise(PyExc_ValueError, "%s must be at least 0, got %lld", what, n);
    return (std::size_t)n;
}

nb::list str_list(const std::vector<std::string> &items) {
    nb::list out;
    for (const std::string &s : items)
        out.append(nb::str(s.data(), s.size()));
    return out;
}

// ---------------------------------------------------------------- terms

constexpr pf::Params terms_params{pf::arg("text", "str")};
nb::object terms(pf::Call &c) {
    return str_list(tavrin::code_hashing::tokens(pf::utf8_view(c.arg<terms_params, "text">())));
}
const pf::FuncDef terms_def{
    .name = "terms",
    .doc = "The terms of `text` as the lexical search counts them, in order: identifiers split at snake_case, "
           "camelCase and digits, lower-cased, with the whole identifier beside its parts.",
    .params = terms_params,
    .body = terms,
    .returns = "List[str]",
};

constexpr pf::Params path_terms_params{pf::arg("path", "str")};
nb::object path_terms(pf::Call &c) {
    return str_list(ls::path_terms(pf::utf8_view(c.arg<path_terms_params, "path">())));
}
const pf::FuncDef path_terms_def{
    .name = "path_terms",
    .doc = "The terms a chunk's file path adds to it: its components split like identifiers, sorted, each once.",
    .params = path_terms_params,
    .body = path_terms,
    .returns = "List[str]",
};

constexpr pf::Params definitions_params{pf::arg("text", "str")};
nb::object definitions(pf::Call &c) {
    return str_list(ls::definitions(pf::utf8_view(c.arg<definitions_params, "text">())));
}
const pf::FuncDef definitions_def{
    .name = "definitions",
    .doc = "The names of the symbols `text` defines (functions, classes, types, modules), in order, each once.",
    .params = definitions_params,
    .body = definitions,
    .returns = "List[str]",
};

constexpr pf::Params kind_params{pf::arg("path", "str")};
nb::object path_kind(pf::Call &c) {
    std::string_view path = pf::utf8_view(c.arg<kind_params, "path">());
    const char *kind = ls::is_documentation(path) ? "documentation" : ls::is_test(path) ? "test" : "code";
    return nb::str(kind);
}
const pf::FuncDef path_kind_def{
    .name = "path_kind",
    .doc = "What the ranking step takes the file `path` for: \"documentation\", \"test\" or \"code\".",
    .params = kind_params,
    .body = path_kind,
    .returns = "str",
};

// ---------------------------------------------------------------- the index

constexpr pf::Params open_index_params{pf::arg("data", "Optional[bytes]").none()};
nb::object open_index(pf::Call &c) {
    nb::handle data = c.arg<open_index_params, "data">();
    auto index = std::make_unique<ls::LexicalIndex>();
    if (!data.is_none()) {
        try {
            *index = ls::LexicalIndex::deserialize(bytes_of(data, "data"));
        } catch (const std::runtime_error &e) {
            pf::raise(PyExc_ValueError, "%s", e.what());
        }
    }
    nb::object cap = pf::owned(PyCapsule_New(index.get(), handle_name, [](PyObject *o) {
        delete static_cast<ls::LexicalIndex *>(PyCapsule_GetPointer(o, handle_name));
    }));
    index.release();
    return cap;
}
const pf::FuncDef open_index_def{
    .name = "open_index",
    .doc = "A handle of the lexical index in `data` (from index_bytes), or of an empty one. Damaged bytes raise "
           "ValueError.",
    .params = open_index_params,
    .body = open_index,
    .returns = "object",
};

constexpr pf::Params add_chunks_params{
    pf::arg("index"),
    pf::arg("ids", "List[int]"),
    pf::arg("texts", "List[str]"),
    pf::arg("paths", "List[str]"),
};
nb::object add_chunks(pf::Call &c) {
    auto [handle, ids_obj, texts, paths] = c.args<add_chunks_params, "index", "ids", "texts", "paths">();
    ls::LexicalIndex &index = index_of(handle);
    std::vector<std::uint64_t> ids = ids_of(ids_obj, "ids");
    if ((size_t)PyList_GET_SIZE(texts.ptr()) != ids.size() || (size_t)PyList_GET_SIZE(paths.ptr()) != ids.size())
        pf::raise(PyExc_ValueError, "ids, texts and paths differ in length (%zd, %zd, %zd)", (Py_ssize_t)ids.size(),
                  PyList_GET_SIZE(texts.ptr()), PyList_GET_SIZE(paths.ptr()));
    for (size_t i = 0; i < ids.size(); ++i) {
        if ((size_t)PyList_GET_SIZE(texts.ptr()) <= i || (size_t)PyList_GET_SIZE(paths.ptr()) <= i)
            pf::raise(PyExc_RuntimeError, "texts or paths changed while the chunks were added");
        // held: a str's UTF-8 view lives as long as the str
        nb::object text = nb::borrow(PyList_GET_ITEM(texts.ptr(), (Py_ssize_t)i));
        nb::object path = nb::borrow(PyList_GET_ITEM(paths.ptr(), (Py_ssize_t)i));
        std::string_view t = str_item(text, "texts", (Py_ssize_t)i);
        std::string_view p = str_item(path, "paths", (Py_ssize_t)i);
        try {
            index.add(ids[i], t, p);
        } catch (const std::invalid_argument &) {
            pf::raise(PyExc_ValueError, "ids[%zd]: the chunk %llu is already in the index", (Py_ssize_t)i,
                      (unsigned long long)ids[i]);
        }
    }
    return nb::none();
}
const pf::FuncDef add_chunks_def{
    .name = "add_chunks",
    .doc = "Adds chunks to the index: their point ids (new to the index), texts and file paths.",
    .params = add_chunks_params,
    .body = add_chunks,
    .returns = "None",
};

constexpr pf::Params drop_chunks_params{pf::arg("index"), pf::arg("ids", "List[int]")};
nb::object drop_chunks(pf::Call &c) {
    auto [handle, ids] = c.args<drop_chunks_params, "index", "ids">();
    ls::LexicalIndex &index = index_of(handle);
    index.remove(ids_of(ids, "ids"));
    return nb::none();
}
const pf::FuncDef drop_chunks_def{
    .name = "drop_chunks",
    .doc = "Removes the chunks with these point ids from the index (ids it does not hold are ignored).",
    .params = drop_chunks_params,
    .body = drop_chunks,
    .returns = "None",
};

constexpr pf::Params index_bytes_params{pf::arg("index")};
nb::object index_bytes(pf::Call &c) {
    std::string data = index_of(c.arg<index_bytes_params, "index">()).serialize();
    return pf::owned(PyBytes_FromStringAndSize(data.data(), (Py_ssize_t)data.size()));
}
const pf::FuncDef index_bytes_def{
    .name = "index_bytes",
    .doc = "The index as bytes, for open_index to read back.",
    .params = index_bytes_params,
    .body = index_bytes,
    .returns = "bytes",
};

constexpr pf::Params chunk_ids_params{pf::arg("index")};
nb::object chunk_ids(pf::Call &c) {
    nb::list out;
    for (std::uint64_t id : index_of(c.arg<chunk_ids_params, "index">()).ids())
        out.append(nb::int_(id));
    return out;
}
const pf::FuncDef chunk_ids_def{
    .name = "chunk_ids",
    .doc = "The point ids of the chunks in the index, in the order they were added.",
    .params = chunk_ids_params,
    .body = chunk_ids,
    .returns = "List[int]",
};

constexpr pf::Params size_params{pf::arg("index")};
nb::object size(pf::Call &c) { return nb::int_(index_of(c.arg<size_params, "index">()).size()); }
const pf::FuncDef size_def{
    .name = "size",
    .doc = "The number of chunks in the index.",
    .params = size_params,
    .body = size,
    .returns = "int",
};

constexpr pf::Params search_params{pf::arg("index"), pf::arg("query", "str"), pf::arg("k", "int")};
nb::object search(pf::Call &c) {
    auto [handle, query, k] = c.args<search_params, "index", "query", "k">();
    ls::LexicalIndex &index = index_of(handle);
    std::vector<ls::Hit> hits = index.search(pf::utf8_view(query), count_of(k, "k"));
    nb::list out;
    for (const ls::Hit &h : hits)
        out.append(nb::make_tuple(nb::int_(h.id), nb::float_(h.score)));
    return out;
}
const pf::FuncDef search_def{
    .name = "search",
    .doc = "The `k` chunks that BM25 finds best for `query`: (point id, score), best first.",
    .params = search_params,
    .body = search,
    .returns = "List[Tuple[int, float]]",
};

constexpr pf::Params fuse_params{
    pf::arg("index"),
    pf::arg("query", "str"),
    pf::arg("dense", "List[int]"),
    pf::arg("lexical", "List[int]"),
    pf::arg("k", "int"),
    pf::arg("rerank", "bool").dflt(true).kwonly(),
    pf::arg("rrf_k", "float").dflt(60.0).kwonly(),
    pf::arg("path_boost", "float").dflt(1.0).kwonly(),
    pf::arg("definition_boost", "float").dflt(1.0).kwonly(),
    pf::arg("documentation_factor", "float").dflt(0.5).kwonly(),
    pf::arg("prose_documentation_factor", "float").dflt(0.8).kwonly(),
    pf::arg("test_factor", "float").dflt(0.7).kwonly(),
};
nb::object fuse(pf::Call &c) {
    auto [handle, query, dense, lexical, k, rerank] =
        c.args<fuse_params, "index", "query", "dense", "lexical", "k", "rerank">();
    auto [rrf_k, path_boost, definition_boost, documentation, prose_documentation, test] =
        c.args<fuse_params, "rrf_k", "path_boost", "definition_boost", "documentation_factor",
               "prose_documentation_factor", "test_factor">();
    ls::LexicalIndex &index = index_of(handle);
    ls::RankOptions options;
    options.rerank = pf::truthy(rerank);
    auto setting = [](nb::handle value, const char *name) {
        double x = nb::cast<double>(value);
        if (!(x >= 0.0) || !std::isfinite(x))
            pf::raise(PyExc_ValueError, "%s must be a finite number at least 0", name);
        return x;
    };
    options.rrf_k = setting(rrf_k, "rrf_k");
    options.path_boost = setting(path_boost, "path_boost");
    options.definition_boost = setting(definition_boost, "definition_boost");
    options.documentation_factor = setting(documentation, "documentation_factor");
    options.prose_documentation_factor = setting(prose_documentation, "prose_documentation_factor");
    options.test_factor = setting(test, "test_factor");
    std::vector<std::uint64_t> d = ids_of(dense, "dense");
    std::vector<std::uint64_t> l = ids_of(lexical, "lexical");
    std::vector<ls::RankedHit> hits = index.fuse(pf::utf8_view(query), d, l, count_of(k, "k"), options);
    nb::list out;
    for (const ls::RankedHit &h : hits)
        out.append(nb::make_tuple(nb::int_(h.id), nb::float_(h.score), nb::int_(h.dense_rank),
                                  nb::int_(h.lexical_rank)));
    return out;
}
const pf::FuncDef fuse_def{
    .name = "fuse",
    .doc = "Fuses the ranked point ids of a dense and a lexical search (reciprocal rank fusion) and, with "
           "`rerank`, applies the ranking step (query terms in the file's path or among the names the chunk "
           "defines lift it; documentation and tests yield to code). Returns the best `k` as (point id, score, "
           "dense rank, lexical rank), a rank 0 where that channel did not find the chunk.",
    .params = fuse_params,
    .body = fuse,
    .returns = "List[Tuple[int, float, int, int]]",
};

} // namespace

PYFACE_MODULE(lexical, m) {
    m.def(terms_def);
    m.def(path_terms_def);
    m.def(definitions_def);
    m.def(path_kind_def);
    m.def(open_index_def);
    m.def(add_chunks_def);
    m.def(drop_chunks_def);
    m.def(index_bytes_def);
    m.def(chunk_ids_def);
    m.def(size_def);
    m.def(search_def);
    m.def(fuse_def);
}
