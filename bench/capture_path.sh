#!/usr/bin/env bash
# Runs the capture-path benchmarks and prints each against its anchor from the same run.
# Usage: bench/capture_path.sh [build-dir]   (default: build)
set -euo pipefail
build=${1:-build}
out=$(mktemp)
"$build/capture_path_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_format=json >"$out"
python3 - "$out" <<'PY'
import json, sys
rows = {b["run_name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"] if b["aggregate_name"] == "median"}
def ns(name): return rows[name]["real_time"]
conv, memcpy = ns("BM_Convert512"), ns("BM_MemcpyAnchor512")
append, write = ns("BM_WavAppend512"), ns("BM_WriteAnchor512")
print(f"conversion of 512 frames: {conv:.0f} ns ({512e9/conv/1e6:.1f} M frames/s); memcpy of the same input: {memcpy:.0f} ns; ratio {conv/memcpy:.2f}x (target <= 4x)")
print(f"WAV append of 512 frames: {append:.0f} ns; bare write(2): {write:.0f} ns; ratio {append/write:.2f}x (target <= 1.2x)")
PY
rm -f "$out"
