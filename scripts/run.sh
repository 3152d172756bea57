#!/usr/bin/env bash
# The run command: set up, build, and start Plotwick.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh plotwick
exec build/app/plotwick "$@"
