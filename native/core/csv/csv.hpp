// CSV reading with the rules of Python's csv module in its default "excel"
// dialect (delimiter ',', quote '"', doubled quotes inside quoted fields,
// no escape character, no initial-space skipping, non-strict), over text
// read from a file opened with newline="": records end at "\n", "\r\n" or
// "\r" outside quotes, and quoted fields may hold delimiters, quotes and
// line breaks.
//
// The input is UTF-8 text; every byte the parser cares about is ASCII, so
// multi-byte characters pass through unchanged. Field lengths are counted
// in characters, as the field size limit of the csv module is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::csv {

// A record that the csv module would refuse: a field longer than the field
// size limit. what() is the csv module's message.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One parsed record: its fields, stored back to back.
class Record {
public:
    size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](size_t i) const {
        size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(data_).substr(begin, ends_[i] - begin);
    }
    void clear() {
        data_.clear();
        ends_.clear();
    }

private:
    friend class Reader;
    std::string data_;
    std::vector<size_t> ends_;
};

// csv.reader over an in-memory text.
class Reader {
public:
    // field_limit: the csv module's field_size_limit() (characters).
    explicit Reader(std::string_view text, long long field_limit = 131072);

    // Parses the next record into `rec` (an empty line gives an empty
    // record). Returns false at the end of the input. Throws Error.
    bool next(Record &rec);

    // Number of physical lines consumed so far.
    size_t line_num() const { return line_num_; }

private:
    enum class State : uint8_t {
        StartRecord,
        StartField,
        InField,
        InQuotedField,
        QuoteInQuotedField,
        EatCrNl,
    };
    void add_char(Record &rec, char c);
    void add_run(Record &rec, const char *p, size_t n);
    static size_t count_lines(const char *p, size_t n);
    void save_field(Record &rec);
    // feeds one character; eol marks the end of a physical line
    void process(Record &rec, char c, bool eol);

    std::string_view text_;
    size_t pos_ = 0;
    size_t line_num_ = 0;
    long long field_limit_;
    long long field_len_ = 0; // characters in the field being built
    bool field_started_ = false;
    State state_ = State::StartRecord;
};

// csv.DictReader: the first record names the columns; empty records are
// skipped; a column missing from a short record reads as None (nullopt);
// extra fields are ignored. When a name appears twice in the header, the
// later column wins.
class DictReader {
public:
    explicit DictReader(std::string_view text, long long field_limit = 131072);

    // True once the header has been read and was present (an empty input
    // has no header and no rows).
    bool has_header() const { return has_header_; }
    const Record &header() const { return header_; }

    // Index of the column `name`, or -1 if the header has no such column.
    long column(std::string_view name) const;

    // Reads the next non-empty record. Returns false at the end.
    bool next(Record &rec);

    // The value of column `col` (from column()) in `rec`: nullopt when the
    // record is too short to have it.
    static std::optional<std::string_view> get(const Record &rec, long col) {
        if (col < 0 || static_cast<size_t>(col) >= rec.size())
            return std::nullopt;
        return rec[static_cast<size_t>(col)];
    }

private:
    Reader reader_;
    Record header_;
    bool has_header_ = false;
};

} // namespace tavrin::csv
