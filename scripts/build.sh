#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/: every
# target, or only the targets named as arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if (($#)); then
  cmake --build build --target "$@"
else
  cmake --build build
fi
