#include "core/text/source_text.hpp"

#include "core/text/utf8.hpp"

#include <algorithm>

namespace tavrin::text {

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

} // namespace tavrin::text
