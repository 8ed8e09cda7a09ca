#!/usr/bin/env bash
# Builds everything but the benchmarks with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/ and runs the suite there, the tests labelled "slow" aside. Every process, the
# emulator children included, writes its reports under build-asan/asan-reports/; any report
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

# No -Werror here: with the instrumentation g++ 12 warns of uninitialised reads inside the
# standard library (std::regex, std::function) that are not there. The plain build is -Werror.
args=(-G Ninja -DORVEL_SANITIZE_ADDRESS=ON -DORVEL_BUILD_BENCH=OFF)
if command -v ccache >/dev/null; then
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-asan "${args[@]}"
cmake --build build-asan -j2

reports=$PWD/build-asan/asan-reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
status=0
ctest --test-dir build-asan --output-on-failure -j2 -LE slow || status=$?
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/*
  echo "the sanitizers reported the faults above" >&2
  exit 1
fi
exit $status
