#!/usr/bin/env bash
# Installs what is missing, builds the test configuration (AddressSanitizer and
# UndefinedBehaviorSanitizer), runs every test through CTest, then builds and
# runs the threading tests under ThreadSanitizer and the fuzz targets for a
# short fixed number of runs over their corpora (scripts/fuzz.sh fuzzes for
# longer).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh

jobs=$(getconf _NPROCESSORS_ONLN)
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
status=0
ctest --preset dev || status=$?

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan || status=$?

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz || status=$?

exit $status
