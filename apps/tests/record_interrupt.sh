#!/bin/sh
# vireo record ended by a signal, as a user ends it with Ctrl-C.
#   record_interrupt.sh VIREO SCRATCH_DIR SIGNAL record   the signal comes while recording: the
#       command writes the file with what it recorded, exits 0 and leaves no segment folder
#   record_interrupt.sh VIREO SCRATCH_DIR SIGNAL cache    the signal comes during the cache
#       wait: nothing is written, the status is 128 + the signal, no segment folder stays
# The signal is sent once the tool has printed the line that shows it reached that phase
# (polled, at most 30 s).
set -u
vireo=$1 dir=$2 signal=$3 phase=$4
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1
out="$dir/out.raw"

if [ "$phase" = cache ]; then
  "$vireo" record "$out" --simulate --cache 60 --duration 1 > stdout.txt 2> stderr.txt &
  ready="caching 60 s"
else
  "$vireo" record "$out" --simulate --duration 60 > stdout.txt 2> stderr.txt &
  ready="recording SIM"
fi
pid=$!

fail() {
  echo "FAIL: $*"
  echo "--- stdout"; cat stdout.txt; echo "--- stderr"; cat stderr.txt
  kill -9 "$pid" 2> /dev/null
  exit 1
}

polls=0
until grep -q "$ready" stdout.txt; do
  kill -0 "$pid" 2> /dev/null || fail "vireo record ended before \"$ready\""
  polls=$((polls + 1))
  [ "$polls" -le 300 ] || fail "no \"$ready\" line within 30 s"
  sleep 0.1
done
kill "-$signal" "$pid"
wait "$pid"
status=$?
ls -d "$dir"/vireo-segments-* > /dev/null 2>&1 && fail "a segment folder stayed behind: $(ls -d "$dir"/vireo-segments-*)"

if [ "$phase" = cache ]; then
  case "$signal" in INT) expected=130 ;; TERM) expected=143 ;; *) fail "unknown signal $signal" ;; esac
  [ "$status" -eq "$expected" ] || fail "exit status $status, expected $expected"
  [ -e "$out" ] && fail "a file was written although nothing was recorded"
  grep -q "before the recording started: nothing recorded" stderr.txt || fail "no message saying nothing was recorded"
  echo "interrupted during the cache wait: status $status, no file"
  exit 0
fi

[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
grep -q "stopped by SIG$signal after" stderr.txt || fail "no message saying the recording was stopped"
grep -q "out.raw: [0-9]* bytes" stdout.txt || fail "no line giving the file's size"
[ -f "$out" ] || fail "no file written"
"$vireo" info "$out" > info.txt 2>&1 || { cat info.txt; fail "vireo info cannot read the file"; }
events=$(sed -n 's/^events  *\([0-9][0-9]*\)$/\1/p' info.txt)
[ -n "$events" ] && [ "$events" -gt 0 ] || { cat info.txt; fail "the file holds no events"; }
echo "interrupted recording: status 0, $events events in $out"
