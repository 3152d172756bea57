#!/usr/bin/env bash
# Configures build-asan/, the clang-14 tree that both the sanitizer suite
# (scripts/test.sh) and the fuzz targets (scripts/fuzz.sh) are built in: every
# library and test is instrumented with AddressSanitizer,
# UndefinedBehaviorSanitizer and libFuzzer's coverage, so that the suite's
# tests and the fuzz targets link the same objects. A tree configured with
# another compiler is made anew. Warnings are errors unless PLOTWICK_WERROR=OFF.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ -f build-asan/CMakeCache.txt ] && ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++-14$' build-asan/CMakeCache.txt; then
  rm -rf build-asan
fi
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DPLOTWICK_SANITIZE=ON -DPLOTWICK_FUZZ=ON -DPLOTWICK_WERROR="${PLOTWICK_WERROR:-ON}" >/dev/null
