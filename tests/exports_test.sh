#!/usr/bin/env bash
# The shared library exports exactly the reader interface, and a C program
# linked against it works with the emulated reader.
set -euo pipefail
lib=$1 example=$2 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected="Dll7816CardAPDU Dll7816CardPowerdown DllCloseReader DllDownloadFirmware
DllDownloadFirmwareComplete DllDownloadFirmwareFirst DllDownloadFirmwareStart
DllEraseOfflineData DllGetErrorText DllGetFirmwareVersion DllGetOfflineFileName DllGetReaderSerial DllLedControl
DllListReaders DllOpenReader DllOpenReaderPath DllReset7816Card DllSetOfflineFileName DllSpeakerControl
DllWriteOfflineData SKRevData SKSendData"
actual=$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}' | grep -v '^_' | sort | tr '\n' ' ')
want=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
if [ "$actual" != "$want" ]; then
  echo "exports differ:"; echo " got:  $actual"; echo " want: $want"; exit 1
fi
echo '{"firmware_version": "V9 %s", "offline_file_name": "612E62696E"}' > "$work/reader.json"
out=$(VANTOR_READER_SIM="$work/reader.json" "$example")
[ "$out" = "$(printf 'firmware: V9 %%s (trailer 0000)\noffline file: a.bin')" ] || { echo "unexpected: $out"; exit 1; }
echo "21 exports, example ok"
