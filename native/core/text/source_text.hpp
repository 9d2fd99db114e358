// Source files as lines, and the comment block written directly above a
// line (the comment that documents a function), worked out once per file;
// a size-bounded cache of them.
//
// Text is UTF-8 throughout. Source texts are expected with their line breaks
// already translated to "\n" (as a file read in text mode gives them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrin::text {

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

} // namespace tavrin::text
