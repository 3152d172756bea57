#!/usr/bin/env bash
# The test command: set up, build, and run every test with ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
ctest --output-on-failure --timeout 600 -j "$(nproc)"
