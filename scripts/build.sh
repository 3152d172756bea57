#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/: every
# target, or only the targets named as arguments. Arguments of the form
# -DNAME=VALUE are CMake cache settings, given to the configure step (the
# cache keeps them for later builds). Warnings are errors, as in every other
# script, unless PLOTWICK_WERROR=OFF: the run and the test command configure
# the same flags, so switching between them rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
settings=()
targets=()
for arg in "$@"; do
  case "$arg" in
    -D*) settings+=("$arg") ;;
    *) targets+=("$arg") ;;
  esac
done
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOTWICK_WERROR="${PLOTWICK_WERROR:-ON}" \
  "${settings[@]}" >/dev/null
if ((${#targets[@]})); then
  cmake --build build --target "${targets[@]}"
else
  cmake --build build
fi
