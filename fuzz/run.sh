#!/usr/bin/env bash
# Runs every fuzz target of a -DVIREO_FUZZ=ON build for a bounded time, two at a time, each
# on a scratch copy of its seed corpus (the committed corpus never grows), and prints one
# line per target: runs, coverage and result. Exits non-zero on any finding: a crash, a
# sanitizer report, a leak, a timeout, running out of memory or a broken invariant.
#
#   fuzz/run.sh <build-dir> [seconds-per-target]      (default 60 s)
#
# Crash inputs land in <build-dir>/fuzz-artifacts/ (FUZZ_ARTIFACTS overrides it), each named
# after its target; logs in <build-dir>/fuzz-logs/. FUZZ_JOBS sets how many targets run at
# once (default 2), FUZZ_TARGETS a space-separated subset.
set -uo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 <build-dir> [seconds-per-target]" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=${2:-60}
source_dir=$(cd "$(dirname "$0")" && pwd)
artifacts=${FUZZ_ARTIFACTS:-$build/fuzz-artifacts}
logs=$build/fuzz-logs
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vireo-fuzz-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts" "$logs"

targets=(${FUZZ_TARGETS:-fuzz_evt3_decoder fuzz_raw_reader fuzz_index_files fuzz_mp4_reader
         fuzz_calibration_result fuzz_register_sequence fuzz_command_line})
jobs=${FUZZ_JOBS:-2}

# Leaks inside FFmpeg and OpenCV are not the kit's (the same list the sanitizer tests use).
export LSAN_OPTIONS="suppressions=$source_dir/../cmake/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"

run_one() {
  local target=$1 binary=$build/fuzz/$1
  local corpus=$scratch/corpus-$target log=$logs/$target.log
  if [ ! -x "$binary" ]; then
    echo "missing binary $binary" >"$log"
    return 3
  fi
  mkdir -p "$corpus"
  if [ -d "$source_dir/corpus/$target" ]; then cp -r "$source_dir/corpus/$target/." "$corpus/"; fi
  local options=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1
                 -artifact_prefix="$artifacts/$target-")
  if [ -f "$source_dir/$target.dict" ]; then options+=(-dict="$source_dir/$target.dict"); fi
  (cd "$scratch" && exec "$binary" "${options[@]}" "$corpus") >"$log" 2>&1
}

# One line per target, from its log: runs, the last coverage figure, the result.
report() {
  local target=$1 status=$2 log=$logs/$1.log
  local runs cov result
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*')
  if [ "$status" -eq 0 ]; then
    result=ok
  else
    result="FINDING (exit $status): $(grep -m1 -E '^==[0-9]+==ERROR|runtime error|invariant violated|ERROR: libFuzzer|missing binary' "$log" | cut -c1-150)"
  fi
  printf '%-26s runs %-10s cov %-6s %s\n' "$target" "${runs:-?}" "${cov:-?}" "$result"
}

declare -A pid_of=()
declare -A status_of=()
started=$(date +%s)
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$target" &
  pid_of[$target]=$!
done
failed=0
for target in "${targets[@]}"; do
  wait "${pid_of[$target]}"
  status_of[$target]=$?
  report "$target" "${status_of[$target]}"
  [ "${status_of[$target]}" -eq 0 ] || failed=1
done
echo "fuzz run: ${#targets[@]} targets, ${seconds} s each, $(($(date +%s) - started)) s in all"
if [ "$failed" -ne 0 ]; then
  echo "findings: inputs in $artifacts, logs in $logs" >&2
  exit 1
fi
