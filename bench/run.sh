#!/usr/bin/env bash
# Benchmarks Morex.exe under Wine against sc, net and a floor program that sends the same
# request and nothing else, its size, and the tokenizer; prints the table, and writes it to
# docs/benchmarks.md only when asked.
#   bench/run.sh [RUNS] [--write]     (default 20 rounds per measure)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
source scripts/take-turns.sh
take_turns build/.bench.lock "Another benchmark run in this checkout is going on; waiting for it..."
scripts/build.sh mingw native
exec /usr/bin/python3 -m bench.wine_bench . build/mingw build/native "$@"
