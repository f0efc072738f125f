#!/bin/sh
# vireo's commands writing where no file can be written, run inside with_fault_mounts.sh:
# each must exit non-zero with a message naming the cause, and report no success; a
# recording that fills the small disk stops early and keeps what it wrote as a valid RAW
# file that vireo info reads.
#   fault_outputs.sh VIREO
set -u
vireo=$1
ro=$VIREO_READONLY_DIR
small=$VIREO_SMALL_DISK
source=$VIREO_READONLY_SOURCE
failures=0
log=$(mktemp)

fail() {
  echo "FAIL: $*"
  echo "--- output"; cat "$log"
  failures=$((failures + 1))
}

# expect_failure WHAT PATTERN COMMAND...: a non-zero status, PATTERN in the output, no "wrote".
expect_failure() {
  what=$1 pattern=$2
  shift 2
  "$@" > "$log" 2>&1
  status=$?
  if [ "$status" -eq 0 ]; then
    fail "$what: exit status 0"
  elif ! grep -q -- "$pattern" "$log"; then
    fail "$what: no \"$pattern\" in the output"
  elif grep -q "^wrote " "$log"; then
    fail "$what: reports a written file"
  else
    echo "ok: $what (status $status): $(tail -n 1 "$log")"
  fi
}

# A recording to read back, written through the writable side of the read-only folder.
"$vireo" record "$source/sample.raw" --simulate --duration 1 > "$log" 2>&1 || fail "recording the sample"
rm -f "$source"/sample.dsmark.*  # the reader is to index it anew, with nowhere to save the index
sample=$ro/sample.raw

expect_failure "record into a read-only folder" "Read-only file system" \
  "$vireo" record "$ro/out.raw" --simulate --duration 1
[ -e "$ro/out.raw" ] && fail "record left $ro/out.raw"
expect_failure "fusion record into a read-only folder" "Read-only file system" \
  "$vireo" record "$ro/take.raw" --fusion --simulate --duration 1
expect_failure "video into a read-only folder" "Read-only file system" "$vireo" video "$sample" "$ro/out.mp4"
expect_failure "cut into a read-only folder" "Read-only file system" "$vireo" cut "$sample" "$ro/cut.raw" 0 500000
expect_failure "calibrate into a read-only folder" "Read-only file system" \
  "$vireo" calibrate --target symmetric --size 7x5 --spacing 30 -o "$ro/result.json" "$sample"
[ -e "$ro/result.json" ] && fail "calibrate left $ro/result.json"
# The reader indexes a recording it cannot put an index beside, and says so.
"$vireo" info "$sample" > "$log" 2>&1 || fail "info on a recording in a read-only folder: status $?"
grep -q "not saved" "$log" || fail "info does not say that the index was not saved"

# A disk that fills while recording: the recording stops long before its 60 s, the command
# fails with the cause, and the file keeps a valid recording of what was written.
start=$(date +%s)
expect_failure "record onto a disk that fills up" "No space left on device" \
  "$vireo" record "$small/full.raw" --simulate --duration 60
[ $(($(date +%s) - start)) -lt 50 ] || fail "the recording went on after the disk was full"
grep -q "holds what was recorded until then" "$log" || fail "record does not say that the file was kept"
[ -s "$small/full.raw" ] || fail "no partial recording at $small/full.raw"
"$vireo" info "$small/full.raw" > "$log" 2>&1 || fail "the partial recording does not read: status $?"
rm -f "$small/full.raw"
expect_failure "fusion record onto a disk that fills up" "No space left on device" \
  "$vireo" record "$small/take.raw" --fusion --simulate --duration 60

rm -f "$log"
[ "$failures" -eq 0 ] || exit 1
echo "all outputs that cannot be written were refused"
