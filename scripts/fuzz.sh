#!/usr/bin/env bash
# Builds the libFuzzer targets into build-asan/ (clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer; the tree the sanitizer suite runs in, configured
# by scripts/asan-tree.sh), then runs each one for a bounded time on its
# corpus (tests/fuzz/corpus/<name>/ and any seed folders the target names),
# as many at a time as there are cores. New inputs go to a scratch copy; a
# crash stops the run and leaves its input in build-asan/fuzz-crashes/ to be
# added to the corpus as a regression. Warnings are errors unless
# PLOTWICK_WERROR=OFF.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/asan-tree.sh
tree=build-asan
targets=()
while IFS='|' read -r prog _ _; do
  [ -n "$prog" ] && targets+=("$prog")
done < "$tree/fuzz_targets.txt"
if ((${#targets[@]} == 0)); then
  echo "fuzz: no targets"
  exit 0
fi
cmake --build "$tree" --target "${targets[@]}"

mkdir -p "$tree/fuzz-crashes" "$tree/fuzz-logs"
jobs=$(nproc)
failed=0
run_one() {
  local prog="$1" corpus="$2" seeds="$3"
  local work="$tree/fuzz-work/${prog}"
  rm -rf "$work"; mkdir -p "$work"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null || true
  local extra=()
  for s in ${seeds//;/ }; do [ -d "$s" ] && extra+=("$s"); done
  local log="$tree/fuzz-logs/${prog}.log"
  if "$tree/tests/fuzz/$prog" "$work" "${extra[@]}" -max_total_time="$seconds" \
       -rss_limit_mb=2048 -timeout=10 -artifact_prefix="$tree/fuzz-crashes/${prog}-" >"$log" 2>&1; then
    echo "fuzz: $prog clean, $(grep -o 'Done [0-9]* runs' "$log" | tail -1 | awk '{print $2}') executions"
  elif grep -q "ERROR: libFuzzer: timeout" "$log" && ! grep -q "ERROR: AddressSanitizer\|runtime error:" "$log"; then
    # A slow input stops the run without a crash. It is kept for study and
    # reported, but does not fail the stage: under the sanitizers some probes
    # of the address space are far slower than in the product's build.
    echo "fuzz: $prog stopped on a slow input (kept in $tree/fuzz-crashes/), $(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#') executions, no crash"
  else
    echo "fuzz: $prog FAILED, see $log"; tail -40 "$log"
    return 1
  fi
}
pids=()
while IFS='|' read -r prog corpus seeds; do
  [ -n "$prog" ] || continue
  while (( $(jobs -rp | wc -l) >= jobs )); do wait -n || failed=1; done
  run_one "$prog" "$corpus" "$seeds" &
done < "$tree/fuzz_targets.txt"
while (( $(jobs -rp | wc -l) > 0 )); do wait -n || failed=1; done
exit $failed
