// Retriever (the interface) and EmbeddingRetriever (cosine similarity over
// the vectors an embedding model gives).
#include "dravik.hpp"

#include <optional>

using namespace nanobind::literals;

namespace dravik {

// ---------------------------------------------------------------- Retriever

namespace {
nb::object abstract_body(pf::Call &) { return nb::none(); }

constexpr pf::Params index_params{pf::arg("self"), pf::arg("docs", "list[str]").checked(pf::Check::List)};
constexpr pf::Params search_params{pf::arg("self"), pf::arg("query", "str"), pf::arg("k", "int").dflt(5)};
} // namespace

const pf::FuncDef retriever_index_def{.name = "index", .params = index_params, .body = abstract_body};
const pf::FuncDef retriever_search_def{
    .name = "search", .params = search_params, .body = abstract_body, .returns = "list[str]"};

// ---------------------------------------------------------------- EmbeddingRetriever

const char *const embedding_retriever_doc =
    "\n"
    "    A retriever that uses an embedding model (which implements langchain's Embeddings interface) to index "
    "and search documents.\n"
    "    Uses cosine similarity between query and document embeddings to rank documents.\n"
    "    ";

namespace {

constexpr pf::Params init_params{pf::arg("self"), pf::arg("embeddings", "Embeddings")};
nb::object er_init(pf::Call &c) {
    auto [self, embeddings] = c.args<init_params, "self", "embeddings">();
    nb::setattr(self, "embeddings", embeddings);
    nb::setattr(self, "docs", nb::list());
    nb::setattr(self, "doc_embeddings", nb::none());
    return nb::none();
}

nb::object er_index(pf::Call &c) {
    auto [self, given] = c.args<index_params, "self", "docs">();
    nb::object np = c.global("np");
    HeldState held(self, np);
    RetrieverState &state = *held;
    nb::object docs = state.seen.docs;

    // The documents not indexed yet, in order (a new one given twice is kept twice).
    nb::list kept;
    std::vector<Text> texts;
    Py_ssize_t n_given = PyList_GET_SIZE(given.ptr());
    for (Py_ssize_t i = 0; i < n_given; ++i) {
        nb::handle d = PyList_GET_ITEM(given.ptr(), i);
        if (!PyUnicode_Check(d.ptr()))
            pf::raise(PyExc_TypeError, "documents must be str, but docs[%zd] is a %.200s", i, pf::type_name_of(d));
        Text t = text_of(d);
        if (state.index.find(t.view) == rt::npos) {
            kept.append(d);
            texts.push_back(std::move(t));
        }
    }
    size_t n_new = texts.size();
    if (n_new == 0)
        return nb::none();

    // Everything that can fail comes before the first change, so `docs` and
    // `doc_embeddings` change together or not at all.
    size_t dim = state.matrix.dim();
    nb::object returned = nb::getattr(self, "embeddings").attr("embed_documents")(kept);
    Vectors v = read_vectors(returned, n_new, dim, np);
    held.check();

    size_t old_rows = state.matrix.rows();
    // a first batch, or float64 vectors joining float32 ones: a new matrix
    std::optional<Matrix> rebuilt;
    if (state.matrix.empty() || (!v.float32 && !state.store_float32 && state.matrix.is_float32()))
        rebuilt = Matrix::combine(&state.matrix, v, state.store_float32);
    else
        state.matrix.reserve_more(n_new);

    size_t old_len = (size_t)PyList_GET_SIZE(docs.ptr());
    if (PyList_SetSlice(docs.ptr(), (Py_ssize_t)old_len, (Py_ssize_t)old_len, kept.ptr()) < 0)
        pf::throw_error();
    std::vector<std::string_view> inserted;
    try {
        for (size_t j = 0; j < n_new; ++j)
            if (state.index.insert(texts[j].view, old_rows + j))
                inserted.push_back(texts[j].view);
        if (rebuilt) {
            nb::object view = rebuilt->view();
            nb::setattr(self, "doc_embeddings", view);
            state.matrix = std::move(*rebuilt);
            state.seen.view = view;
        } else {
            state.matrix.append(v.values.data(), n_new);
            nb::object view = state.matrix.view();
            nb::setattr(self, "doc_embeddings", view);
            state.seen.view = view;
        }
    } catch (...) {
        for (std::string_view key : inserted)
            state.index.erase(key);
        state.matrix.truncate(old_rows);
        if (PyList_SetSlice(docs.ptr(), (Py_ssize_t)old_len, (Py_ssize_t)(old_len + n_new), nullptr) < 0)
            PyErr_Clear();
        throw;
    }
    state.seen.docs_len = old_len + n_new;
    return nb::none();
}

nb::object er_search(pf::Call &c) {
    auto [self, query, k_obj] = c.args<search_params, "self", "query", "k">();
    size_t k = document_count(k_obj);
    nb::object np = c.global("np");
    RetrieverState &state = retriever_state(self, np);
    nb::list result;
    if (k == 0 || state.matrix.rows() == 0)
        return result;
    nb::object returned = nb::getattr(self, "embeddings").attr("embed_query")(query);
    // the model may have run any code: look again
    HeldState held(self, np);
    RetrieverState &now = *held;
    std::vector<double> q = query_vector(returned, now.matrix.dim(), np);
    held.check();
    for (const rt::Hit &h : now.matrix.top_k(q.data(), k))
        result.append(nb::handle(PyList_GET_ITEM(now.seen.docs.ptr(), (Py_ssize_t)h.row)));
    return result;
}

// search_many: search() for every query, in one blocked pass over the
// matrix (one tile of dot products per block of queries and chunk of rows),
// with the same rankings search() gives.
constexpr pf::Params search_many_params{pf::arg("self"), pf::arg("queries", "list[str]").checked(pf::Check::List),
                                        pf::arg("k", "int").dflt(5)};
nb::object er_search_many(pf::Call &c) {
    auto [self, queries, k_obj] = c.args<search_many_params, "self", "queries", "k">();
    size_t k = document_count(k_obj);
    nb::object np = c.global("np");
    Py_ssize_t n_queries = PyList_GET_SIZE(queries.ptr());
    nb::list result;
    if (k == 0 || retriever_state(self, np).matrix.rows() == 0) {
        for (Py_ssize_t i = 0; i < n_queries; ++i)
            result.append(nb::list());
        return result;
    }
    nb::object embed = nb::getattr(self, "embeddings").attr("embed_query");
    std::vector<nb::object> returned;
    returned.reserve((size_t)n_queries);
    for (Py_ssize_t i = 0; i < n_queries; ++i) {
        nb::handle q = PyList_GET_ITEM(queries.ptr(), i);
        if (!PyUnicode_Check(q.ptr()))
            pf::raise(PyExc_TypeError, "queries must be str, but queries[%zd] is a %.200s", i, pf::type_name_of(q));
        returned.push_back(embed(q));
    }
    HeldState held(self, np);
    RetrieverState &now = *held;
    size_t dim = now.matrix.dim();
    std::vector<double> vectors;
    vectors.reserve((size_t)n_queries * dim);
    for (const nb::object &v : returned) {
        std::vector<double> one = query_vector(v, dim, np);
        vectors.insert(vectors.end(), one.begin(), one.end());
    }
    held.check();
    size_t kk = std::min(k, now.matrix.rows());
    std::vector<rt::Hit> hits((size_t)n_queries * kk);
    now.matrix.top_k_block(vectors.data(), (size_t)n_queries, kk, hits.data());
    for (Py_ssize_t i = 0; i < n_queries; ++i) {
        nb::list found;
        for (size_t j = 0; j < kk; ++j)
            found.append(nb::handle(PyList_GET_ITEM(now.seen.docs.ptr(), (Py_ssize_t)hits[(size_t)i * kk + j].row)));
        result.append(found);
    }
    return result;
}

constexpr pf::Params cosine_similarity_params{pf::arg("self"), pf::arg("query", "np.ndarray")};
nb::object er_cosine_similarity(pf::Call &c) {
    auto [self, query] = c.args<cosine_similarity_params, "self", "query">();
    nb::object np = c.global("np");
    HeldState held(self, np);
    RetrieverState &state = *held;
    size_t rows = state.matrix.rows();
    if (rows == 0)
        return nb::float_(0.0);
    std::vector<double> q = query_vector(query, state.matrix.dim(), np);
    held.check();
    return numpy_array(state.matrix.similarities(q.data()), {rows});
}

constexpr pf::Params path_params{pf::arg("self"), pf::arg("path")};

nb::object er_save(pf::Call &c) {
    auto [self, path] = c.args<path_params, "self", "path">();
    nb::object np = c.global("np");
    nb::str prefix = pf::format(path);
    nb::object docs = nb::getattr(self, "docs");
    nb::object emb = nb::getattr(self, "doc_embeddings");
    nb::object save = np.attr("save");
    if (emb.is_none()) {
        if (nb::len(docs) != 0)
            pf::raise(PyExc_ValueError, "EmbeddingRetriever has %zd documents but no embedding vectors",
                      (Py_ssize_t)nb::len(docs));
        // an empty index: no texts, no vectors
        save(pf::cat({prefix, "_docs.npy"}), np.attr("array")(nb::list(), "dtype"_a = np.attr("str_")));
        save(pf::cat({prefix, "_doc_embeddings.npy"}), np.attr("zeros")(nb::make_tuple(0, 0)));
        return nb::none();
    }
    save(pf::cat({prefix, "_docs.npy"}), docs);
    save(pf::cat({prefix, "_doc_embeddings.npy"}), emb);
    return nb::none();
}

nb::object er_load(pf::Call &c) {
    auto [self, path] = c.args<path_params, "self", "path">();
    nb::object np = c.global("np");
    nb::str prefix = pf::format(path);
    nb::str docs_path = pf::cat({prefix, "_docs.npy"});
    nb::str emb_path = pf::cat({prefix, "_doc_embeddings.npy"});
    nb::object docs_arr = np.attr("load")(docs_path);
    nb::object emb_arr = np.attr("load")(emb_path);

    nb::object dtype = docs_arr.attr("dtype");
    size_t n = nb::cast<size_t>(docs_arr.attr("size"));
    if (nb::cast<int>(docs_arr.attr("ndim")) != 1 ||
        (n > 0 && !nb::cast<std::string>(dtype.attr("kind")).starts_with("U")))
        pf::raise(PyExc_ValueError, "%U does not hold a list of document texts (found an array of %S, shape %S)",
                  docs_path.ptr(), dtype.ptr(), docs_arr.attr("shape").ptr());
    nb::list docs;
    if (n > 0)
        docs = nb::borrow<nb::list>(docs_arr.attr("tolist")());
    nb::object emb = nb::none();
    if (n == 0) {
        if (nb::cast<size_t>(emb_arr.attr("size")) != 0)
            pf::raise(PyExc_ValueError, "%U holds embedding vectors, but %U holds no documents", emb_path.ptr(),
                      docs_path.ptr());
    } else {
        nb::object shape = emb_arr.attr("shape");
        if (nb::cast<int>(emb_arr.attr("ndim")) != 2 || nb::cast<size_t>(shape[0]) != n)
            pf::raise(PyExc_ValueError, "%U holds vectors of shape %S for the %zd documents of %U", emb_path.ptr(),
                      shape.ptr(), (Py_ssize_t)n, docs_path.ptr());
        emb = emb_arr;
    }
    std::unique_ptr<RetrieverState> fresh = build_state(self, docs, emb, np);
    // doc_embeddings becomes a view of the stored rows, as after index()
    nb::object view = fresh->matrix.view();
    fresh->seen.view = view;
    nb::setattr(self, "docs", docs);
    nb::setattr(self, "doc_embeddings", view);
    adopt_state(self, std::move(fresh));
    return nb::none();
}

} // namespace

const pf::FuncDef er_init_def{.name = "__init__", .params = init_params, .body = er_init};
const pf::FuncDef er_index_def{.name = "index", .params = index_params, .body = er_index};
const pf::FuncDef er_search_def{
    .name = "search", .params = search_params, .body = er_search, .returns = "list[str]"};
const pf::FuncDef er_search_many_def{
    .name = "search_many", .params = search_many_params, .body = er_search_many, .returns = "list[list[str]]"};
// The annotation "float" is the interface's; the value is a numpy array of
// one cosine similarity per document (in `docs` order), or the float 0.0
// while nothing is indexed.
const pf::FuncDef er_cosine_similarity_def{
    .name = "cosine_similarity",
    .params = cosine_similarity_params,
    .body = er_cosine_similarity,
    .returns = "float",
};
const pf::FuncDef er_save_def{.name = "save", .params = path_params, .body = er_save};
const pf::FuncDef er_load_def{.name = "load", .params = path_params, .body = er_load};

} // namespace dravik
