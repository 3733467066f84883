# The reader as a USB HID gadget on dummy_hcd, sourced by the VM's scripts.
# Reader N is /sys/kernel/config/usb_gadget/readerN on dummy_udc.N, with
# /dev/hidgN on its device side.

GADGETS=/sys/kernel/config/usb_gadget

# Loads the USB host, dummy controller, gadget and HID modules in order;
# $1 dummy controllers.
load_modules() {
  while read -r module; do
    case "$module" in
      */dummy_hcd.ko) insmod "$module" num="$1" ;;
      *) insmod "$module" ;;
    esac || { echo "vantor-bench: insmod $module failed"; return 1; }
  done < /etc/vantor-modules
}

gadget_make() {
  g=$GADGETS/reader$1
  mkdir -p "$g/strings/0x409" "$g/configs/c.1/strings/0x409" "$g/functions/hid.usb0" || return 1
  echo 0x0755 > "$g/idVendor"
  echo 0x0001 > "$g/idProduct"
  echo 0x0205 > "$g/bcdDevice"
  echo 0x0200 > "$g/bcdUSB"
  echo "" > "$g/strings/0x409/serialnumber"  # gadget_serial gives the state's
  echo "Vantor reader (gadget)" > "$g/strings/0x409/product"
  echo "reader" > "$g/configs/c.1/strings/0x409/configuration"
  f=$g/functions/hid.usb0
  echo 0 > "$f/protocol"
  echo 0 > "$f/subclass"
  # 64: the report ID and 63 data bytes; less cuts every report.
  echo 64 > "$f/report_length"
  cat /etc/vantor-report-descriptor > "$f/report_desc"
  ln -s "$f" "$g/configs/c.1/"
}

# Waits up to $2 tenths of a second for path $1 to appear (or with $3 = gone,
# to disappear).
wait_for() {
  n=0
  while [ "$n" -lt "$2" ]; do
    if [ "$3" = gone ]; then [ -e "$1" ] || return 0; else [ -e "$1" ] && return 0; fi
    sleep 0.1
    n=$((n + 1))
  done
  return 1
}

# Binds reader $1 to its controller and waits for its hidraw node (the
# readers get hidraw0, hidraw1, ... in the order they are plugged).
gadget_plug() {
  echo "dummy_udc.$1" > "$GADGETS/reader$1/UDC" || return 1
  wait_for "/dev/hidraw$1" 100
}

gadget_unplug() {
  echo "" > "$GADGETS/reader$1/UDC"
}

# gadget_serial N STATE: reader N presents the serial number of state file
# STATE (none when it gives none). The host reads it when it enumerates the
# device, so a plugged reader whose serial changes is plugged anew.
gadget_serial() {
  serial=$(vantor-gadget --serial "$2") || return 1
  file=$GADGETS/reader$1/strings/0x409/serialnumber
  [ "$(cat "$file")" != "$serial" ] || return 0
  if [ -n "$(cat "$GADGETS/reader$1/UDC")" ]; then
    gadget_unplug "$1" && wait_for "/dev/hidraw$1" 50 gone && echo "$serial" > "$file" &&
      gadget_plug "$1"
  else
    echo "$serial" > "$file"
  fi
}
