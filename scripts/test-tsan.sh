#!/usr/bin/env bash
# Builds the test programs whose cases run threads (and what they drive: the library and
# the emulator) with ThreadSanitizer in build-tsan/ and runs them, the tests labelled "slow"
# aside. Every process, the emulator children included, writes its reports under
# build-tsan/tsan-reports/; any report fails the run. Races inside cpp-httplib are
# suppressed by tests/tsan-suppressions.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

TARGETS=(test_platform test_blocks test_db test_httpclient test_transport test_hwinfo test_infocollection
         test_remotestorage test_transfer test_emulator test_orvelsdk)

args=(-G Ninja -DORVEL_SANITIZE_THREAD=ON -DORVEL_BUILD_BENCH=OFF)  # no -Werror: see test-asan.sh
if command -v ccache >/dev/null; then
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-tsan "${args[@]}"
cmake --build build-tsan -j2 --target "${TARGETS[@]}"

reports=$PWD/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan-suppressions.txt:log_path=$reports/report:second_deadlock_stack=1:history_size=4"
status=0
# Left out: programs not built here ("<target>_NOT_BUILT", the CLI and C example runs).
skip='_NOT_BUILT$|^cli\.|^orvelsdk\.c_api_test$'
ctest --test-dir build-tsan --output-on-failure -j2 -LE slow -E "$skip" || status=$?
if compgen -G "$reports/report.*" >/dev/null; then
  cat "$reports"/report.*
  echo "ThreadSanitizer reported the races above" >&2
  exit 1
fi
exit $status
