#!/usr/bin/env bash
# Installs what is missing, builds the test configuration (AddressSanitizer and
# UndefinedBehaviorSanitizer), runs every test through CTest, then builds and
# runs the threading tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh

jobs=$(nproc)
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
status=0
ctest --preset dev || status=$?

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan || status=$?

exit $status
