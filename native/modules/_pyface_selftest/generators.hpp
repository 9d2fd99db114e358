// The generators of the self-test module, defined in generators.cpp.
#pragma once

#include "pyface/pyface.hpp"

namespace selftest {

// def count(n: int, mode=None): yields 0, 1, ... n-1 (mode "raise": fails at 3)
extern const pyface::FuncDef count_def;
// def trace(log): appends to log as it is resumed
extern const pyface::FuncDef trace_def;

} // namespace selftest
