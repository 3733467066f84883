# The kernel bench's station check (scripts/kernel-bench --station N):
# vantor station runs while gadget reader 0 is plugged in and unplugged N
# times (bound to its controller and unbound). Each plug must give exactly
# one attempt, and a successful one, before the reader is unplugged; at the
# end the station (stopped by SIGINT) exits 0, its JSON Lines and the
# history count N attempts, N successes, each attempt a started/finished
# pair of one batch. Measured: from the hidraw node's appearance to the
# first report the gadget receives (median and 95th percentile). One line
# per anomaly; exit 1 on any.
. /opt/vantor/kernel/checks.sh
runs=$(cat /etc/vantor-bench-station)
SERIAL=VR-STATION-01
STATE=/tmp/station.json
HISTORY=/tmp/station-history.jsonl
OUT=/tmp/station.out
UDC=$GADGETS/reader0/UDC
anomalies=0
run=0

anomaly() {
  anomalies=$((anomalies + 1))
  echo "plug $run: ANOMALY: $* (station said: $(tail -n 2 /tmp/station.err | tr '\n' ' '))"
}

# count EVENT [FILE]: the JSON Lines of that event.
count() {
  grep -c "\"event\": *\"$1\"" "${2:-$OUT}" 2>/dev/null || true
}

# wait_count EVENT N TENTHS: waits until there are N lines of EVENT.
wait_count() {
  n=0
  while [ "$(count "$1")" -lt "$2" ]; do
    [ "$n" -lt "$3" ] || return 1
    sleep 0.1
    n=$((n + 1))
  done
}

# The reader init plugged in goes first: every plug is the check's own.
gadget_unplug 0
wait_for /dev/hidraw0 50 gone || { echo "station: /dev/hidraw0 stays after the unplug"; exit 1; }
echo "{\"serial\": \"$SERIAL\"}" > "$STATE"
gadget_serial 0 "$STATE" || exit 1
: > "$HISTORY"
VANTOR_HISTORY=$HISTORY vantor station /opt/vantor/examples/offline-demo.bin --json \
  > "$OUT" 2> /tmp/station.err &
station=$!
: > /tmp/station.latency
began=$(now_cs)

while [ "$run" -lt "$runs" ]; do
  run=$((run + 1))
  rm -f /tmp/first-report
  VANTOR_FIRST_REPORT=/tmp/first-report LD_PRELOAD=/opt/vantor/lib/plugtime.so \
    vantor-gadget "$STATE" /dev/hidg0 2>> /tmp/station-gadget.log &
  gadget=$!
  if ! appeared=$(plugtime "$UDC" dummy_udc.0 /dev/hidraw0); then
    anomaly "the reader did not come as /dev/hidraw0"
    break
  fi
  wait_count finished "$run" 600 || anomaly "no attempt finished within 60 s"
  sleep 0.3  # a second attempt on the same plug would start within this
  [ "$(count started)" -eq "$run" ] || anomaly "$(count started) attempts started in $run plugs"
  if [ -s /tmp/first-report ]; then
    awk -v a="$appeared" -v f="$(cat /tmp/first-report)" 'BEGIN {printf "%d\n", (f - a) * 1000 + 0.5}' \
      >> /tmp/station.latency
  else
    anomaly "the gadget received no report"
  fi
  gadget_unplug 0
  wait_for /dev/hidraw0 50 gone || anomaly "/dev/hidraw0 stays after the unplug"
  wait_count detached "$run" 100 || anomaly "the station did not see the unplug"
  kill -TERM "$gadget" 2>/dev/null
  wait "$gadget" || true
done

kill -INT "$station" 2>/dev/null
status=0
wait_pid "$station" 60 || status=$?
[ "$status" -eq 0 ] || anomaly "the station exit $status"
for event in attached started finished detached; do
  [ "$(count "$event")" -eq "$runs" ] || anomaly "$(count "$event") $event events for $runs plugs"
done
ok=$(grep '"event": *"finished"' "$OUT" | grep -c '"ok": *true' || true)
[ "$ok" -eq "$runs" ] || anomaly "$ok of $runs attempts succeeded"
[ "$(count summary)" -eq 1 ] || anomaly "no summary line"
grep '"event": *"finished"' "$OUT" | grep -v -q "\"path\": *\"/dev/hidraw0\".*\"serial\": *\"$SERIAL\"" &&
  anomaly "an attempt names another reader"

# The history: a started and a finished record per attempt, one batch.
[ "$(count started "$HISTORY")" -eq "$runs" ] && [ "$(count finished "$HISTORY")" -eq "$runs" ] ||
  anomaly "history: $(count started "$HISTORY") started, $(count finished "$HISTORY") finished"
attempts=$(sed -n 's/.*"attempt": *"\([0-9a-f]*\)".*/\1/p' "$HISTORY" | sort | uniq -c |
  awk '$1 != 2 {bad++} END {print NR - bad}')
[ "$attempts" -eq "$runs" ] || anomaly "history: $attempts attempts with a started/finished pair"
batches=$(sed -n 's/.*"batch": *"\([0-9a-f]*\)".*/\1/p' "$HISTORY" | sort -u | wc -l)
[ "$batches" -eq 1 ] || anomaly "history: $batches batches, expected the station's one"
successes=$(grep '"event": *"finished"' "$HISTORY" | grep -c '"result": *"success"' || true)
[ "$successes" -eq "$runs" ] || anomaly "history: $successes successes"

sort -n /tmp/station.latency > /tmp/station.sorted
measured=$(wc -l < /tmp/station.sorted)
percentile() {
  [ "$measured" -gt 0 ] || { echo "-"; return; }
  sed -n "$(( (measured * $1 + 99) / 100 ))p" /tmp/station.sorted
}
echo "station: $run plugs, $(count started) attempts, $ok succeeded, $anomalies anomalies; $(( ($(now_cs) - began) / 100 )) s in all"
echo "station: node to first report: median $(percentile 50) ms, 95th percentile $(percentile 95) ms ($measured plugs)"
[ "$anomalies" -eq 0 ]
