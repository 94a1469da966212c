#!/usr/bin/env bash
# Builds the fuzz targets into build-fuzz/ (clang, libFuzzer, AddressSanitizer, UBSan) and runs each
# for SECONDS (default 60) from its seed corpus in fuzz/corpus/. New inputs go to a temporary
# folder, never into the tree. A crash or a failed check stops with the input saved in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build-fuzz -DKX_BUILD_FUZZ=ON -DKX_BUILD_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target kx_fuzz_request kx_fuzz_access_key kx_fuzz_type_profile
for target in request access_key type_profile; do
  work=$(mktemp -d /tmp/kx-fuzz-corpus.XXXXXX)
  echo "fuzzing $target for ${seconds}s"
  # -timeout bounds one input, -max_total_time the run; the outer timeout is the last guard.
  status=0
  timeout --kill-after=10 $((seconds + 60)) "build-fuzz/fuzz/kx_fuzz_$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
    -dict="fuzz/$target.dict" -artifact_prefix="build-fuzz/$target-" "$work" "fuzz/corpus/$target" 2>"build-fuzz/$target.log" || status=$?
  rm -rf "$work"
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "build-fuzz/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "build-fuzz/$target.log"
    echo "fuzzing $target failed (exit $status)"
    exit 1
  fi
done
echo "fuzzing: 3 targets ran ${seconds}s each without a failure"
