#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/: every
# target, or only the targets named as arguments. PLOTWICK_WERROR=ON makes
# warnings errors (scripts/test.sh sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOTWICK_WERROR="${PLOTWICK_WERROR:-OFF}" >/dev/null
if (($#)); then
  cmake --build build --target "$@"
else
  cmake --build build
fi
