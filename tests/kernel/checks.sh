# What the kernel bench's check scripts share: one line per check, the
# gadget readers' emulators, small helpers. Sourced.
. /opt/vantor/kernel/gadget.sh
passed=0
failed=0
gadgets=""

# check NAME FUNCTION: runs the function in a subshell that stops at the
# first failing command; its output is shown indented when it fails. The
# gadget readers it started are stopped when it ends. What it writes to
# /tmp/check.note is shown in any case.
check() {
  rm -f /tmp/check.note
  begun=$(now_cs)
  (
    set -e
    trap stop_gadgets EXIT
    "$2"
  ) > /tmp/check.out 2>&1
  status=$?
  seconds=$(( ($(now_cs) - begun + 50) / 100 ))
  if [ "$status" -eq 0 ]; then
    echo "ok   $1 (${seconds} s)"
    [ ! -f /tmp/check.note ] || sed 's/^/       /' /tmp/check.note
    passed=$((passed + 1))
  else
    echo "FAIL $1 (${seconds} s)"
    sed 's/^/       /' /tmp/check.out
    failed=$((failed + 1))
  fi
}

# start_gadget N STATE [JSON]: reader N's emulator, on STATE (written from
# JSON first when given), presenting its serial number.
start_gadget() {
  [ -z "$3" ] || echo "$3" > "$2"
  gadget_serial "$1" "$2" || return 1
  vantor-gadget "$2" "/dev/hidg$1" &
  gadgets="$gadgets $!"
}

stop_gadgets() {
  for pid in $gadgets; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in $gadgets; do wait "$pid" || true; done
  gadgets=""
}

fail() {
  echo "$*"
  return 1
}

# Centiseconds since boot.
now_cs() {
  sed 's/ .*//; s/\.//' /proc/uptime
}

# The part of a state file a download changes: stored name and records.
offline_part() {
  sed -n '/"offline_file_name"/,/"firmware"/p' "$1"
}

# wait_pid PID SECONDS: waits for a background job and gives its exit
# status; 124 when it is still running then (it is killed).
wait_pid() {
  n=0
  while kill -0 "$1" 2>/dev/null; do
    n=$((n + 1))
    if [ "$n" -gt $(($2 * 10)) ]; then
      kill -KILL "$1"
      wait "$1" || true
      return 124
    fi
    sleep 0.1
  done
  wait "$1"
}

# summary NAME: the counts; fails when a check failed.
summary() {
  echo "$1: $((passed + failed)) checks, $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
