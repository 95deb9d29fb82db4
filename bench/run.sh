#!/usr/bin/env bash
# Benchmarks Morex.exe under Wine against sc, net and a bare floor program, its size and
# memory, and the tokenizer; prints the table and writes docs/benchmarks.md.
#   bench/run.sh [RUNS]     (default 20 cycles per tool)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake --preset mingw >/dev/null && cmake --build --preset mingw -j "$(nproc)" >/dev/null
cmake --preset native >/dev/null && cmake --build --preset native -j "$(nproc)" >/dev/null
exec /usr/bin/python3 bench/wine_bench.py . build/mingw build/native "${1:-20}"
