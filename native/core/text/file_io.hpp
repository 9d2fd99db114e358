// Reading files whole, with errors as errno values for the caller to raise.
#pragma once

#include <string>

namespace tavrin::text {

// Reads a whole regular file into `out`. Returns 0, or an errno value
// (EISDIR for a directory).
int read_file(const std::string &path, std::string &out);

} // namespace tavrin::text
