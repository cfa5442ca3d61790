#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build briefly (default 60 s each,
# FUZZ_SECONDS changes it). The seed corpus is the SQL of the engine's logic
# tests, one statement block per file, so the fuzzer starts from real T-SQL.
# A crash, a hang (10 s per input) or a sanitizer report fails the run; the
# input that did it is left in the build directory as crash-*/timeout-*.
set -euo pipefail
build=${1:?usage: run-fuzzers.sh BUILD_DIR}
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
corpus="$build/fuzz-corpus"
mkdir -p "$corpus"
# Blank-line separated blocks of the .test files become seed inputs.
awk -v dir="$corpus" '
  BEGIN { n = 0; block = "" }
  /^[[:space:]]*$/ { if (block != "") { f = sprintf("%s/seed-%05d.sql", dir, n++); printf "%s", block > f; close(f); block = "" } next }
  { block = block $0 "\n" }
  END { if (block != "") { f = sprintf("%s/seed-%05d.sql", dir, n++); printf "%s", block > f; close(f) } }
' tests/engine/logic/*.test tests/engine/logic/pending/*.test 2>/dev/null || true

found=0
for target in "$build"/src/engine/tools/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  echo "== $name for ${seconds}s"
  work="$build/fuzz-work/$name"
  mkdir -p "$work"
  exe=$(realpath "$target")
  seeds=$(realpath "$corpus")
  (cd "$work" && "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$seeds")
done
if [ "$found" = 0 ]; then
  echo "no fuzz targets under $build" >&2
  exit 1
fi
