#!/usr/bin/env bash
# The Windows programs end to end under Wine, against the emulated reader:
# vantor.exe downloads the offline-data demo and reads it back (also from a
# folder beyond the ANSI code page, by either separator); a C program linked
# against the DLL works with the emulated reader; download --all programs
# two emulated readers at once; vantor.exe station programs the readers of
# a folder as they come; vantor.exe history reads a history. Each
# program runs under the Wine of its architecture (scripts/wine-run).
#   e2e.sh VANTOR_EXE SOURCE_DIR READ_VERSION_EXE VANTORREADER_DLL
set -euo pipefail
cli=$1 src=$2 example=$3 dll=$4
run="$src/scripts/wine-run"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "e2e: $*" >&2; exit 1; }

# Wine takes "Z:\..." for a path of this machine.
winpath() { printf 'Z:%s' "$(echo "$1" | tr / '\\')"; }

cp "$src/examples/offline-demo.bin" "$work/offline-demo.bin"
name=$'d\xc3\xa9mo-\xc3\xbc.bin'  # démo-ü.bin in UTF-8
dir=$'Donn\xc3\xa9es-\xe6\x97\xa5\xe6\x9c\xac'  # Données-日本
mkdir "$work/$dir"
cp "$src/examples/offline-demo.bin" "$work/$dir/$name"
export VANTOR_READER_SIM
VANTOR_READER_SIM=$(winpath "$work/reader.json")
cd "$work"

out=$("$run" "$cli" download offline-demo.bin 2>/dev/null | tr -d '\r') || fail "download failed: $out"
[[ "$out" == *$'offline-demo.bin\n\nDownload SUCCESS!'* ]] || fail "download printed: $out"
python3 - "$work/reader.json" <<'PY' || fail "state file after the download"
import json, sys
s = json.load(open(sys.argv[1]))
assert bytes.fromhex(s["offline_file_name"]) == b"offline-demo.bin", s["offline_file_name"]
records = [(r["type"], r["data"]) for r in s["offline_records"]]
assert records == [(2, ""), (16, ""), (17, "00A4040007A0000000031010"), (17, "00B2010C00"),
                   (17, "80CA9F1700"), (16, ""), (17, "0084000008"), (3, "")], records
assert s["buzzer"] == [0], s["buzzer"]
PY

# Paths beyond the code page survive the command line and the file
# functions; the name after the last separator, "/" or "\", is stored.
for path in "$dir/$name" "$dir\\$name"; do
  "$run" "$cli" download "$path" >/dev/null 2>&1 || fail "download of $path failed"
  out=$("$run" "$cli" info | tr -d '\r') || fail "info failed: $out"
  [[ "$out" == *"Offline File: $name"* ]] || fail "info after $path printed: $out"
done

# Two emulated readers (';' separates them here): listed in order, and
# download --all programs both at once.
two="$(winpath "$work/r1.json");$(winpath "$work/r2.json")"
out=$(VANTOR_READER_SIM=$two "$run" "$cli" list --json 2>/dev/null | tr -d '\r') || fail "list failed: $out"
python3 - "$out" "$(winpath "$work/r1.json")" "$(winpath "$work/r2.json")" <<'PY' || fail "list printed: $out"
import json, sys
assert [r["path"] for r in json.loads(sys.argv[1])] == sys.argv[2:], sys.argv[1]
PY
out=$(VANTOR_READER_SIM=$two "$run" "$cli" download offline-demo.bin --all --json 2>/dev/null |
  tr -d '\r') || fail "download --all failed: $out"
python3 - "$out" "$work/r1.json" "$work/r2.json" <<'PY' || fail "download --all printed: $out"
import json, sys
summary = json.loads(sys.argv[1])
assert summary["succeeded"] == 2 and summary["failed"] == 0, summary
assert [r["message"] for r in summary["readers"]] == ["Download SUCCESS!"] * 2, summary
for state in sys.argv[2:]:
    s = json.load(open(state))
    assert bytes.fromhex(s["offline_file_name"]) == b"offline-demo.bin", state
    assert len(s["offline_records"]) == 8, state
PY

# vantor.exe history on a history with an attempt that ended, one whose
# end was never recorded and a torn last line.
rec='"host":"h","tool_version":"1","reader_path":"R1","serial":"S1","usb_path":"",'
rec+='"file_name":"a.bin","file_path":"C:\\a.bin","file_size":3,"sha256":"00","kind":"script",'
rec+='"header":"000000","lines":1'
{
  echo '{"schema":1,"event":"started","attempt":"a1","batch":null,"time":"2026-12-07T08:00:00.000Z",'"$rec}"
  echo '{"schema":1,"event":"finished","attempt":"a1","batch":null,"time":"2026-12-07T08:00:01.000Z",'"$rec"',"duration_ms":1000,"records_sent":1,"result":"success","failed_step":null,"exit_code":0}'
  echo '{"schema":1,"event":"started","attempt":"a2","batch":null,"time":"2026-12-07T09:00:00.000Z",'"$rec}"
  printf '{"schema":1,"ev'
} >"$work/history.jsonl"
out=$(VANTOR_HISTORY=$(winpath "$work/history.jsonl") "$run" "$cli" history 2>&1 | tr -d '\r') ||
  fail "history failed: $out"
[[ "$out" == *$'\n2026-12-07T08:00:00.000Z  success  '*' R1  '*$' 1.00\n'* &&
  "$out" == *$'\n2026-12-07T09:00:00.000Z  interrupted (no end recorded)  R1  '*' -'* &&
  "$out" == *'1 line skipped'* ]] || fail "history printed: $out"

# vantor.exe station on a folder of emulated readers: a file put there is
# a reader plugged in and programmed once, one removed is unplugged, and
# the folder going ends the station with exit 3.
mkdir "$work/station"
echo '{}' >"$work/station/a.json"
VANTOR_READER_SIM=$(winpath "$work/station") "$run" "$cli" station offline-demo.bin --json \
  >"$work/station.jsonl" 2>"$work/station.err" &
station=$!
# until COUNT EVENT: the station's output holds COUNT lines of EVENT (20 s at most).
until_seen() {
  for _ in $(seq 200); do
    [ "$(grep -c "\"event\":\"$2\"" "$work/station.jsonl")" -ge "$1" ] && return 0
    sleep 0.1
  done
  kill "$station" 2>/dev/null
  fail "station: no $1 $2 events in 20 s: $(cat "$work/station.jsonl" "$work/station.err")"
}
until_seen 1 finished
echo '{}' >"$work/station/b.json"
until_seen 2 finished
rm "$work/station/a.json"
until_seen 1 detached
rm -r "$work/station"
rc=0
wait "$station" || rc=$?
[ "$rc" = 3 ] || fail "station exited $rc: $(cat "$work/station.err")"
python3 - "$work/station.jsonl" <<'PY' || fail "station printed: $(cat "$work/station.jsonl")"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
seen = [(e["event"], e.get("path", "")[-6:]) for e in events if e["event"] != "summary"]
assert seen[:7] == [("attached", "a.json"), ("started", "a.json"), ("finished", "a.json"),
                    ("attached", "b.json"), ("started", "b.json"), ("finished", "b.json"),
                    ("detached", "a.json")], seen
assert seen[7:] in ([], [("detached", "b.json")]), seen  # b.json may go before its folder
assert all(e["ok"] for e in events if e["event"] == "finished"), events
assert events[-1]["event"] == "summary" and events[-1]["succeeded"] == 2, events[-1]
PY

# The DLL as another program uses it.
echo '{"firmware_version": "V9 %s", "offline_file_name": "612E62696E"}' >"$work/dll.json"
out=$(VANTOR_READER_SIM=$(winpath "$work/dll.json") WINEPATH=$(winpath "$(dirname "$dll")") \
  "$run" "$example" | tr -d '\r') || fail "read_version failed: $out"
[[ "$out" == "$(printf 'firmware: V9 %%s (trailer 0000)\noffline file: a.bin')" ]] ||
  fail "read_version printed: $out"

echo "e2e: download, info, station, history and the DLL passed"
