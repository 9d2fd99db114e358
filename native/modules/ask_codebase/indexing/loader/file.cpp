// tavrin.ask_codebase.indexing.loader.file: loads the files of a source tree
// as langchain documents, split by a splitter chosen from each file's
// suffix, with metadata that points back to the file (a web link or a
// local path).
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// A module global read now (then a builtin), as a generator body sees it.
nb::object global(nb::handle globals, const char *name) {
    PyObject *v = PyDict_GetItemString(globals.ptr(), name);
    if (!v) {
        PyObject *builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    }
    if (!v)
        pf::raise(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(v);
}

bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        pf::throw_error();
    return r != 0;
}

// The next item of an iterator, or an invalid object at its end.
nb::object next_item(nb::handle it) {
    PyObject *v = PyIter_Next(it.ptr());
    if (!v && PyErr_Occurred())
        pf::throw_error();
    return nb::steal(v);
}

nb::object py_iter(nb::handle o) { return pf::owned(PyObject_GetIter(o.ptr())); }

// ---------------------------------------------------------------- splitters

// Suffixes with a language-aware splitter, and their Language members.
constexpr std::pair<const char *, const char *> splitter_languages[] = {
    {".py", "PYTHON"}, {".js", "JS"},     {".go", "GO"},       {".java", "JAVA"},
    {".php", "PHP"},   {".rs", "RUST"},   {".rb", "RUBY"},     {".scala", "SCALA"},
    {".swift", "SWIFT"}, {".md", "MARKDOWN"},
};

nb::object get_file_splitter(pf::Call &c) {
    nb::handle filepath = c[0], chunk_size = c[1], chunk_overlap = c[2];
    nb::object language_enum = c.global("Language");
    nb::dict splitter_lang_mapping;
    for (auto [suffix, member] : splitter_languages)
        splitter_lang_mapping[suffix] = language_enum.attr(member);

    nb::object suffix = filepath.attr("suffix");
    PyObject *found = PyDict_GetItemWithError(splitter_lang_mapping.ptr(), suffix.ptr());
    if (!found && PyErr_Occurred())
        pf::throw_error();
    nb::object language = nb::borrow(found ? found : Py_None);
    if (truthy(language))
        return c.global("RecursiveCharacterTextSplitter")
            .attr("from_language")("language"_a = language, "chunk_size"_a = chunk_size,
                                   "chunk_overlap"_a = chunk_overlap);

    // Other files are cut by tokens, at a tenth of the character size.
    nb::object tokens = pf::owned(PyNumber_TrueDivide(chunk_size.ptr(), nb::int_(10).ptr()));
    return c.global("CharacterTextSplitter")
        .attr("from_tiktoken_encoder")("model_name"_a = "text-embedding-ada-002",
                                       "disallowed_special"_a = nb::tuple(),
                                       "chunk_size"_a = tokens, "chunk_overlap"_a = chunk_overlap);
}
const pf::FuncDef get_file_splitter_def{
    .name = "get_file_splitter",
    .params = {pf::arg("filepath", "Path"), pf::arg("chunk_size", "int").dflt(5000),
               pf::arg("chunk_overlap", "int").dflt(50)},
    .body = get_file_splitter,
    .returns = "TextSplitter",
};

// ---------------------------------------------------------------- references

// The repository address without a trailing ".git" (the extension of its
// last segment, leading dots of that segment not counting); any other
// address is kept whole, dots in a repository's name included.
nb::object repo_base_url(nb::handle repo_url) {
    PyObject *url = repo_url.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(url);
    Py_ssize_t sep = PyUnicode_FindChar(url, '/', 0, n, -1);
    if (sep == -2)
        pf::throw_error();
    Py_ssize_t start = sep + 1;
    while (start < n && PyUnicode_READ_CHAR(url, start) == '.')
        ++start;
    nb::str git(".git");
    if (n - start > 4) {
        Py_ssize_t match = PyUnicode_Tailmatch(url, git.ptr(), start, n, 1);
        if (match < 0)
            pf::throw_error();
        if (match)
            return pf::owned(PyUnicode_Substring(url, 0, n - 4));
    }
    return nb::borrow(repo_url);
}

nb::object github_url_maker(pf::Call &c) {
    nb::handle relpath = c[0], repo_url = c[1], hexsha = c[2];
    return pf::cat({repo_base_url(repo_url), "/blob/", hexsha, "/", relpath});
}
const pf::FuncDef github_url_maker_def{
    .name = "_github_url_maker",
    .params = {pf::arg("relpath", "str"), pf::arg("repo_url", "str"),
               pf::arg("hexsha", "str").dflt("main")},
    .body = github_url_maker,
    .returns = "str",
};

nb::object local_file_maker(pf::Call &c) {
    return c.global("os").attr("path").attr("join")(c[1], c[0]);
}
const pf::FuncDef local_file_maker_def{
    .name = "_local_file_maker",
    .params = {pf::arg("relpath", "str"), pf::arg("repo_dir", "str")},
    .body = local_file_maker,
    .returns = "str",
};

nb::object gen_github_reference_maker(pf::Call &c) {
    return c.global("functools").attr("partial")(c.global("_github_url_maker"),
                                                 "repo_url"_a = c[0], "hexsha"_a = c[1]);
}
const pf::FuncDef gen_github_reference_maker_def{
    .name = "gen_github_reference_maker",
    .params = {pf::arg("repo_url", "str"), pf::arg("hexsha", "str").dflt("main")},
    .body = gen_github_reference_maker,
    .returns = "Callable[[str], str]",
};

nb::object gen_local_reference_maker(pf::Call &c) {
    return c.global("functools").attr("partial")(c.global("_local_file_maker"),
                                                 "repo_dir"_a = c[0]);
}
const pf::FuncDef gen_local_reference_maker_def{
    .name = "gen_local_reference_maker",
    .params = {pf::arg("repo_dir", "str")},
    .body = gen_local_reference_maker,
    .returns = "Callable[[str], str]",
};

// ---------------------------------------------------------------- FileLoader

const char *file_loader_doc = "\n    Load source files and split them into documents\n    ";

nb::object file_loader_init(pf::Call &c) {
    nb::setattr(c[0], "sources", c[1]);
    return nb::none();
}
const pf::FuncDef file_loader_init_def{
    .name = "__init__",
    .params = {pf::arg("self"), pf::arg("sources", "Iterable[FileSource]")},
    .body = file_loader_init,
};

pf::Generator file_loader_load_body(nb::handle self, nb::handle globals) {
    nb::object sources = py_iter(self.attr("sources"));
    while (nb::object source = next_item(sources)) {
        nb::object root = global(globals, "Path")(source.attr("path"));
        nb::object file_filter = source.attr("file_filter");
        nb::object ref_maker = source.attr("ref_maker");
        nb::object rel_root = source.attr("rel_root");

        nb::object files = py_iter(self.attr("_iter_path_or_dir")(root));
        while (nb::object f = next_item(files)) {
            if (truthy(file_filter) && !truthy(file_filter(nb::str(f)))) {
                global(globals, "logger").attr("info")(pf::cat({"Skip file: ", f}));
                continue;
            }
            nb::object text = f.attr("read_text")("encoding"_a = "utf-8", "errors"_a = "ignore");
            nb::object rel_path = truthy(rel_root) ? nb::str(f.attr("relative_to")(rel_root))
                                                   : nb::str(f);
            nb::object reference = truthy(ref_maker) ? ref_maker(rel_path) : nb::none();
            nb::object name = global(globals, "os").attr("path").attr("basename")(rel_path);
            nb::object metadata = global(globals, "FileMetadata")(
                "filepath"_a = rel_path, "reference"_a = reference, "name"_a = name,
                "source"_a = rel_path, "url"_a = reference);
            nb::object document = global(globals, "Document")(
                "page_content"_a = text, "metadata"_a = metadata.attr("_asdict")());
            nb::object splitter = global(globals, "get_file_splitter")("filepath"_a = f);
            nb::list batch;
            batch.append(document);
            nb::object chunks = py_iter(splitter.attr("split_documents")(batch));
            while (nb::object chunk = next_item(chunks))
                co_yield std::move(chunk);
        }
    }
}

nb::object file_loader_load(pf::Call &c) {
    return pf::make_iterator(file_loader_load_body(c[0], c.globals()),
                             nb::make_tuple(c[0], c.globals()));
}
const pf::FuncDef file_loader_load_def{
    .name = "load",
    .params = {pf::arg("self")},
    .body = file_loader_load,
    .returns = "Iterator[Document]",
};

pf::Generator iter_path_or_dir_body(nb::handle path) {
    if (truthy(path.attr("is_file")())) {
        co_yield nb::borrow(path);
        co_return;
    }
    if (truthy(path.attr("is_dir")())) {
        nb::object entries = py_iter(path.attr("rglob")("*"));
        while (nb::object entry = next_item(entries))
            if (truthy(entry.attr("is_file")()))
                co_yield std::move(entry);
    }
}

nb::object iter_path_or_dir(pf::Call &c) {
    return pf::make_iterator(iter_path_or_dir_body(c[1]), nb::make_tuple(c[1]));
}
const pf::FuncDef iter_path_or_dir_def{
    .name = "_iter_path_or_dir",
    .params = {pf::arg("self"), pf::arg("path", "Path")},
    .body = iter_path_or_dir,
    .returns = "Iterator[Path]",
};

} // namespace

PYFACE_MODULE(file, m) {
    m.import("os");
    m.import("functools");
    m.from("pathlib", {"Path"});
    m.from("typing", {"Callable", "Iterable", "Iterator", "NamedTuple", "Optional"});
    m.from("langchain.schema", {"Document"});
    m.from("langchain.text_splitter",
           {"CharacterTextSplitter", "Language", "RecursiveCharacterTextSplitter", "TextSplitter"});
    m.from("loguru", {"logger"});
    m.from("tavrin.ask_codebase.indexing.loader.base", {"Loader"});

    m.def(get_file_splitter_def);
    m.def(github_url_maker_def);
    m.def(local_file_maker_def);
    m.def(gen_github_reference_maker_def);
    m.def(gen_local_reference_maker_def);

    pf::ClassBuilder(m, "FileSource", {m.get("NamedTuple")})
        .annotation("path", nb::str("str"))
        .annotation("rel_root", nb::str("Optional[str]"))
        .annotation("ref_maker", nb::str("Optional[Callable[[str], str]]"))
        .annotation("file_filter", nb::str("Optional[Callable[[str], bool]]"))
        .attr("rel_root", nb::none())
        .attr("ref_maker", nb::none())
        .attr("file_filter", nb::none())
        .finish();

    pf::ClassBuilder(m, "FileMetadata", {m.get("NamedTuple")})
        .annotation("filepath", nb::str("str"))
        .annotation("reference", nb::str("str"))
        .annotation("name", nb::str("str"))
        .annotation("source", nb::str("str"))
        .annotation("url", nb::str("str"))
        .annotation("label", nb::str("Optional[str]"))
        .attr("label", nb::none())
        .finish();

    pf::ClassBuilder(m, "FileLoader", {m.get("Loader")}, file_loader_doc)
        .method(file_loader_init_def)
        .method(file_loader_load_def)
        .method(iter_path_or_dir_def)
        .finish();
}
