// tavrin.evaluation.retrieval.hashing_embedding: the offline embedding of
// source code (core/code_hashing) as two functions; the langchain
// Embeddings class around them is tavrin.embeddings.CodeHashingEmbeddings.
#include "core/hashing/code_hashing.hpp"
#include "pyface/pyface.hpp"

#include <vector>

namespace pf = pyface;
namespace nb = nanobind;
namespace ch = tavrin::code_hashing;

namespace {

std::string_view utf8_of(nb::handle s, const char *what, Py_ssize_t i) {
    if (!PyUnicode_Check(s.ptr()))
        pf::raise(PyExc_TypeError, "%s[%zd] is a %.200s, not a str", what, i, pf::type_name_of(s));
    return pf::utf8_view(s);
}

constexpr pf::Params embed_texts_params{pf::arg("texts", "List[str]"), pf::arg("dim", "int")};
nb::object embed_texts(pf::Call &c) {
    auto [texts, dim_obj] = c.args<embed_texts_params, "texts", "dim">();
    long long dim = nb::cast<long long>(dim_obj);
    if (dim < 1)
        pf::raise(PyExc_ValueError, "dim must be at least 1, got %lld", dim);
    nb::list out;
    std::vector<double> v; // sized at the first text, so an empty list costs nothing
    // the list's length is read on every step: allocations below may run
    // finalisers that change the list
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.ptr()); ++i) {
        nb::object text = nb::borrow(PyList_GET_ITEM(texts.ptr(), i));
        v.resize((size_t)dim);
        ch::embed(utf8_of(text, "texts", i), (size_t)dim, v.data());
        nb::object row = pf::owned(PyList_New((Py_ssize_t)dim));
        for (long long j = 0; j < dim; ++j)
            PyList_SET_ITEM(row.ptr(), (Py_ssize_t)j, pf::owned(PyFloat_FromDouble(v[(size_t)j])).release().ptr());
        out.append(row);
    }
    return out;
}
const pf::FuncDef embed_texts_def{
    .name = "embed_texts",
    .doc = "Embed every text as a list of `dim` floats of unit length (the zero vector for a text without tokens).",
    .params = embed_texts_params,
    .body = embed_texts,
    .returns = "List[List[float]]",
};

constexpr pf::Params tokenize_params{pf::arg("text", "str")};
nb::object tokenize(pf::Call &c) {
    nb::list out;
    for (const std::string &t : ch::tokens(utf8_of(c.arg<tokenize_params, "text">(), "text", 0)))
        out.append(nb::str(t.data(), t.size()));
    return out;
}
const pf::FuncDef tokenize_def{
    .name = "tokenize",
    .doc = "The tokens that embed_texts hashes for `text`, in order.",
    .params = tokenize_params,
    .body = tokenize,
    .returns = "List[str]",
};

} // namespace

PYFACE_MODULE(hashing_embedding, m) {
    m.def(embed_texts_def);
    m.def(tokenize_def);
}
