# The 32-bit Windows build against the gadget reader: Wine inside the VM (a
# Debian root file system on the virtio disk), finding the reader through its
# HID search (SetupDi/HidD on Wine's hidraw bus). The VM runs 32-bit code
# whatever the host can do. With an installer given, that installer's
# checks instead. One line per check, then a summary; exit 1 when any check
# failed.
. /opt/vantor/kernel/checks.sh
EXPECTED=/opt/vantor/expected
root=/mnt/debian

while read -r module; do insmod "$module" || exit 1; done < /etc/vantor-disk-modules
mkdir -p "$root"
wait_for /dev/vda 50 && mount -t ext4 /dev/vda "$root" || { echo "vantor-bench: no Wine disk"; exit 1; }
for fs in proc sys dev; do mount --bind "/$fs" "$root/$fs"; done
mount -t tmpfs tmpfs "$root/tmp"
mount -t tmpfs tmpfs "$root/run"
cp -r /opt/vantor/windows/* /opt/vantor/examples/offline-demo.bin "$root/tmp/"

# wine_run ARGS...: a Windows program in the Debian root, as root, in the
# 32-bit prefix on the disk (with "Enable SDL" = 0, without which Wine's HID
# bus does not read hidraw).
wine_run() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/bin:/bin WINEPREFIX=/root/prefix \
    WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' \
    sh -c 'cd /tmp && "$@"' wine "$@"
}

# The gadget presents this serial number all along: a new one would plug it
# anew under Wine's running HID bus.
SERIAL_STATE='{"serial": "VR-WINE-0001"}'

list_finds_the_gadget() {
  wine_run wine vantor.exe list | tr -d '\r' | tee /tmp/list.txt
  grep -q '0755:0001 v0205  ok' /tmp/list.txt || fail "not as expected"
  # The serial number through HidD_GetSerialNumberString.
  wine_run wine vantor.exe list --json | tr -d '\r' | tee /tmp/list.json
  grep -q '"serial": "VR-WINE-0001"' /tmp/list.json || fail "not the gadget's serial"
  grep -E '"(serial|usb_path)"' /tmp/list.json | tr -s ' ' > /tmp/check.note
}

download_and_info() {
  start_gadget 0 /tmp/wine.json "$SERIAL_STATE"
  wine_run wine vantor.exe download offline-demo.bin | tr -d '\r' | tee /tmp/download.txt
  grep -q 'Download SUCCESS!' /tmp/download.txt || fail "download did not succeed"
  wine_run wine vantor.exe info | tr -d '\r' | tee /tmp/info.txt
  grep -q 'offline-demo.bin' /tmp/info.txt || fail "info does not name the file"
  stop_gadgets
  offline_part "$EXPECTED/offline.json" > /tmp/want.txt
  offline_part /tmp/wine.json | diff /tmp/want.txt - || fail "the reader holds something else"
}

# The window's own HID search: on a virtual display, the path typed into
# its field, then "Get Device Info" and "Download To  Device" (tab order:
# Open File..., path, Get Device Info, Download To  Device).
window_downloads() {
  start_gadget 0 /tmp/window.json "$SERIAL_STATE"
  chroot "$root" Xvfb :1 -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
  xvfb=$!
  x() { chroot "$root" /usr/bin/env -i DISPLAY=:1 xdotool "$@"; }
  wine_run env DISPLAY=:1 wine VantorTool.exe > /dev/null 2>&1 &
  app=$!
  window=""
  n=0
  while [ -z "$window" ]; do
    n=$((n + 1))
    [ "$n" -lt 300 ] || { kill "$xvfb"; fail "the window did not appear"; }
    sleep 1
    window=$(x search --name '^Orvane V' 2> /dev/null | head -n 1) || true
  done
  echo "window $window after $n s"
  sleep 5
  x windowactivate --sync "$window" 2> /dev/null || x windowfocus "$window" || true
  x key --delay 300 Tab
  x type --delay 50 'Z:\tmp\offline-demo.bin'
  x key --delay 300 Tab space
  sleep 20
  x key --delay 300 Tab space
  n=0
  # The download ends with the buzzer command (0x79 = 121).
  until grep -q '"code": 121' /tmp/window.json 2> /dev/null; do
    n=$((n + 1))
    [ "$n" -lt 180 ] || break
    sleep 1
  done
  # Alt+F4 closes the window, and the program ends.
  x windowactivate --sync "$window" 2> /dev/null || true
  x key --delay 300 alt+F4
  closed=0
  wait_pid "$app" 60 || closed=$?
  kill "$xvfb"
  stop_gadgets
  [ "$closed" -eq 0 ] || fail "the window did not close (status $closed)"
  # Get Device Info asks for the firmware version (0x89 = 137).
  grep -q '"code": 137' /tmp/window.json || fail "Get Device Info did not reach the reader"
  offline_part "$EXPECTED/offline.json" > /tmp/want.txt
  offline_part /tmp/window.json | diff /tmp/want.txt - || fail "the reader holds something else"
}

# The prefix is made once, here (the first run keeps it on the disk).
if [ ! -f "$root/root/prefix/.vantor-ready" ]; then
  begun=$(now_cs)
  rm -rf "$root/root/prefix"
  wine_run wineboot -i > /dev/null 2>&1 &&
    wine_run wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
      /v 'Enable SDL' /t REG_DWORD /d 0 /f > /dev/null &&
    wine_run wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f > /dev/null &&
    wine_run wineserver -w || { echo "vantor-bench: the Wine prefix could not be made"; exit 1; }
  touch "$root/root/prefix/.vantor-ready"
  sync
  echo "vantor-bench: Wine prefix ready ($(( ($(now_cs) - begun) / 100 )) s)"
fi

# An installer given: its checks, in the same prefix (the disk is a snapshot).
installer_checks() {
  cp /opt/vantor/windows/setup.exe /opt/vantor/windows/want.txt /opt/vantor/windows/installer_check.sh \
    "$root/tmp/"
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/bin:/bin WINEPREFIX=/root/prefix \
    WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' \
    bash /tmp/installer_check.sh /tmp/setup.exe /tmp/want.txt 'C:\Program Files\VantorTool' VantorTool \
    > /tmp/check.note 2>&1 || { cat /tmp/check.note; rm /tmp/check.note; return 1; }
}
if [ -f /opt/vantor/windows/setup.exe ]; then
  started=$(now_cs)
  check "the 32-bit installer: silent install, the installed vantor.exe, silent uninstall" installer_checks
  echo "Wine part: $(( ($(now_cs) - started) / 100 )) s"
  summary "windows installer bench"
  exit
fi

# The 32-bit build's own test suite: its test program (the reader link over
# named pipes, the loader, the Win32 window on a virtual display) and its
# end-to-end script (vantor.exe against emulated readers, the C example with
# the 32-bit DLL).
suite_passes() {
  chroot "$root" Xvfb :2 -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
  xvfb=$!
  status=0
  wine_run env DISPLAY=:2 wine vantor_tests.exe > /tmp/suite.txt 2>&1 || status=$?
  kill "$xvfb"
  tr -d '\r' < /tmp/suite.txt | grep -E '^\[  (PASSED|FAILED) |^\[==========\] [0-9]+ tests' > /tmp/check.note || true
  [ "$status" -eq 0 ] || { tr -d '\r' < /tmp/suite.txt | grep -A12 'FAILED\|Failure'; fail "the suite failed"; }
  # File names beyond ASCII reach Wine as UTF-8, as on the host.
  wine_run env LANG=C.UTF-8 bash /tmp/e2e.sh /tmp/vantor.exe /tmp/src /tmp/read_version.exe /tmp/vantorreader.dll ||
    fail "the end-to-end script failed"
}

started=$(now_cs)
echo "$SERIAL_STATE" > /tmp/serial.json
gadget_serial 0 /tmp/serial.json || { echo "vantor-bench: the gadget's serial could not be set"; exit 1; }
# One Wine session for all checks: its services (the HID bus among them)
# start once.
wine_run wineserver -p
check "vantor.exe list finds the gadget reader, list --json its serial" list_finds_the_gadget
check "vantor.exe download + info into the gadget reader" download_and_info
check "VantorTool.exe: opens, Get Device Info and Download To  Device in the window, closes" window_downloads
check "the 32-bit suite: vantor_tests.exe and e2e.sh" suite_passes
wine_run wineserver -k 2> /dev/null
echo "Wine part: $(( ($(now_cs) - started) / 100 )) s"
summary "windows bench"
