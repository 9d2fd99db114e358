// The function graph of a code-analysis export: the selected function rows,
// the incoming and outgoing edge lists of every node, and their pruning.
//
// The namespace `cag` is named after that export, the "code-analysis graph"
// whose two CSV files (<commit>_cag_nodes.csv, <commit>_cag_edges.csv)
// these classes read.
#pragma once

#include <tsl/robin_map.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::cag {

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
    // the id table refers back to this object
    IdTable(const IdTable &) = delete;
    IdTable &operator=(const IdTable &) = delete;

    uint32_t intern(std::string_view s);
    uint32_t intern(std::optional<std::string_view> s) { return s ? intern(*s) : none; }
    std::optional<uint32_t> find(std::optional<std::string_view> s) const;
    // valid until the next intern()
    std::string_view name(uint32_t id) const {
        return std::string_view(arena_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
    }
    size_t size() const { return offsets_.size() - 1; }

private:
    // The table holds ids (it is a set: nanobind ships robin_map alone) and
    // is searched by name: both hash and compare through the names in the
    // arena.
    struct Names {
        using is_transparent = void;
        const IdTable *table;
        std::string_view key(uint32_t id) const { return table->name(id); }
        std::string_view key(std::string_view s) const { return s; }
    };
    struct NameHash : Names {
        size_t operator()(auto k) const { return hash(key(k)); }
    };
    struct NameEqual : Names {
        bool operator()(auto a, auto b) const { return key(a) == key(b); }
    };
    static size_t hash(std::string_view name);
    std::string arena_;
    std::vector<size_t> offsets_; // of each name in arena_, then the arena size
    struct Nothing {};
    using Entry = std::pair<uint32_t, Nothing>;
    tsl::robin_map<uint32_t, Nothing, NameHash, NameEqual, std::allocator<Entry>, /*StoreHash=*/true> ids_;
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
