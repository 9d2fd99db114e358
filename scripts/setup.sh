#!/usr/bin/env bash
# Sets up everything tavrin needs in ./.venv (created when missing): the pinned
# dependencies, the build tools, then builds the extension modules and installs
# the package. Safe to run again: the CMake build folder (build/) is reused, so
# a second run only recompiles what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x .venv/bin/python ]; then
  py=$(command -v python3.11 || command -v python3)
  "$py" -m venv .venv
fi
pip=(.venv/bin/python -m pip --disable-pip-version-check -q)
"${pip[@]}" install -c constraints.txt -r requirements-build.txt
"${pip[@]}" install -c constraints.txt --no-build-isolation .
