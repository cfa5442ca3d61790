#!/bin/sh
# Runs every benchmark program built under a build directory's bench/ folder
# and prints their figures. Usage: scripts/run-benchmarks.sh [build-dir]
# (default build/default). Exits non-zero when a benchmark fails to run.
set -u
dir=${1:-build/default}
if [ ! -d "$dir/bench" ]; then
  echo "no benchmarks under $dir/bench (configure and build first)" >&2
  exit 2
fi
status=0
found=0
for exe in $(find "$dir/bench" -type f -perm -u+x ! -name '*.so' ! -path '*/CMakeFiles/*' | sort); do
  found=1
  echo "== $exe"
  if ! "$exe"; then
    echo "== $exe failed" >&2
    status=1
  fi
done
[ "$found" = 1 ] || echo "no benchmark programs found under $dir/bench" >&2
exit $status
