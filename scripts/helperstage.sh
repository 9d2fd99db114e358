#!/usr/bin/env bash
# A test tree for a checkout that changes no C++: the extension modules of another
# checkout's developer build, beside symlinks to this checkout's Python sources.
#   scripts/helperstage.sh /work/main/build/dev/stage build/stage
#   PYTHONPATH=$PWD/build/stage .venv/bin/python -m pytest tests
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
from=${1:?usage: helperstage.sh FROM_STAGE TO_STAGE}
to=${2:?usage: helperstage.sh FROM_STAGE TO_STAGE}
mkdir -p "$to/tavrin"
to=$(cd "$to" && pwd)
(cd "$from" && find . -name '*.so' -exec cp --parents {} "$to/" \;)
cp -rsf "$root/python/tavrin/." "$to/tavrin/"
find "$to" -xtype l -delete
