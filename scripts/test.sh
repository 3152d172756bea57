#!/usr/bin/env bash
# The test command: set up, build, and run every test with ctest; then the
# whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer
# (a second build tree, build-asan/, made by clang-14 and configured by
# scripts/asan-tree.sh), the log pipeline's, the crash service's and the
# dispatch layer's tests under ThreadSanitizer (scripts/tsan.sh,
# build-tsan/), and every fuzz target for a bounded time on its corpus
# (scripts/fuzz.sh, built in build-asan/ from the same objects as the
# sanitizer suite). CI runs every stage. Every stage builds with warnings as
# errors, as scripts/build.sh does for the run command, so that switching
# between the two commands rebuilds only what changed.
#
# Developers may shorten or skip the later stages:
#   PLOTWICK_SANITIZE_STAGE=0   skips the sanitizer suite
#   PLOTWICK_TSAN_STAGE=0       skips the ThreadSanitizer run
#   PLOTWICK_FUZZ_SECONDS=N     fuzzes each target N seconds (default 60;
#                               0 skips fuzzing)
#   PLOTWICK_WERROR=OFF         keeps warnings as warnings
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
# Most tests spend their time waiting on children, servers and timers rather
# than computing: the suites run twice as many at once as there are cores.
test_jobs=$((jobs * 2))

bash scripts/build.sh
bash scripts/format.sh --check
(cd build && ctest --output-on-failure --timeout 600 -j "$test_jobs")

if [ "${PLOTWICK_SANITIZE_STAGE:-1}" != 0 ]; then
  echo "test: the suite under AddressSanitizer and UndefinedBehaviorSanitizer"
  bash scripts/asan-tree.sh
  cmake --build build-asan
  # Leaks are checked too; a report fails the test that made it.
  (cd build-asan &&
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --output-on-failure --timeout 900 -j "$test_jobs")
fi

if [ "${PLOTWICK_TSAN_STAGE:-1}" != 0 ]; then
  echo "test: the log pipeline, the crash service and dispatch under ThreadSanitizer"
  PLOTWICK_TSAN_JOBS="$jobs" bash scripts/tsan.sh
fi

seconds="${PLOTWICK_FUZZ_SECONDS:-60}"
if [ "$seconds" != 0 ]; then
  echo "test: fuzzing each target for ${seconds} s"
  bash scripts/fuzz.sh "$seconds"
fi
