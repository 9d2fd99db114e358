// UTF-8 text as Python's str sees it: strict validity, str.isspace() white
// space, and universal newlines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrin::text {

// True if `s` is UTF-8 that a strict decoder accepts (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool valid_utf8(std::string_view s);

// Byte offset of the first character of `s` that is not white space, with
// white space as str.isspace() defines it (ASCII and Unicode spaces).
size_t lstrip_offset(std::string_view s);

// Translates "\r\n" and a lone "\r" to "\n", in place.
void translate_newlines(std::string &text);

} // namespace tavrin::text
