#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (build-fuzz/, and build-fuzz-blocks/ for the block
# decoder's project of its own) and runs each for a given time, one after the other at the
# lowest priority, each on its own corpus under build-fuzz/corpus/<harness>/ (seeded from
# fuzz/seeds/<harness>/ where that exists).
#   scripts/fuzz.sh [seconds per harness, default 60] [harness ...]
#   FUZZ_RUNS=N stops a harness after N inputs when that comes before the time.
#   FUZZ_ARGS="..." adds libFuzzer flags (e.g. -max_len=1024).
# A crash, leak or timeout stops the script with the input kept in build-fuzz/artifacts/<harness>/.
# At the end one line per harness gives the inputs run.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
shift || true
ALL=(fuzz_fromxml fuzz_registry fuzz_ini fuzz_block_json fuzz_answer_text fuzz_rate_answer
     fuzz_emulator_requests fuzz_decode_file)
[ $# -gt 0 ] && HARNESSES=("$@") || HARNESSES=("${ALL[@]}")

CLANG_ARGS=(-G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
if command -v ccache >/dev/null; then
  CLANG_ARGS+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

main_targets=()
blocks=0
for h in "${HARNESSES[@]}"; do
  if [ "$h" = fuzz_decode_file ]; then blocks=1; else main_targets+=("$h"); fi
done
if [ ${#main_targets[@]} -gt 0 ]; then
  [ -f build-fuzz/build.ninja ] || cmake -S . -B build-fuzz "${CLANG_ARGS[@]}" -DORVEL_BUILD_FUZZ=ON \
    -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_BENCH=OFF -DORVEL_BUILD_TOOLS=OFF >/dev/null
  cmake --build build-fuzz -j2 --target "${main_targets[@]}"
fi
if [ $blocks = 1 ]; then
  [ -f build-fuzz-blocks/build.ninja ] || cmake -S fuzz/blocks -B build-fuzz-blocks "${CLANG_ARGS[@]}" >/dev/null
  cmake --build build-fuzz-blocks -j2 --target fuzz_decode_file
fi

summary=()
for h in "${HARNESSES[@]}"; do
  bin=build-fuzz/fuzz/$h
  [ "$h" = fuzz_decode_file ] && bin=build-fuzz-blocks/fuzz_decode_file
  corpus=build-fuzz/corpus/$h
  artifacts=build-fuzz/artifacts/$h
  log=build-fuzz/logs/$h.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  dirs=("$corpus")
  [ -d "fuzz/seeds/$h" ] && dirs+=("fuzz/seeds/$h")
  args=(-max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/")
  [ -n "${FUZZ_RUNS:-}" ] && args+=(-runs="$FUZZ_RUNS")
  # shellcheck disable=SC2206
  [ -n "${FUZZ_ARGS:-}" ] && args+=($FUZZ_ARGS)
  echo "== $h (${SECONDS_EACH}s${FUZZ_RUNS:+, at most $FUZZ_RUNS inputs})"
  if ! nice -n 19 "$bin" "${args[@]}" "${dirs[@]}" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "$h FAILED: see $log and $artifacts/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  summary+=("$h: ${runs:-?} inputs, no crash")
done
printf '%s\n' "${summary[@]}"
