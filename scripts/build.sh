#!/usr/bin/env bash
# Builds the optimised program and lays it out as build/installer.app.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
rm -rf build/installer.app
cp -a build/release/installer.app build/installer.app
echo "Built build/installer.app"
