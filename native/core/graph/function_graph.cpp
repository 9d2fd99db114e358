#include "core/graph/function_graph.hpp"

#include "core/csv/csv.hpp"
#include "core/hashing/fnv1a.hpp"

namespace tavrin::cag {

// ---------------------------------------------------------------- ids

size_t IdTable::hash(std::string_view name) {
    return static_cast<size_t>(hashing::mix64(hashing::fnv1a(name)));
}

IdTable::IdTable() : offsets_{0, 0}, ids_(1024, NameHash{{this}}, NameEqual{{this}}) {}

uint32_t IdTable::intern(std::string_view s) {
    auto it = ids_.find(s);
    if (it != ids_.end())
        return it->first;
    const uint32_t id = static_cast<uint32_t>(size());
    arena_.append(s);
    offsets_.push_back(arena_.size());
    ids_.emplace(id, Nothing{});
    return id;
}

std::optional<uint32_t> IdTable::find(std::optional<std::string_view> s) const {
    if (!s)
        return none;
    auto it = ids_.find(*s);
    if (it == ids_.end())
        return std::nullopt;
    return it->first;
}

// ---------------------------------------------------------------- nodes

const char *NodeTable::field_name(Field f) {
    static const char *const names[FieldCount] = {"node_id", "name", "file_path", "start_line",
                                                  "end_line"};
    return names[f];
}

void NodeTable::load(std::string_view csv_text, std::string_view prefix, long long field_limit) {
    csv::DictReader reader(csv_text, field_limit);
    for (int f = 0; f < FieldCount; ++f)
        columns_[f] = reader.column(field_name(static_cast<Field>(f)));
    const long test_col = reader.column("is_test_func");
    csv::Record rec;
    while (reader.next(rec)) {
        if (columns_[FilePath] < 0)
            throw MissingColumn("file_path");
        auto path = csv::DictReader::get(rec, columns_[FilePath]);
        if (!path)
            throw MissingValue("file_path");
        if (!path->starts_with(prefix))
            continue;
        if (test_col < 0)
            throw MissingColumn("is_test_func");
        auto test = csv::DictReader::get(rec, test_col);
        if (test && *test == "True")
            continue;
        for (int f = 0; f < FieldCount; ++f) {
            Cell cell;
            if (auto v = csv::DictReader::get(rec, columns_[f])) {
                cell.offset = arena_.size();
                cell.size = static_cast<uint32_t>(v->size());
                cell.present = true;
                arena_.append(*v);
            }
            cells_.push_back(cell);
        }
    }
}

std::optional<std::string_view> NodeTable::get(size_t row, Field f) const {
    const Cell &c = cells_[row * FieldCount + f];
    if (!c.present)
        return std::nullopt;
    return std::string_view(arena_).substr(c.offset, c.size);
}

// ---------------------------------------------------------------- edges

void EdgeMaps::load(std::string_view csv_text, IdTable &ids, long long field_limit) {
    csv::DictReader reader(csv_text, field_limit);
    const long from_col = reader.column("from_node_id");
    const long to_col = reader.column("to_node_id");
    csv::Record rec;
    while (reader.next(rec)) {
        if (from_col < 0)
            throw MissingColumn("from_node_id");
        if (to_col < 0)
            throw MissingColumn("to_node_id");
        uint32_t from = ids.intern(csv::DictReader::get(rec, from_col));
        uint32_t to = ids.intern(csv::DictReader::get(rec, to_col));
        edges_.emplace_back(from, to);
    }
    build(ids.size());
}

void EdgeMaps::build(size_t id_count) {
    in_start_.assign(id_count + 1, 0);
    out_start_.assign(id_count + 1, 0);
    for (auto [from, to] : edges_) {
        ++out_start_[from + 1];
        ++in_start_[to + 1];
    }
    from_keys_ = to_keys_ = 0;
    out_size_.assign(id_count, 0);
    for (size_t i = 0; i < id_count; ++i) {
        out_size_[i] = static_cast<uint32_t>(out_start_[i + 1]);
        from_keys_ += out_start_[i + 1] != 0;
        to_keys_ += in_start_[i + 1] != 0;
        out_start_[i + 1] += out_start_[i];
        in_start_[i + 1] += in_start_[i];
    }
    in_.resize(edges_.size());
    out_.resize(edges_.size());
    std::vector<size_t> in_fill(in_start_.begin(), in_start_.end() - 1);
    std::vector<size_t> out_fill(out_start_.begin(), out_start_.end() - 1);
    for (auto [from, to] : edges_) {
        out_[out_fill[from]++] = to;
        in_[in_fill[to]++] = from;
    }
    edges_.clear();
    edges_.shrink_to_fit();
}

void EdgeMaps::prune(size_t max_targets, size_t max_incoming) {
    for (size_t u = 0; u < out_size_.size(); ++u) {
        if (out_size_[u] <= max_targets)
            continue;
        size_t begin = out_start_[u], w = begin;
        for (size_t i = begin; i < begin + out_size_[u]; ++i) {
            uint32_t t = out_[i];
            if (in_start_[t + 1] - in_start_[t] <= max_incoming)
                out_[w++] = t;
        }
        out_size_[u] = static_cast<uint32_t>(w - begin);
    }
}

std::span<const uint32_t> EdgeMaps::incoming(uint32_t id) const {
    if (id + 1 >= in_start_.size())
        return {};
    return std::span<const uint32_t>(in_).subspan(in_start_[id], in_start_[id + 1] - in_start_[id]);
}

std::span<const uint32_t> EdgeMaps::outgoing(uint32_t id) const {
    if (id >= out_size_.size())
        return {};
    return std::span<const uint32_t>(out_).subspan(out_start_[id], out_size_[id]);
}

} // namespace tavrin::cag
