#include "core/function_graph.hpp"

#include "core/csv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrin::cag {

// ---------------------------------------------------------------- text

bool valid_utf8(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const auto *end = p + s.size();
    while (p < end) {
        // ASCII runs, eight bytes at a time
        while (end - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ULL)
                break;
            p += 8;
        }
        if (p >= end)
            break;
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF; // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0)
                lo = 0xA0; // no overlong forms
            else if (c == 0xED)
                hi = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F; // nothing above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) <= need)
            return false;
        if (p[1] < lo || p[1] > hi)
            return false;
        for (size_t i = 2; i <= need; ++i)
            if ((p[i] & 0xC0) != 0x80)
                return false;
        p += need + 1;
    }
    return true;
}

size_t lstrip_offset(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) {
            ++i;
            continue;
        }
        if (c < 0x80)
            break;
        // U+0085, U+00A0
        if (c == 0xC2 && i + 1 < n && (p[i + 1] == 0x85 || p[i + 1] == 0xA0)) {
            i += 2;
            continue;
        }
        if (i + 2 < n) {
            unsigned char c1 = p[i + 1], c2 = p[i + 2];
            bool space = (c == 0xE1 && c1 == 0x9A && c2 == 0x80)            // U+1680
                         || (c == 0xE2 && c1 == 0x80 &&
                             ((c2 >= 0x80 && c2 <= 0x8A)                     // U+2000..U+200A
                              || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))    // U+2028 U+2029 U+202F
                         || (c == 0xE2 && c1 == 0x81 && c2 == 0x9F)          // U+205F
                         || (c == 0xE3 && c1 == 0x80 && c2 == 0x80);         // U+3000
            if (space) {
                i += 3;
                continue;
            }
        }
        break;
    }
    return i;
}

int read_file(const std::string &path, std::string &out) {
    out.clear();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            ::close(fd);
            return EISDIR;
        }
        if (S_ISREG(st.st_mode) && st.st_size > 0)
            out.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[65536];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            ::close(fd);
            return e;
        }
        if (r == 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    ::close(fd);
    return 0;
}

void translate_newlines(std::string &text) {
    size_t first = text.find('\r');
    if (first == std::string::npos)
        return;
    size_t w = first;
    for (size_t r = first; r < text.size(); ++r) {
        char c = text[r];
        if (c == '\r') {
            text[w++] = '\n';
            if (r + 1 < text.size() && text[r + 1] == '\n')
                ++r;
        } else {
            text[w++] = c;
        }
    }
    text.resize(w);
}

// ---------------------------------------------------------------- comments

bool CommentBlock::feed(std::string_view line, size_t k) {
    std::string_view s = line.substr(lstrip_offset(line));
    if (in_block_) {
        if (s.find("*/") != std::string_view::npos)
            in_block_ = false;
        return true;
    }
    if (s.starts_with("/*")) {
        // a block comment may close on its own opening line
        in_block_ = s.find("*/", 2) == std::string_view::npos;
        return true;
    }
    if (s.starts_with("//") || s.starts_with("#"))
        return true;
    begin_ = k + 1;
    return false;
}

SourceText::SourceText(std::string text) : text_(std::move(text)) {
    size_t pos = 0;
    while (pos < text_.size()) {
        starts_.push_back(pos);
        size_t nl = text_.find('\n', pos);
        pos = nl == std::string::npos ? text_.size() : nl + 1;
    }
    starts_.push_back(text_.size());
    size_t n = line_count();
    block_.resize(n + 1);
    CommentBlock block;
    block_[0] = 1;
    for (size_t k = 1; k <= n; ++k) {
        block.feed(line(k), k);
        block_[k] = static_cast<uint32_t>(block.begin());
    }
}

std::string_view SourceText::line(size_t k) const {
    return std::string_view(text_).substr(starts_[k - 1], starts_[k] - starts_[k - 1]);
}

std::string_view SourceText::function_with_comment(long long start, long long end) const {
    const long long n = static_cast<long long>(line_count());
    const long long s = std::clamp(start, 1LL, n + 1);
    const long long begin = block_[static_cast<size_t>(s - 1)];
    const long long last = end >= start ? std::min(end, n) : s - 1;
    if (last < begin)
        return {};
    size_t from = starts_[static_cast<size_t>(begin - 1)];
    size_t to = starts_[static_cast<size_t>(last)];
    return std::string_view(text_).substr(from, to - from);
}

size_t SourceText::memory() const {
    return text_.capacity() + starts_.capacity() * sizeof(size_t) +
           block_.capacity() * sizeof(uint32_t) + sizeof(*this);
}

std::shared_ptr<const SourceText> SourceCache::find(const std::string &path) {
    auto it = index_.find(path);
    if (it == index_.end())
        return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->second;
}

void SourceCache::insert(const std::string &path, std::shared_ptr<const SourceText> text) {
    auto old = index_.find(path);
    if (old != index_.end()) {
        bytes_ -= old->second->second->memory();
        order_.erase(old->second);
        index_.erase(old);
    }
    bytes_ += text->memory();
    order_.emplace_front(path, std::move(text));
    index_[path] = order_.begin();
    while (bytes_ > max_bytes_ && order_.size() > 1) {
        Entry &victim = order_.back();
        bytes_ -= victim.second->memory();
        index_.erase(victim.first);
        order_.pop_back();
    }
}

// ---------------------------------------------------------------- ids

IdTable::IdTable() : offsets_{0, 0}, hashes_{0}, slots_(1024, 0) {}

uint64_t IdTable::hash(std::string_view s) {
    uint64_t h = 14695981039346656037ULL; // FNV-1a, then a final mix
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

size_t IdTable::slot_of(std::string_view s, uint64_t h) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
        uint32_t id = slots_[i];
        if (id == 0 || (hashes_[id] == h && name(id) == s))
            return i;
    }
}

void IdTable::grow() {
    std::vector<uint32_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (uint32_t id : old) {
        if (id == 0)
            continue;
        size_t i = hashes_[id] & mask;
        while (slots_[i] != 0)
            i = (i + 1) & mask;
        slots_[i] = id;
    }
}

uint32_t IdTable::intern(std::string_view s) {
    const uint64_t h = hash(s);
    size_t i = slot_of(s, h);
    if (slots_[i] != 0)
        return slots_[i];
    uint32_t id = static_cast<uint32_t>(size());
    arena_.append(s);
    offsets_.push_back(arena_.size());
    hashes_.push_back(h);
    slots_[i] = id;
    if (size() * 2 > slots_.size())
        grow();
    return id;
}

std::optional<uint32_t> IdTable::find(std::optional<std::string_view> s) const {
    if (!s)
        return none;
    uint32_t id = slots_[slot_of(*s, hash(*s))];
    if (id == 0)
        return std::nullopt;
    return id;
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
