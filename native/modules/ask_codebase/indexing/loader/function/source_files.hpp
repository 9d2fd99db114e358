// The function loader's access to the repository: reading source and CSV
// files as open() would, line bounds given as Python objects, and the check
// that every source file lies inside the repository.
#pragma once

#include "pyface/pyface.hpp"

#include "core/text/source_text.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace tavrin::function_loader {

namespace nb = nanobind;

nb::object utf8_str(std::string_view s);

// ---------------------------------------------------------------- reading

// True when open(path, "r") decodes UTF-8 (the interpreter's default text
// encoding, looked up now as open() would).
bool default_encoding_is_utf8();

// Reads a text file as open(path, "r") does (newline="" when not
// translating line breaks) and returns it as UTF-8. `path` is the bytes of
// the file name; `path_obj` makes the error's file name and the fallback
// (created from `path` when null). `utf8`: the default encoding is UTF-8, so
// the file may be read without the interpreter.
std::string read_text_at(const std::string &path, nb::handle path_obj, bool translate, bool utf8);

// The same for any object open() accepts.
std::string read_text(nb::handle path_obj, bool translate, bool utf8);

// ---------------------------------------------------------------- line numbers

// A line bound as a C++ number: ints and bools (saturated far outside any
// file); anything else is compared by the interpreter.
std::optional<long long> as_line(nb::handle o);

// The function with its comment block for bounds that are not ints: the
// walk over the lines with the interpreter's comparisons.
std::string function_with_comment_generic(const text::SourceText &src, nb::handle start,
                                          nb::handle end);

// ---------------------------------------------------------------- paths

// str(code_root / file_path) as file-system bytes, for a PosixPath root and
// a relative file path: "." and empty components dropped.
std::string join_path(std::string_view root, std::string_view rel);

// Refuses the source files of an export that lie outside the repository: a
// "file_path" with ".." components, or one that reaches a symbolic link
// pointing out of the tree, resolves to a path that is not below repo_path.
// Each distinct path is resolved once per run: by the C library when the
// root is a plain path and the file exists, otherwise (and for the message)
// by os.path.realpath.
class RepoBoundary {
  public:
    RepoBoundary(nb::handle globals, nb::handle code_root, const std::optional<std::string> &root_bytes);

    // `rel` must outlive the run (it views the node table); `node_id` gives
    // the node's id for the message (called only then).
    template <class NodeId> void check(std::string_view rel, nb::handle rel_str, NodeId &&node_id) {
        if (inside_.count(rel))
            return;
        if (!resolves_inside(rel)) {
            nb::object real = realpath_of(rel_str);
            if (!contains(real))
                raise_outside(rel_str, real, node_id());
        }
        inside_.emplace(rel);
    }

  private:
    // realpath(3) says the path is inside (false: unknown or outside)
    bool resolves_inside(std::string_view rel) const;
    // os.path.realpath(str(code_root / rel_str))
    nb::object realpath_of(nb::handle rel_str) const;
    bool contains(nb::handle real) const;
    [[noreturn]] void raise_outside(nb::handle rel_str, nb::handle real, nb::handle node_id) const;

    nb::object os_path_, root_, real_, prefix_;
    std::optional<std::string> root_bytes_, root_real_bytes_;
    std::unordered_set<std::string_view> inside_;
};

} // namespace tavrin::function_loader
