#!/usr/bin/env bash
# Builds the telemetry tests with ThreadSanitizer into build-tsan/ and runs
# the log pipeline's tests there (channel units and group, the Event
# Collector delegate, the service base, the SDK entry point and its
# end-to-end tests). Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOTWICK_TSAN=ON >/dev/null
cmake --build build-tsan --target beacon_tests
# Some kernels map memory where ThreadSanitizer does not expect it; running
# without address randomisation avoids that.
runner=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  runner=(setarch "$(uname -m)" -R)
fi
cd build-tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/../scripts/tsan-suppressions.txt ${TSAN_OPTIONS:-}" "${runner[@]}" \
  ctest --output-on-failure -j4 --timeout 900 \
  -R '^(ChannelUnitTest|ChannelGroupTest|EventCollectorDelegateTest|ServiceAbstractTest|BeaconTest|BeaconEndToEnd[A-Za-z]*)\.' "$@"
