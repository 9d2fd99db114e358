#include "core/csv/csv.hpp"

#include <cstring>

namespace tavrin::csv {

Reader::Reader(std::string_view text, long long field_limit)
    : text_(text), field_limit_(field_limit) {}

void Reader::add_char(Record &rec, char c) {
    // a UTF-8 continuation byte belongs to the character already counted
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        if (field_len_ >= field_limit_)
            throw Error("field larger than field limit (" + std::to_string(field_limit_) + ")");
        ++field_len_;
    }
    rec.data_.push_back(c);
}

void Reader::save_field(Record &rec) {
    rec.ends_.push_back(rec.data_.size());
    field_len_ = 0;
}

void Reader::process(Record &rec, char c, bool eol) {
    const bool nl = !eol && (c == '\n' || c == '\r');
    switch (state_) {
    case State::StartRecord:
        if (eol)
            return; // an empty line: an empty record
        if (nl) {
            state_ = State::EatCrNl;
            return;
        }
        state_ = State::StartField;
        [[fallthrough]];
    case State::StartField:
        if (eol || nl) {
            save_field(rec);
            state_ = eol ? State::StartRecord : State::EatCrNl;
        } else if (c == '"') {
            state_ = State::InQuotedField;
        } else if (c == ',') {
            save_field(rec);
        } else {
            add_char(rec, c);
            state_ = State::InField;
        }
        return;
    case State::InField:
        if (eol || nl) {
            save_field(rec);
            state_ = eol ? State::StartRecord : State::EatCrNl;
        } else if (c == ',') {
            save_field(rec);
            state_ = State::StartField;
        } else {
            add_char(rec, c);
        }
        return;
    case State::InQuotedField:
        if (eol)
            return;
        if (c == '"')
            state_ = State::QuoteInQuotedField;
        else
            add_char(rec, c);
        return;
    case State::QuoteInQuotedField:
        if (!eol && c == '"') {
            // a doubled quote stands for one quote
            add_char(rec, c);
            state_ = State::InQuotedField;
        } else if (!eol && c == ',') {
            save_field(rec);
            state_ = State::StartField;
        } else if (eol || nl) {
            save_field(rec);
            state_ = eol ? State::StartRecord : State::EatCrNl;
        } else {
            add_char(rec, c);
            state_ = State::InField;
        }
        return;
    case State::EatCrNl:
        if (eol)
            state_ = State::StartRecord;
        else if (!nl)
            throw Error("new-line character seen in unquoted field - "
                        "do you need to open the file with newline=''?");
        return;
    }
}

namespace {

// Bytes that end a run of ordinary characters in an unquoted field.
struct Specials {
    bool unquoted[256] = {}; // end an unquoted run
    bool line[256] = {};     // end a line without quotes
    Specials() {
        unquoted[(unsigned char)','] = unquoted[(unsigned char)'\n'] = unquoted[(unsigned char)'\r'] = true;
        line[(unsigned char)'"'] = line[(unsigned char)'\n'] = line[(unsigned char)'\r'] = true;
    }
};
const Specials specials;

size_t count_chars(const char *p, size_t n) {
    size_t chars = 0;
    for (size_t i = 0; i < n; ++i)
        chars += (static_cast<unsigned char>(p[i]) & 0xC0) != 0x80;
    return chars;
}

} // namespace

void Reader::add_run(Record &rec, const char *p, size_t n) {
    long long chars = static_cast<long long>(count_chars(p, n));
    if (field_len_ + chars > field_limit_)
        throw Error("field larger than field limit (" + std::to_string(field_limit_) + ")");
    field_len_ += chars;
    rec.data_.append(p, n);
}

bool Reader::next(Record &rec) {
    rec.clear();
    field_len_ = 0;
    state_ = State::StartRecord;
    const char *const data = text_.data();
    const size_t n = text_.size();
    if (pos_ >= n)
        return false;

    // A line without quotes is its fields split at the commas.
    size_t stop = pos_;
    while (stop < n && !specials.line[static_cast<unsigned char>(data[stop])])
        ++stop;
    if (stop == n || data[stop] != '"') {
        if (stop > pos_) {
            for (size_t begin = pos_;;) {
                const void *comma = std::memchr(data + begin, ',', stop - begin);
                size_t end = comma ? static_cast<size_t>(static_cast<const char *>(comma) - data) : stop;
                if (static_cast<long long>(end - begin) > field_limit_)
                    add_run(rec, data + begin, end - begin); // throws if it has too many characters
                else
                    rec.data_.append(data + begin, end - begin);
                save_field(rec);
                if (!comma)
                    break;
                begin = end + 1;
            }
        }
        pos_ = stop;
        if (pos_ < n && data[pos_] == '\r')
            ++pos_;
        if (pos_ < n && data[pos_] == '\n' && (pos_ == stop || data[stop] == '\r'))
            ++pos_;
        ++line_num_;
        return true;
    }

    for (;;) {
        if (pos_ >= n) {
            // end of input inside a record: keep what was read
            if (field_len_ != 0 || state_ == State::InQuotedField) {
                save_field(rec);
                return true;
            }
            return false;
        }
        // Runs of ordinary characters are taken whole; everything else goes
        // through the state machine one character at a time.
        if (state_ == State::InField) {
            size_t end = pos_;
            while (end < n && !specials.unquoted[static_cast<unsigned char>(data[end])])
                ++end;
            if (end > pos_) {
                add_run(rec, data + pos_, end - pos_);
                pos_ = end;
                continue;
            }
        } else if (state_ == State::InQuotedField) {
            const void *q = std::memchr(data + pos_, '"', n - pos_);
            size_t end = q ? static_cast<size_t>(static_cast<const char *>(q) - data) : n;
            if (end > pos_) {
                // line breaks inside quotes are field text; the ends of the
                // physical lines they make change nothing here
                line_num_ += count_lines(data + pos_, end - pos_);
                add_run(rec, data + pos_, end - pos_);
                pos_ = end;
                continue;
            }
        }
        char c = data[pos_++];
        process(rec, c, false);
        bool eol = false;
        if (c == '\n') {
            eol = true;
        } else if (c == '\r') {
            if (pos_ < n && data[pos_] == '\n')
                process(rec, data[pos_++], false);
            eol = true;
        } else if (pos_ >= n) {
            eol = true; // the last line has no line break
        }
        if (eol) {
            ++line_num_;
            process(rec, '\0', true);
            if (state_ == State::StartRecord)
                return true;
        }
    }
}

size_t Reader::count_lines(const char *p, size_t n) {
    size_t lines = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '\n')
            ++lines;
        else if (p[i] == '\r' && !(i + 1 < n && p[i + 1] == '\n'))
            ++lines;
    }
    return lines;
}

DictReader::DictReader(std::string_view text, long long field_limit)
    : reader_(text, field_limit) {
    has_header_ = reader_.next(header_);
}

long DictReader::column(std::string_view name) const {
    for (size_t i = header_.size(); i-- > 0;)
        if (header_[i] == name)
            return static_cast<long>(i);
    return -1;
}

bool DictReader::next(Record &rec) {
    if (!has_header_)
        return false;
    while (reader_.next(rec))
        if (!rec.empty())
            return true;
    return false;
}

} // namespace tavrin::csv
