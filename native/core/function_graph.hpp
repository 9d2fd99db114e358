// The function graph of a code-analysis export: the selected function rows,
// the incoming and outgoing edge lists of every node, their pruning, and
// the cutting of a function's source text together with the comment block
// written directly above it.
//
// Text is UTF-8 throughout. Source texts are expected with their line breaks
// already translated to "\n" (as a file read in text mode gives them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrin::cag {

// ---------------------------------------------------------------- text

// True if `s` is UTF-8 that a strict decoder accepts (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool valid_utf8(std::string_view s);

// Byte offset of the first character of `s` that is not white space, with
// white space as str.isspace() defines it (ASCII and Unicode spaces).
size_t lstrip_offset(std::string_view s);

// Reads a whole regular file into `out`. Returns 0, or an errno value
// (EISDIR for a directory).
int read_file(const std::string &path, std::string &out);

// Translates "\r\n" and a lone "\r" to "\n", in place.
void translate_newlines(std::string &text);

// ---------------------------------------------------------------- comments

// The comment block that ends directly above a line, followed line by line
// from the top of a file. Lines starting with "//" or "#" are comments, and
// so is every line of a block comment from its "/*" line to the line that
// holds the closing "*/" (which may be the opening line itself). Any other
// line, a blank one included, ends the block.
class CommentBlock {
public:
    // Feeds line number `k` (1-based, in order). Returns true if the line
    // is part of a comment block, false if it ended the block.
    bool feed(std::string_view line, size_t k);
    // First line of the block that ends at the last line fed (the next
    // line's number when there is no block).
    size_t begin() const { return begin_; }

private:
    size_t begin_ = 1;
    bool in_block_ = false;
};

// A source file split into lines, with the comment block above every line
// worked out once.
class SourceText {
public:
    explicit SourceText(std::string text);

    size_t line_count() const { return starts_.size() - 1; }
    // line k (1-based), its line break included
    std::string_view line(size_t k) const;
    // The lines from `start` to `end` (1-based, inclusive; lines past the
    // end of the file are absent) preceded by the comment block directly
    // above `start`. With end < start only the comment block is left.
    std::string_view function_with_comment(long long start, long long end) const;
    size_t memory() const;

private:
    std::string text_;
    std::vector<size_t> starts_;   // offset of each line, then the text size
    std::vector<uint32_t> block_;  // block_[k-1]: first line of the block above line k
};

// Most recently used source texts, up to a total size.
class SourceCache {
public:
    explicit SourceCache(size_t max_bytes) : max_bytes_(max_bytes) {}
    std::shared_ptr<const SourceText> find(const std::string &path);
    void insert(const std::string &path, std::shared_ptr<const SourceText> text);

private:
    using Entry = std::pair<std::string, std::shared_ptr<const SourceText>>;
    size_t max_bytes_;
    size_t bytes_ = 0;
    std::list<Entry> order_; // most recent first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

// ---------------------------------------------------------------- graph

// A column that the header of a CSV file does not have.
class MissingColumn : public std::runtime_error {
public:
    explicit MissingColumn(std::string column)
        : std::runtime_error("missing column " + column), column_(std::move(column)) {}
    const std::string &column() const { return column_; }

private:
    std::string column_;
};

// A cell that a short record does not have, where text was needed.
class MissingValue : public std::runtime_error {
public:
    explicit MissingValue(std::string column)
        : std::runtime_error("missing value of " + column), column_(std::move(column)) {}
    const std::string &column() const { return column_; }

private:
    std::string column_;
};

// Node ids, each string once. Id 0 stands for a missing cell (None).
class IdTable {
public:
    static constexpr uint32_t none = 0;
    IdTable();
    uint32_t intern(std::string_view s);
    uint32_t intern(std::optional<std::string_view> s) { return s ? intern(*s) : none; }
    std::optional<uint32_t> find(std::optional<std::string_view> s) const;
    // valid until the next intern()
    std::string_view name(uint32_t id) const {
        return std::string_view(arena_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
    }
    size_t size() const { return offsets_.size() - 1; }

private:
    static uint64_t hash(std::string_view s);
    size_t slot_of(std::string_view s, uint64_t h) const; // its slot, or the empty one to fill
    void grow();
    std::string arena_;
    std::vector<size_t> offsets_;  // of each name in arena_, then the arena size
    std::vector<uint64_t> hashes_; // of each name
    std::vector<uint32_t> slots_;  // open addressing; 0 is an empty slot
};

// A cell of a kept node row: absent when the record was too short.
struct Cell {
    size_t offset = 0;
    uint32_t size = 0;
    bool present = false;
};

// The kept function rows of a nodes file, in file order.
class NodeTable {
public:
    enum Field { NodeId, Name, FilePath, StartLine, EndLine, FieldCount };
    static const char *field_name(Field f);

    // Reads the nodes CSV text and keeps each row whose "file_path" starts
    // with `prefix` and whose "is_test_func" is not exactly "True".
    // Throws MissingColumn for "file_path"/"is_test_func" when a row needs
    // them, MissingValue("file_path") for a short row without it, and
    // csv::Error.
    void load(std::string_view csv_text, std::string_view prefix, long long field_limit);

    size_t size() const { return cells_.size() / FieldCount; }
    // false when the header has no such column (reading it is a KeyError)
    bool has_column(Field f) const { return columns_[f] >= 0; }
    std::optional<std::string_view> get(size_t row, Field f) const;

private:
    long columns_[FieldCount] = {-1, -1, -1, -1, -1};
    std::string arena_;
    std::vector<Cell> cells_;
};

// The edge lists of a graph: for every node the ids with an edge to it
// (incoming) and the ids its edges lead to (outgoing), in edge-file order,
// duplicates kept.
class EdgeMaps {
public:
    // Reads the edges CSV text, interning ids into `ids`. Throws
    // MissingColumn and csv::Error.
    void load(std::string_view csv_text, IdTable &ids, long long field_limit);

    // Every outgoing list longer than `max_targets` keeps only the targets
    // whose incoming list has at most `max_incoming` entries.
    void prune(size_t max_targets = 3, size_t max_incoming = 9);

    // number of nodes with an outgoing / incoming list
    size_t from_keys() const { return from_keys_; }
    size_t to_keys() const { return to_keys_; }

    std::span<const uint32_t> incoming(uint32_t id) const;
    std::span<const uint32_t> outgoing(uint32_t id) const;

private:
    void build(size_t id_count);
    std::vector<std::pair<uint32_t, uint32_t>> edges_; // (from, to)
    std::vector<size_t> in_start_, out_start_;
    std::vector<uint32_t> in_, out_;
    std::vector<uint32_t> out_size_; // after pruning
    size_t from_keys_ = 0, to_keys_ = 0;
};

} // namespace tavrin::cag
