#!/usr/bin/env bash
# Runs every fuzz target of tests/fuzz long: a number of executions each (10 million unless given),
# two at a time, then measures the coverage the grown corpora reach with a profiling build.
# Usage: bench/fuzz.sh [executions per target]. Work and logs in build-fuzz/long/; an input that
# crashed a target is kept there as <target>-crash-*, -leak-* or -timeout-*.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10000000}
targets=(json_fuzz base64_fuzz dispatch_fuzz wav_fuzz)
cov=build-fuzz-cov
jm=$cov/include/kw_protocol/protocol/jm.h  # a header is named by the path it was included through
declare -A sources=(
  [json_fuzz]=$jm
  [base64_fuzz]=src/protocol/base64.cpp
  [dispatch_fuzz]="src/protocol/dispatch.cpp src/protocol/command_set.cpp src/protocol/voice_commands.cpp $jm"
  [wav_fuzz]=src/app/wav_file.cpp)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
work=build-fuzz/long
mkdir -p "$work"

fuzz() {
  mkdir -p "$work/$1"
  build-fuzz/tests/fuzz/$1 -runs="$runs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/$1-" "$work/$1" "tests/fuzz/corpus/$1" >"$work/$1.log" 2>&1 || true
}
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
  fuzz "$t" &
done
wait

# Coverage: the corpora replayed by an uninstrumented build that writes a profile.
cmake -S . -B "$cov" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
  -DKW_FUZZ=ON -DKW_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" >/dev/null
cmake --build "$cov" --target "${targets[@]}" >/dev/null

printf '%-14s %12s %9s %8s  %s\n' target executions exec/s findings 'coverage (regions, functions, lines)'
for t in "${targets[@]}"; do
  LLVM_PROFILE_FILE="$work/$t.profraw" "$cov/tests/fuzz/$t" -runs=0 "$work/$t" \
    "tests/fuzz/corpus/$t" >/dev/null 2>&1
  llvm-profdata merge -sparse "$work/$t.profraw" -o "$work/$t.profdata"
  # shellcheck disable=SC2086
  total=$(llvm-cov report "$cov/tests/fuzz/$t" -instr-profile="$work/$t.profdata" ${sources[$t]} |
    awk '/^TOTAL/ {print $4 ", " $7 ", " $10}')
  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/$t.log")
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$work/$t.log")
  findings=$(find "$work" -maxdepth 1 -name "$t-*" | wc -l)
  printf '%-14s %12s %9s %8s  %s\n' "$t" "${execs:-?}" "${rate:-?}" "$findings" "$total"
done
