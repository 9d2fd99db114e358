// Deterministic hashing embedding for source code and questions about it:
// identifier-aware tokens (snake_case and camelCase split, lower-cased,
// light plural folding), hashed (FNV-1a, core/hashing/fnv1a.hpp) into a
// fixed number of signed features, weighted by 1 + log(count) and
// L2-normalised. Needs no model and no data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::code_hashing {

// The tokens of `text`, in order: for every identifier-like word its parts
// (HTTPServerError -> http, server, error; max_retry_count -> max, retry,
// count; utf8 -> utf, 8), and the whole word when it has several parts.
// Single letters and a few very common English and code words are dropped.
std::vector<std::string> tokens(std::string_view text);

// Writes the embedding of `text` into out[0..dim). A text without tokens
// gives the zero vector.
void embed(std::string_view text, std::size_t dim, double *out);

} // namespace tavrin::code_hashing
