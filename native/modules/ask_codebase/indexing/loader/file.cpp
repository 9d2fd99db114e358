// tavrin.ask_codebase.indexing.loader.file: loads the files of a source tree
// as langchain documents, split by a splitter chosen from each file's
// suffix, with metadata that points back to the file (a web link or a
// local path).
#include "pyface/pyface.hpp"

#include <optional>

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The next item of an iterator, or an invalid object at its end.
nb::object next_item(nb::handle it) {
    PyObject *v = PyIter_Next(it.ptr());
    if (!v && PyErr_Occurred())
        pf::throw_error();
    return nb::steal(v);
}

nb::object py_iter(nb::handle o) { return pf::owned(PyObject_GetIter(o.ptr())); }

// ---------------------------------------------------------------- splitters

constexpr pf::Params get_file_splitter_params{pf::arg("filepath", "Path"), pf::arg("chunk_size", "int").dflt(5000),
                                              pf::arg("chunk_overlap", "int").dflt(50)};
nb::object get_file_splitter(pf::Call &c) {
    auto [filepath, chunk_size, chunk_overlap] =
        c.args<get_file_splitter_params, "filepath", "chunk_size", "chunk_overlap">();
    // Suffixes with a language-aware splitter, and their Language members
    // (literal names, which nanobind keeps interned).
    nb::object language_enum = c.global("Language");
    nb::dict splitter_lang_mapping;
    splitter_lang_mapping[".py"] = language_enum.attr("PYTHON");
    splitter_lang_mapping[".js"] = language_enum.attr("JS");
    splitter_lang_mapping[".go"] = language_enum.attr("GO");
    splitter_lang_mapping[".java"] = language_enum.attr("JAVA");
    splitter_lang_mapping[".php"] = language_enum.attr("PHP");
    splitter_lang_mapping[".rs"] = language_enum.attr("RUST");
    splitter_lang_mapping[".rb"] = language_enum.attr("RUBY");
    splitter_lang_mapping[".scala"] = language_enum.attr("SCALA");
    splitter_lang_mapping[".swift"] = language_enum.attr("SWIFT");
    splitter_lang_mapping[".md"] = language_enum.attr("MARKDOWN");

    nb::object suffix = filepath.attr("suffix");
    PyObject *found = PyDict_GetItemWithError(splitter_lang_mapping.ptr(), suffix.ptr());
    if (!found && PyErr_Occurred())
        pf::throw_error();
    nb::object language = nb::borrow(found ? found : Py_None);
    if (pf::truthy(language))
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
    .params = get_file_splitter_params,
    .body = get_file_splitter,
    .returns = "TextSplitter",
};

// ---------------------------------------------------------------- references

// The repository address without trailing slashes and then without a
// trailing ".git" (the extension of its last segment, leading dots of that
// segment not counting); any other address is kept whole, dots in a
// repository's name included.
nb::object repo_base_url(nb::handle repo_url) {
    PyObject *url = repo_url.ptr();
    Py_ssize_t full = PyUnicode_GET_LENGTH(url);
    Py_ssize_t n = full;
    while (n > 0 && PyUnicode_READ_CHAR(url, n - 1) == '/')
        --n;
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
    if (n < full)
        return pf::owned(PyUnicode_Substring(url, 0, n));
    return nb::borrow(repo_url);
}

constexpr pf::Params github_url_maker_params{pf::arg("relpath", "str"), pf::arg("repo_url", "str"),
                                             pf::arg("hexsha", "str").dflt("main")};
nb::object github_url_maker(pf::Call &c) {
    auto [relpath, repo_url, hexsha] = c.args<github_url_maker_params, "relpath", "repo_url", "hexsha">();
    return pf::cat({repo_base_url(repo_url), "/blob/", hexsha, "/", relpath});
}
const pf::FuncDef github_url_maker_def{
    .name = "_github_url_maker",
    .params = github_url_maker_params,
    .body = github_url_maker,
    .returns = "str",
};

constexpr pf::Params local_file_maker_params{pf::arg("relpath", "str"), pf::arg("repo_dir", "str")};
nb::object local_file_maker(pf::Call &c) {
    auto [relpath, repo_dir] = c.args<local_file_maker_params, "relpath", "repo_dir">();
    return c.global("os").attr("path").attr("join")(repo_dir, relpath);
}
const pf::FuncDef local_file_maker_def{
    .name = "_local_file_maker",
    .params = local_file_maker_params,
    .body = local_file_maker,
    .returns = "str",
};

constexpr pf::Params gen_github_reference_maker_params{pf::arg("repo_url", "str"),
                                                       pf::arg("hexsha", "str").dflt("main")};
nb::object gen_github_reference_maker(pf::Call &c) {
    auto [repo_url, hexsha] = c.args<gen_github_reference_maker_params, "repo_url", "hexsha">();
    return c.global("functools").attr("partial")(c.global("_github_url_maker"),
                                                 "repo_url"_a = repo_url, "hexsha"_a = hexsha);
}
const pf::FuncDef gen_github_reference_maker_def{
    .name = "gen_github_reference_maker",
    .params = gen_github_reference_maker_params,
    .body = gen_github_reference_maker,
    .returns = "Callable[[str], str]",
};

constexpr pf::Params gen_local_reference_maker_params{pf::arg("repo_dir", "str")};
nb::object gen_local_reference_maker(pf::Call &c) {
    nb::handle repo_dir = c.arg<gen_local_reference_maker_params, "repo_dir">();
    return c.global("functools").attr("partial")(c.global("_local_file_maker"), "repo_dir"_a = repo_dir);
}
const pf::FuncDef gen_local_reference_maker_def{
    .name = "gen_local_reference_maker",
    .params = gen_local_reference_maker_params,
    .body = gen_local_reference_maker,
    .returns = "Callable[[str], str]",
};

// ---------------------------------------------------------------- FileLoader

const char *file_loader_doc = "\n    Load source files and split them into documents\n    ";

constexpr pf::Params file_loader_init_params{pf::arg("self"), pf::arg("sources", "Iterable[FileSource]")};
nb::object file_loader_init(pf::Call &c) {
    auto [self, sources] = c.args<file_loader_init_params, "self", "sources">();
    nb::setattr(self, "sources", sources);
    return nb::none();
}
const pf::FuncDef file_loader_init_def{
    .name = "__init__",
    .params = file_loader_init_params,
    .body = file_loader_init,
};

// An interned str, as the names of compiled code are.
nb::object interned(const char *s) { return pf::owned(PyUnicode_InternFromString(s)); }

nb::object interned_tuple(std::initializer_list<const char *> names) {
    nb::object t = pf::owned(PyTuple_New((Py_ssize_t)names.size()));
    Py_ssize_t i = 0;
    for (const char *n : names)
        PyTuple_SET_ITEM(t.ptr(), i++, interned(n).release().ptr());
    return t;
}

// f(*args) where the last len(kwnames) values are passed by keyword.
nb::object vcall(nb::handle f, std::initializer_list<nb::handle> args, nb::handle kwnames) {
    PyObject *buf[8];
    size_t n = 0;
    for (nb::handle h : args)
        buf[n++] = h.ptr();
    size_t nkw = (size_t)PyTuple_GET_SIZE(kwnames.ptr());
    return pf::owned(PyObject_Vectorcall(f.ptr(), buf, n - nkw, kwnames.ptr()));
}

// obj.name(*args), the last len(kwnames) by keyword (kwnames may be null).
nb::object vmethod(nb::handle obj, nb::handle name, std::initializer_list<nb::handle> args,
                   nb::handle kwnames = nb::handle()) {
    PyObject *buf[8];
    size_t n = 0;
    buf[n++] = obj.ptr();
    for (nb::handle h : args)
        buf[n++] = h.ptr();
    size_t nkw = kwnames.is_valid() ? (size_t)PyTuple_GET_SIZE(kwnames.ptr()) : 0;
    return pf::owned(PyObject_VectorcallMethod(name.ptr(), buf, n - nkw,
                                               kwnames.is_valid() ? kwnames.ptr() : nullptr));
}

// os.path.realpath(path), through the module's `os`.
nb::object real_path(nb::handle globals, nb::handle path) {
    return nb::str(pf::lookup_global(globals, "os").attr("path").attr("realpath")(path));
}

// The real path of a directory being walked, and the test of whether a real
// path lies inside it.
struct WalkedRoot {
    nb::object real;   // the directory's real path
    nb::object prefix; // the same, ending in one separator

    bool contains(nb::handle path) const {
        if (PyUnicode_Compare(path.ptr(), real.ptr()) == 0)
            return true;
        if (PyErr_Occurred())
            pf::throw_error();
        Py_ssize_t n = PyUnicode_GET_LENGTH(path.ptr());
        Py_ssize_t match = PyUnicode_Tailmatch(path.ptr(), prefix.ptr(), 0, n, -1);
        if (match < 0)
            pf::throw_error();
        return match != 0;
    }
};

std::optional<WalkedRoot> walked_root(nb::handle globals, nb::handle root) {
    nb::object os_path = pf::lookup_global(globals, "os").attr("path");
    nb::object real = nb::str(os_path.attr("realpath")(root));
    if (!pf::truthy(os_path.attr("isdir")(real)))
        return std::nullopt;
    nb::object sep = nb::str(pf::lookup_global(globals, "os").attr("sep"));
    Py_ssize_t n = PyUnicode_GET_LENGTH(real.ptr());
    Py_ssize_t ends = PyUnicode_Tailmatch(real.ptr(), sep.ptr(), 0, n, 1);
    if (ends < 0)
        pf::throw_error();
    if (ends)
        return WalkedRoot{real, real};
    return WalkedRoot{real, pf::cat({real, sep})};
}

pf::Generator file_loader_load_body(nb::handle self, nb::handle globals) {
    // the names every file needs, made once
    const nb::object n_path = interned("Path"), n_log_info = interned("_log_info"), n_os = interned("os"),
                     n_metadata = interned("FileMetadata"), n_document = interned("Document"),
                     n_splitter = interned("get_file_splitter"),
                     n_read_text = interned("read_text"), n_relative_to = interned("relative_to"),
                     n_asdict = interned("_asdict"), n_split = interned("split_documents"),
                     n_basename = interned("basename");
    const nb::object kw_read = interned_tuple({"encoding", "errors"}),
                     kw_metadata = interned_tuple({"filepath", "reference", "name", "source", "url"}),
                     kw_document = interned_tuple({"page_content", "metadata"}),
                     kw_splitter = interned_tuple({"filepath"});
    const nb::object utf8 = nb::str("utf-8"), ignore = nb::str("ignore");

    nb::object sources = py_iter(self.attr("sources"));
    while (nb::object source = next_item(sources)) {
        nb::object root = pf::lookup_global(globals, n_path)(source.attr("path"));
        nb::object file_filter = source.attr("file_filter");
        nb::object ref_maker = source.attr("ref_maker");
        nb::object rel_root = source.attr("rel_root");
        // The real folder of a walked directory: a file reached by the walk
        // whose real path lies outside it (a symbolic link pointing out) is
        // skipped, so a tree cannot make the loader read files elsewhere. A
        // root that is itself a file was named by the caller and is read.
        std::optional<WalkedRoot> walked = walked_root(globals, root);

        nb::object files = py_iter(self.attr("_iter_path_or_dir")(root));
        while (nb::object f = next_item(files)) {
            if (walked) {
                nb::object real = real_path(globals, f);
                if (!walked->contains(real)) {
                    pf::lookup_global(globals, n_log_info)(pf::cat(
                        {"Skip file: ", f, " (a link to ", real, ", outside ", walked->real, ")"}));
                    continue;
                }
            }
            if (pf::truthy(file_filter) && !pf::truthy(file_filter(nb::str(f)))) {
                pf::lookup_global(globals, n_log_info)(pf::cat({"Skip file: ", f}));
                continue;
            }
            nb::object text = vmethod(f, n_read_text, {utf8, ignore}, kw_read);
            nb::object rel_path = pf::truthy(rel_root) ? nb::str(vmethod(f, n_relative_to, {rel_root}))
                                                   : nb::str(f);
            nb::object reference = pf::truthy(ref_maker) ? ref_maker(rel_path) : nb::none();
            nb::object name = vmethod(pf::lookup_global(globals, n_os).attr("path"), n_basename, {rel_path});
            nb::object metadata = vcall(pf::lookup_global(globals, n_metadata),
                                        {rel_path, reference, name, rel_path, reference}, kw_metadata);
            nb::object document = vcall(pf::lookup_global(globals, n_document),
                                        {text, vmethod(metadata, n_asdict, {})}, kw_document);
            nb::object splitter = vcall(pf::lookup_global(globals, n_splitter), {f}, kw_splitter);
            nb::object batch = pf::owned(PyList_New(1));
            PyList_SET_ITEM(batch.ptr(), 0, document.release().ptr());
            nb::object chunks = py_iter(vmethod(splitter, n_split, {batch}));
            while (nb::object chunk = next_item(chunks))
                co_yield std::move(chunk);
        }
    }
}

constexpr pf::Params file_loader_load_params{pf::arg("self")};
nb::object file_loader_load(pf::Call &c) {
    nb::handle self = c.arg<file_loader_load_params, "self">();
    return pf::make_iterator(file_loader_load_body(self, c.globals()), nb::make_tuple(self, c.globals()));
}
const pf::FuncDef file_loader_load_def{
    .name = "load",
    .params = file_loader_load_params,
    .body = file_loader_load,
    .returns = "Iterator[Document]",
};

pf::Generator iter_path_or_dir_body(nb::handle path) {
    if (pf::truthy(path.attr("is_file")())) {
        co_yield nb::borrow(path);
        co_return;
    }
    if (pf::truthy(path.attr("is_dir")())) {
        nb::object entries = py_iter(path.attr("rglob")("*"));
        while (nb::object entry = next_item(entries))
            if (pf::truthy(entry.attr("is_file")()))
                co_yield std::move(entry);
    }
}

constexpr pf::Params iter_path_or_dir_params{pf::arg("self"), pf::arg("path", "Path")};
nb::object iter_path_or_dir(pf::Call &c) {
    nb::handle path = c.arg<iter_path_or_dir_params, "path">();
    return pf::make_iterator(iter_path_or_dir_body(path), nb::make_tuple(path));
}
const pf::FuncDef iter_path_or_dir_def{
    .name = "_iter_path_or_dir",
    .params = iter_path_or_dir_params,
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
    // loguru names each record after the Python frame that logs it, and
    // enables or disables it by that frame's module; C++ has no frame of its
    // own, so messages go through this function of the module's namespace
    // (which looks `logger` up there on every call).
    m.exec("def _log_info(message):\n    logger.info(message)\n");

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
