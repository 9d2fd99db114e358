#!/usr/bin/env bash
# Developer build: compiles the extension modules into BUILD_DIR and lays out
# an importable tree in BUILD_DIR/stage (the .so files beside symlinks to the
# Python sources), so tests can run without reinstalling:
#   scripts/devbuild.sh build/dev [cmake targets...]
#   PYTHONPATH=build/dev/stage .venv/bin/python -m pytest tests
# Extra CMake options can be given in TAVRIN_CMAKE_ARGS (e.g. -DTAVRIN_SANITIZE=ON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: devbuild.sh BUILD_DIR [TARGET...]}
shift
py=${TAVRIN_PYTHON:-$root/.venv/bin/python}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${TAVRIN_BUILD_TYPE:-Release} \
    -DPython_EXECUTABLE="$py" ${TAVRIN_CMAKE_ARGS:-} >/dev/null
fi
if [ $# -gt 0 ]; then
  cmake --build "$build" --target "$@"
else
  cmake --build "$build"
fi
mkdir -p "$build/stage/tavrin"
cp -rsf "$root/python/tavrin/." "$build/stage/tavrin/"
