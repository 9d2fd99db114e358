#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer + UndefinedBehaviorSanitizer
# into build/asan and runs the test suite against them:
#   bash scripts/sanitize.sh [pytest args...]
# Python itself is not instrumented: the ASan runtime is preloaded, CPython's
# small-object allocator is turned off so ASan sees every allocation, and leaks
# are reported by LeakSanitizer with CPython's own (interned, immortal-at-exit)
# allocations suppressed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${TAVRIN_ASAN_BUILD:-build/asan}
TAVRIN_BUILD_TYPE=RelWithDebInfo TAVRIN_CMAKE_ARGS="-DTAVRIN_SANITIZE=ON" \
  scripts/devbuild.sh "$build" ${TAVRIN_ASAN_TARGETS:-} >/dev/null
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan $ubsan"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# --capture=sys: the sanitizers write their reports to file descriptor 2 just
# before they abort; pytest's default descriptor-level capture would swallow them.
PYTHONPATH="$build/stage" exec .venv/bin/python -m pytest -p no:cacheprovider --capture=sys "$@"
