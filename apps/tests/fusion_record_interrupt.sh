#!/bin/sh
# vireo record --fusion ended by a signal, as a user ends it with Ctrl-C: the command completes
# both files under their names with what it recorded, exits 0 and leaves no temporary file.
#   fusion_record_interrupt.sh VIREO SCRATCH_DIR SIGNAL
# The signal is sent once the tool has printed its first progress line (polled, at most 30 s).
set -u
vireo=$1 dir=$2 signal=$3
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1

"$vireo" record "$dir/pair" --fusion --simulate --duration 60 > stdout.txt 2> stderr.txt &
pid=$!

fail() {
  echo "FAIL: $*"
  echo "--- stdout"; cat stdout.txt; echo "--- stderr"; cat stderr.txt
  kill -9 "$pid" 2> /dev/null
  exit 1
}

polls=0
until grep -q "recording SIM.*frames" stdout.txt; do
  kill -0 "$pid" 2> /dev/null || fail "vireo record ended before its first progress line"
  polls=$((polls + 1))
  [ "$polls" -le 300 ] || fail "no progress line within 30 s"
  sleep 0.1
done
kill "-$signal" "$pid"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
grep -q "stopped by SIG$signal after .*pair.raw and .*pair.mp4" stderr.txt || fail "no message saying the recording was stopped"
grep -q "pair.raw: [0-9]* bytes .* and .*pair.mp4: [1-9][0-9]* frames" stdout.txt || fail "no line giving both files"
[ -f pair.raw ] && [ -f pair.mp4 ] || fail "the pair was not written"
leftover=$(ls -A | grep '\.part\.' || true)
[ -z "$leftover" ] || fail "temporary files stayed behind: $leftover"
"$vireo" info pair.raw > info.txt 2>&1 || { cat info.txt; fail "vireo info cannot read pair.raw"; }
events=$(sed -n 's/^events  *\([0-9][0-9]*\)$/\1/p' info.txt)
[ -n "$events" ] && [ "$events" -gt 0 ] || { cat info.txt; fail "pair.raw holds no events"; }
echo "interrupted fusion recording: status 0, $events events in pair.raw"
