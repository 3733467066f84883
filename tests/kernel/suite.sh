# The kernel bench's suite, run on the USB host side of the VM against the
# gadget readers of init (no emulator inside the product: every report goes
# through usbhid, hidraw, dummy_hcd and the HID gadget). One line per check,
# then a summary; exit 1 when any check failed.
. /opt/vantor/kernel/checks.sh
DATA=/opt/vantor/data
EXPECTED=/opt/vantor/expected
EXAMPLES=/opt/vantor/examples

list_shows_the_reader() {
  vantor list | tee /tmp/list.txt
  grep -q '^/dev/hidraw0 .*0755:0001 v0205 .*ok' /tmp/list.txt || fail "not as expected"
}

list_json_names_serial_and_port() {
  start_gadget 0 /tmp/serial.json '{"serial": "VR-BENCH-0755"}'
  vantor list --json | tee /tmp/list.json
  grep -q '"serial": "VR-BENCH-0755"' /tmp/list.json || fail "not the state's serial"
  grep -q '"usb_path": "1-1"' /tmp/list.json || fail "not port 1-1"
}

library_tests_on_the_node() {
  # The reader link's tests with the test playing the reader on the
  # gadget's device side; the two that need a vanishing peer stay on the
  # socket pair.
  VANTOR_TEST_HID_PEER="/dev/hidraw0 /dev/hidg0" vantor_tests --gtest_brief=1 \
    --gtest_filter='ReaderLink.*:-ReaderLink.TransportFailuresGiveTheOsError:ReaderLink.ClosingTwiceFails'
}

download_and_info_as_emulated() {
  start_gadget 0 /tmp/download.json
  cd "$EXAMPLES"
  vantor download offline-demo.bin --yes > /dev/null
  vantor download firmware-demo.bin --yes > /dev/null
  vantor info > /tmp/info.txt
  cd /
  stop_gadgets
  diff "$EXPECTED/info.txt" /tmp/info.txt || fail "info differs from the emulated reader's"
  diff "$EXPECTED/download.json" /tmp/download.json || fail "state differs from the emulated reader's"
}

# Runs "$@" and sets took to its run time in centiseconds and status to its
# exit status.
timed() {
  start=$(now_cs)
  status=0
  "$@" || status=$?
  took=$(($(now_cs) - start))
}

silent_reader_times_out() {
  # The margin is what a normal run takes (starting a program is slow in an
  # emulated CPU) plus 500 ms.
  start_gadget 0 /tmp/silent.json '{"faults": [{"code": 137, "nth": 2, "action": "no_answer"}]}'
  timed vantor version
  echo "answered: exit $status after ${took}0 ms"
  normal=$took
  # 0x89 = 137, the firmware version command; its second frame gets no answer.
  export VANTOR_READ_TIMEOUT_MS=1000
  timed vantor version 2> /tmp/silent.err
  cat /tmp/silent.err
  echo "no answer: exit $status after ${took}0 ms"
  [ "$status" -eq 1 ] || fail "expected exit 1"
  grep -q "(errno 110)" /tmp/silent.err || fail "expected ETIMEDOUT (110)"
  grep -q '"code": 137' /tmp/silent.json
  [ "$took" -ge 100 ] && [ "$took" -le $((150 + normal)) ] ||
    fail "expected 1000 to $((1500 + normal * 10)) ms"
}

# Waits until the download writing its progress to $1 has got going.
wait_for_progress() {
  n=0
  until grep -q '%' "$1" 2>/dev/null; do
    n=$((n + 1))
    [ "$n" -lt 300 ] || fail "the download did not start"
    sleep 0.1
  done
}

unplug_during_download() {
  start_gadget 0 /tmp/unplug.json '{"link_ms_per_report": 2}'
  vantor download "$DATA/long.bin" > /tmp/unplug.out 2> /tmp/unplug.err &
  pid=$!
  wait_for_progress /tmp/unplug.err
  sleep 0.5
  gadget_unplug 0
  status=0
  wait_pid "$pid" 15 || status=$?
  tail -n 3 /tmp/unplug.err
  cat /tmp/unplug.out
  gone=0
  wait_for /dev/hidraw0 30 gone || gone=1
  list=0
  vantor list > /tmp/list.txt 2>&1 || list=$?
  cat /tmp/list.txt
  stop_gadgets
  gadget_plug 0 || fail "the reader did not come back"
  [ "$status" -eq 1 ] || fail "download: exit $status, expected 1"
  # The pane's text: the line that could not be sent, "Loading Error!".
  grep -q 'Error!' /tmp/unplug.out || fail "no failure message"
  [ "$gone" -eq 0 ] || fail "/dev/hidraw0 is still there"
  [ "$list" -eq 3 ] || fail "vantor list after the unplug: exit $list, expected 3"
  ! grep -q hidraw /tmp/list.txt || fail "vantor list still lists a node"
}

second_program_is_refused() {
  start_gadget 0 /tmp/busy.json '{"link_ms_per_report": 2}'
  vantor download "$DATA/medium.bin" > /dev/null 2> /tmp/busy.err &
  pid=$!
  wait_for_progress /tmp/busy.err
  status=0
  vantor info > /tmp/busy.out 2>&1 || status=$?
  cat /tmp/busy.out
  wait_pid "$pid" 30 || fail "the first download failed"
  [ "$status" -eq 3 ] || fail "second program: exit $status, expected 3"
  grep -q 'reader /dev/hidraw0 is in use by another program' /tmp/busy.out ||
    fail "no 'in use' message"
}

udev_rule_gives_plugdev() {
  systemd-udevd --daemon
  udevadm trigger --action=add --subsystem-match=hidraw
  udevadm settle --timeout=20
  udevadm control --exit
  mode=$(stat -c '%G %a' /dev/hidraw0)
  echo "/dev/hidraw0: $mode"
  [ "$mode" = "plugdev 660" ] || fail "expected group plugdev, mode 660"
  start_gadget 0 /tmp/udev.json
  su -s /bin/sh operator -c 'vantor info' || fail "plugdev member: vantor info failed"
  status=0
  su -s /bin/sh guest -c 'vantor info' || status=$?
  [ "$status" -eq 3 ] || fail "not a member: exit $status, expected 3"
}

production_line_programs_both() {
  gadget_plug 1 || fail "reader 1 did not appear"
  start_gadget 0 /tmp/line0.json
  start_gadget 1 /tmp/line1.json
  cd "$EXAMPLES"
  status=0
  vantor download offline-demo.bin --all --yes || status=$?
  cd /
  stop_gadgets
  gadget_unplug 1
  [ "$status" -eq 0 ] || fail "download --all: exit $status"
  offline_part "$EXPECTED/offline.json" > /tmp/want.txt
  for state in /tmp/line0.json /tmp/line1.json; do
    offline_part "$state" | diff /tmp/want.txt - || fail "$state: not programmed"
  done
}

timing_against_hidapi() {
  start_gadget 0 /tmp/timing.json
  status=0
  hid_exchange 1000 > /tmp/check.note || status=$?
  cat /tmp/check.note
  [ "$status" -eq 0 ]
}

check "vantor list shows /dev/hidraw0 0755:0001 v0205 ok" list_shows_the_reader
check "vantor list --json: the gadget's serial from its state, usb_path 1-1" list_json_names_serial_and_port
check "reader library tests on /dev/hidraw0" library_tests_on_the_node
check "download offline + firmware, info: same as the emulated reader" download_and_info_as_emulated
check "no answer: ETIMEDOUT within VANTOR_READ_TIMEOUT_MS + a normal run + 500 ms" silent_reader_times_out
check "unplug during download: exit 1, message, no hang, list finds none" unplug_during_download
check "exclusive open: a second vantor is told the reader is in use" second_program_is_refused
check "udev rule: group plugdev, 0660, a plugdev member can use it" udev_rule_gives_plugdev
check "two readers: download --all programs both" production_line_programs_both
check "1,000 one-report exchanges: vantor library vs hidapi" timing_against_hidapi

summary "kernel bench"
