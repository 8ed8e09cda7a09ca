#!/usr/bin/env bash
# Sets everything up, builds every target and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
# One style: every source as .clang-format has it (scripts/format.sh rewrites them).
scripts/format.sh --check
cmake -S . -B build -G Ninja -DORVEL_WERROR=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
