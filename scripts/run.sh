#!/usr/bin/env bash
# Sets everything up, builds the library and shows what it exports.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja
cmake --build build --target orvelsdk -j2

lib=build/src/orvelsdk/liborvelsdk.so
echo "Exports of ${lib}:"
nm -D --defined-only "$lib"
