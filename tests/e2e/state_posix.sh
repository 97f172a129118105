#!/usr/bin/env bash
# The last-check state of the one-shot host: two runs against the test SMTP
# server (delivered, then no server) leave status.ini beside the settings with
# the values of their event entries and the first run's delivery kept;
# --state-dir moves the file; a state folder that cannot take it gives one
# error entry and leaves the exit code that of the check.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/native/bin
work="$(mktemp -d /tmp/qw-e2e-state.XXXXXX)"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/mail" "$work/other"

"$bin/smtp_test_server" --port-file "$work/port" --maildir "$work/mail" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

write_ini() {  # write_ini THRESHOLD
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=%s\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n' "$1" "$port" >"$work/Drivewarden.ini"
}
run_once() {  # run_once EXPECTED-EXIT NAME [options...]
  local expected=$1 name=$2 rc=0
  shift 2
  "$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/$name.json" "$@" 2>"$work/$name.err" || rc=$?
  [ "$rc" -eq "$expected" ] || { echo "state_posix: $name exit $rc, expected $expected" >&2; cat "$work/$name.err" >&2; exit 1; }
  if grep -E "ERROR: AddressSanitizer|runtime error:" "$work/$name.err"; then exit 1; fi
}

write_ini 99%
run_once 0 delivered
cp "$work/status.ini" "$work/delivered.ini"
sleep 1  # the second run's time differs from the delivery's
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=""
rm -f "$work/Drivewarden.ini"; write_ini 99%
run_once 2 noserver
cp "$work/status.ini" "$work/noserver.ini"

# Another folder: the file goes there and the one beside the settings stays.
rm -f "$work/Drivewarden.ini"; write_ini 0
run_once 0 moved --state-dir="$work/other"
cmp -s "$work/status.ini" "$work/noserver.ini" || { echo "state_posix: --state-dir wrote beside the settings" >&2; exit 1; }

# A folder that does not exist: the check's own exit code, one error entry.
run_once 0 unwritable --state-dir="$work/absent"
rm -f "$work/Drivewarden.ini"; write_ini 99%
run_once 2 unwritable-mail --state-dir="$work/absent"

/usr/bin/python3 - "$work" <<'PY'
import json, os, re, sys
work = sys.argv[1]

def state(name):
    raw = open(os.path.join(work, name), "rb").read()
    assert b"\r\n" in raw and b"\n" not in raw.replace(b"\r\n", b""), "CR LF lines"
    sections, current = {}, None
    for line in raw.decode("cp932").split("\r\n"):
        if not line:
            continue
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), {})
        else:
            key, value = line.split("=", 1)
            current[key] = value
    return sections

def events(name):
    return [json.loads(l) for l in open(os.path.join(work, name + ".json"), encoding="utf-8")]

def free_of_entry(entry):
    m = re.search(r"C ドライブの空き領域: ([0-9,]+) バイト", entry["text"])
    assert m, entry["text"]
    return m.group(1).replace(",", "")

first, second = state("delivered.ini"), state("noserver.ini")
e1, e2 = events("delivered"), events("noserver")
assert first["CHECK"]["OUTCOME"] == "warning" and e1[0]["type"] == "warning", (first, e1)
assert first["MAIL"]["ATTEMPTED"] == "1" and first["MAIL"]["DELIVERED"] == "1", first
assert first["MAIL"]["REPLY"].startswith("250"), first["MAIL"]
assert first["MAIL"]["LASTDELIVERYLOCAL"] == first["CHECK"]["LOCAL"], first
assert first["MAIL"]["LASTDELIVERYUTC"] == first["CHECK"]["UTC"], first
assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", first["CHECK"]["UTC"]), first
c = first["DRIVE.C"]
assert c["FREE"] == free_of_entry(e1[0]), (c, e1[0]["text"])
assert c["CAPACITY"].isdigit() and c["THRESHOLDBYTES"].isdigit(), c
assert c["THRESHOLD"] == "99%" and c["BELOW"] == "1", c
assert int(c["FREE"]) < int(c["THRESHOLDBYTES"]) <= int(c["CAPACITY"]), c

assert second["CHECK"]["OUTCOME"] == "warning", second
assert second["CHECK"]["LOCAL"] != first["CHECK"]["LOCAL"], second
assert second["MAIL"]["DELIVERED"] == "0" and "CONNECT" in second["MAIL"]["REPLY"], second["MAIL"]
assert [e["type"] for e in e2] == ["warning", "error"], e2
assert second["MAIL"]["LASTDELIVERYLOCAL"] == first["CHECK"]["LOCAL"], "the delivery is kept"
assert second["DRIVE.C"]["FREE"] == free_of_entry(e2[0])

moved = state(os.path.join("other", "status.ini"))
assert moved["CHECK"]["OUTCOME"] == "information" and events("moved")[0]["type"] == "information"
assert moved["MAIL"]["ATTEMPTED"] == "0", moved
assert moved["MAIL"]["LASTDELIVERYLOCAL"] == "", "another folder is another history"

for name, kinds in (("unwritable", ["information", "error"]), ("unwritable-mail", ["warning", "error", "error"])):
    ev = events(name)
    assert [e["type"] for e in ev] == kinds, (name, ev)
    errors = [e for e in ev if "status.ini" in e["text"]]
    assert len(errors) == 1 and errors[0]["source"] == "Drivewarden", (name, ev)
    assert os.path.join(work, "absent", "status.ini") in errors[0]["text"], errors[0]["text"]
assert not os.path.exists(os.path.join(work, "absent"))
print("ok:", first["CHECK"]["LOCAL"], first["MAIL"]["REPLY"])
PY
