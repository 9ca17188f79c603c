#!/usr/bin/env bash
# Builds the fuzzers in build-fuzz and runs each for SECONDS seconds, starting
# from the committed corpus. Fails on the first crash, leak, hang or
# sanitizer report; what triggered it is left in build-fuzz/fuzz-work/*/.
#   tests/fuzz/smoke.sh SECONDS
# CC and CXX pick the compiler (default clang-14); JOBS the build jobs.
set -euo pipefail
seconds="${1:?usage: tests/fuzz/smoke.sh SECONDS}"
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

build=build-fuzz
mkdir -p "$build"
cmake -S . -B "$build" \
  -DCMAKE_C_COMPILER="${CC:-clang-14}" -DCMAKE_CXX_COMPILER="${CXX:-clang++-14}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESHOCR_BUILD_FUZZERS=ON -DKESHOCR_SANITIZE=address,undefined -DKESHOCR_BUILD_TESTS=OFF -DKESHOCR_BUILD_TOOLS=OFF -DKESHOCR_BUILD_BENCH=OFF \
  > "$build/configure.log" || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j"${JOBS:-2}" --target fuzz_package fuzz_stream fuzz_run

for fuzzer in package stream run; do
  work="$build/fuzz-work/$fuzzer"
  rm -rf "$work"
  mkdir -p "$work/new" "$work/artifacts"
  dict=()
  [[ $fuzzer == package ]] && dict=(-dict=tests/fuzz/package.dict)
  echo "== fuzz_$fuzzer for ${seconds}s"
  # New inputs go to the first directory, so the committed corpus stays as it is.
  # ONNX Runtime keeps some state for the life of the process (see
  # tests/sanitizer/lsan.supp); it is not a leak of ours.
  LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp:print_suppressions=0" \
  "$build/tests/fuzz/fuzz_$fuzzer" "${dict[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/new" "tests/fuzz/corpus/$fuzzer"
done
echo "== no crash"
