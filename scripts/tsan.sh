#!/usr/bin/env bash
# Builds the tests with ThreadSanitizer into build-tsan/ and runs there the
# log pipeline's tests (channel units and group, the log store, whose
# batches are archived on several threads, the Event Collector delegate, the
# service base, the SDK entry point and its end-to-end tests), every test of
# the crash service (beacon_crashes_tests) and every test of the dispatch
# layer (platform_dispatch_tests). Tests that cannot run under
# ThreadSanitizer skip themselves with a reason (SKIP_UNDER_TSAN in
# tests/support/Sanitizers.h). Extra arguments go to ctest; PLOTWICK_TSAN_JOBS
# sets its parallelism (default: one job per core); warnings are errors
# unless PLOTWICK_WERROR=OFF.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOTWICK_TSAN=ON \
  -DPLOTWICK_WERROR="${PLOTWICK_WERROR:-ON}" >/dev/null
binaries=(beacon_crashes_tests platform_dispatch_tests)
cmake --build build-tsan --target beacon_tests "${binaries[@]}"
# Some kernels map memory where ThreadSanitizer does not expect it; running
# without address randomisation avoids that.
runner=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  runner=(setarch "$(uname -m)" -R)
fi
cd build-tsan
# ctest names a test "Suite.Test": every suite of the two binaries, as they
# list themselves, joins the pipeline's suites in one pattern.
suites='ChannelUnitTest|ChannelGroupTest|BCLogDBStorageTests|EventCollectorDelegateTest|ServiceAbstractTest|BeaconTest|BeaconEndToEnd[A-Za-z]*'
for binary in "${binaries[@]}"; do
  while IFS= read -r suite; do
    suites+="|${suite//./\\.}"
  done < <("${runner[@]}" "tests/$binary" --gtest_list_tests | sed -n 's/^\([^ #][^ ]*\)\.\( .*\)\{0,1\}$/\1/p')
done
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/../scripts/tsan-suppressions.txt ${TSAN_OPTIONS:-}" "${runner[@]}" \
  ctest --output-on-failure -j"${PLOTWICK_TSAN_JOBS:-$(nproc)}" --timeout 900 -R "^(${suites})\\." "$@"
