# The kernel bench's soak (scripts/kernel-bench --soak N): N downloads into
# gadget reader 0 through the USB HID stack; in about a third of them the
# gadget is unplugged (unbound from its controller) at a random moment after
# the download got going, and plugged back. After each run:
#  - vantor ended within its bound (after an unplug: the read time-out plus
#    a margin) with exit 0 or 1, and 1 only when the unplug cut it;
#  - the history holds the run's started/finished pair, whose result and
#    exit code are vantor's, with the reader's path, serial and port;
#  - the reader holds the complete script, or a part of it from its start
#    and the history says failed;
#  - vantor had nothing open at its end that it did not have at its start
#    (fdcheck.so), and no process holds a hidraw node.
# One line per anomaly, a progress line every 25 runs, the counts at the
# end; exit 1 on any anomaly.
. /opt/vantor/kernel/checks.sh
runs=$(cat /etc/vantor-bench-soak)
SCRIPT=/opt/vantor/expected/soak.bin
SERIAL=VR-SOAK-0001
STATE=/tmp/soak.json
HISTORY=/tmp/soak-history.jsonl
export VANTOR_READ_TIMEOUT_MS=3000
# After an unplug vantor must end within the read time-out and this margin
# (starting and ending a program is slow on an emulated CPU).
MARGIN_CS=500
# Any run: a hang.
BOUND_S=120

# records STATE: the offline records of a state file, one line each of
# its pretty-printed form, without the commas between records.
records() {
  awk '/"offline_records": \[\]/ {exit} /"offline_records": \[/ {on = 1; next}
       on && /^  \]/ {exit} on {sub(/,$/, ""); print}' "$1"
}
offline_part /opt/vantor/expected/soak.json > /tmp/soak.want
records /opt/vantor/expected/soak.json > /tmp/soak.records
: > "$HISTORY"
unplugged=0 success=0 failed=0 anomalies=0 cut=0 after_end=0 slowest=0
normal_cs=300  # a download from its first progress on, as the last one without an unplug took
soak_began=$(now_cs)

anomaly() {
  anomalies=$((anomalies + 1))
  echo "run $run: ANOMALY: $* (unplug: $unplug${cut_at:+ while vantor ran}; vantor said: $(tail -n 2 /tmp/soak.err | tr '\n' ' '))"
}

# field NAME RECORD: a flat field of a history record (a string without its
# quotes, a number, null).
field() {
  printf '%s\n' "$2" | sed -n -E "s/.*\"$1\": *(\"([^\"]*)\"|([-0-9]+|null|true|false)).*/\2\3/p"
}

# check_history STATUS COMPLETE: the records this run appended.
check_history() {
  total=$(wc -l < "$HISTORY")
  new=$((total - seen))
  seen=$total
  if [ "$new" -ne 2 ]; then
    anomaly "$new history records, expected started and finished"
    return
  fi
  started=$(tail -n 2 "$HISTORY" | head -n 1)
  finished=$(tail -n 1 "$HISTORY")
  [ "$(field event "$started")" = started ] && [ "$(field event "$finished")" = finished ] ||
    anomaly "history records are not started, finished"
  attempt=$(field attempt "$started")
  echo "$attempt" | grep -qE '^[0-9a-f]{32}$' && [ "$(field attempt "$finished")" = "$attempt" ] ||
    anomaly "history records do not share one attempt id"
  want=success
  [ "$1" -eq 0 ] || want=failed
  [ "$(field result "$finished")" = "$want" ] && [ "$(field exit_code "$finished")" = "$1" ] ||
    anomaly "history says $(field result "$finished"), exit $(field exit_code "$finished"); vantor exit $1"
  [ "$2" = yes ] || [ "$(field result "$finished")" = failed ] ||
    anomaly "the script is incomplete and the history does not say failed"
  for record in "$started" "$finished"; do
    id="$(field reader_path "$record") $(field serial "$record") $(field usb_path "$record")"
    [ "$id" = "/dev/hidraw0 $SERIAL 1-1" ] || anomaly "history names the reader '$id'"
  done
}

seen=0
run=0
while [ "$run" -lt "$runs" ]; do
  run=$((run + 1))
  # Gone before the run: the shell may look for progress before the new
  # vantor has made its own files.
  rm -f "$STATE" /tmp/soak.fds /tmp/soak.out /tmp/soak.err
  # What the gadget says about the unplugs goes to a log of its own.
  start_gadget 0 "$STATE" "{\"serial\": \"$SERIAL\"}" 2>> /tmp/soak-gadget.log ||
    { anomaly "gadget not started"; break; }
  # Never the first run: it measures a whole run.
  unplug=no
  [ "$run" -gt 1 ] && [ $((RANDOM % 3)) -eq 0 ] && unplug=yes
  VANTOR_HISTORY=$HISTORY VANTOR_FDCHECK=/tmp/soak.fds LD_PRELOAD=/opt/vantor/lib/fdcheck.so \
    vantor download "$SCRIPT" --yes > /tmp/soak.out 2> /tmp/soak.err &
  pid=$!
  # From the first progress on, the reader is being written.
  until grep -q '%' /tmp/soak.err 2>/dev/null || ! kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  begun=$(now_cs)
  cut_at=""
  if [ "$unplug" = yes ]; then
    unplugged=$((unplugged + 1))
    # Within three quarters of the time the last whole download took (which
    # includes the polling that noticed its end): mostly during this one,
    # now and then just after it.
    delay=$((RANDOM % (normal_cs * 3 / 4 + 1)))
    sleep "$((delay / 100)).$(printf '%02d' $((delay % 100)))"
    kill -0 "$pid" 2>/dev/null && cut_at=$(now_cs)
    gadget_unplug 0
  fi
  status=0
  wait_pid "$pid" "$BOUND_S" || status=$?
  ended=$(now_cs)
  stop_gadgets
  if [ "$unplug" = yes ]; then
    wait_for /dev/hidraw0 50 gone || anomaly "/dev/hidraw0 stays after the unplug"
    if ! gadget_plug 0; then
      anomaly "the reader did not come back as /dev/hidraw0"
      break
    fi
  fi

  case "$status" in
    0) success=$((success + 1)) ;;
    1) failed=$((failed + 1)) ;;
    124) anomaly "vantor still ran after $BOUND_S s: killed" ;;
    *) anomaly "vantor exit $status" ;;
  esac
  if [ -n "$cut_at" ]; then
    cut=$((cut + 1))
    took=$((ended - cut_at))
    [ "$took" -le "$slowest" ] || slowest=$took
    [ "$took" -le $((VANTOR_READ_TIMEOUT_MS / 10 + MARGIN_CS)) ] ||
      anomaly "vantor ended ${took}0 ms after the unplug"
  elif [ "$unplug" = yes ]; then
    after_end=$((after_end + 1))
  fi
  if [ -z "$cut_at" ]; then
    [ "$status" -eq 0 ] || anomaly "exit $status, not cut by an unplug"
    [ "$status" -ne 0 ] || [ "$unplug" = yes ] || normal_cs=$((ended - begun + 1))
  fi
  complete=no
  offline_part "$STATE" | cmp -s /tmp/soak.want - && complete=yes
  [ "$status" -ne 0 ] || [ "$complete" = yes ] || anomaly "exit 0 but the script is incomplete"
  records "$STATE" > /tmp/soak.got
  head -n "$(wc -l < /tmp/soak.got)" /tmp/soak.records | cmp -s - /tmp/soak.got ||
    anomaly "the reader holds records that are not the script's first ones"
  check_history "$status" "$complete"
  if [ "$status" -le 1 ] && { [ -s /tmp/soak.fds ] || [ ! -e /tmp/soak.fds ]; }; then
    anomaly "descriptors open at vantor's end: $(cat /tmp/soak.fds 2>/dev/null || echo 'no report')"
  fi
  ! ls -l /proc/[0-9]*/fd 2>/dev/null | grep -q hidraw || anomaly "a process holds a hidraw node"
  [ $((run % 25)) -ne 0 ] || echo "soak: $run of $runs runs, $anomalies anomalies"
done

echo "soak: $run runs, $unplugged unplugged ($cut while vantor ran, $after_end after it ended), $success success, $failed failed, $anomalies anomalies"
echo "soak: a download $((normal_cs * 10)) ms from its first progress; slowest end after an unplug $((slowest * 10)) ms (bound $((VANTOR_READ_TIMEOUT_MS + MARGIN_CS * 10)) ms); $(( ($(now_cs) - soak_began) / 100 )) s in all"
[ "$anomalies" -eq 0 ]
