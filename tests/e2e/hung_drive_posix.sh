#!/usr/bin/env bash
# A drive whose free-space call never returns: D: is mapped through the
# dosdevices symlink to a FUSE mount whose statfs hangs, C: to a plain
# folder. The foreground host's first check ends within the bound, names D
# as not answering in a warning and reports C; a check on demand (SIGHUP)
# comes at once, without a second wait; SIGTERM ends the host within 5 s.
# The mount and its daemon are removed even when the test fails.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init hung_drive_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService"
/usr/bin/python3 -c 'import fusepy' 2>/dev/null || fail "python3-fusepy is missing (scripts/setup installs it)"
[ -c /dev/fuse ] || fail "/dev/fuse is missing"
QW_FAIL_SHOW="$work/events.json $work/host.err $work/fs.log $work/status.ini"

fs_pid="" host_pid=""
unmount() {
  # SIGKILL of the daemon aborts the requests that wait (a caller stuck in
  # statfs is released); then the mount goes.
  [ -n "$host_pid" ] && kill -KILL "$host_pid" 2>/dev/null || true
  [ -n "$fs_pid" ] && kill -KILL "$fs_pid" 2>/dev/null || true
  [ -n "$fs_pid" ] && wait "$fs_pid" 2>/dev/null || true
  # A mount whose daemon is gone cannot be looked at (mountpoint fails): unmount
  # whatever is there.
  if grep -q " $work/mnt " /proc/mounts; then
    fusermount -u "$work/mnt" 2>/dev/null || umount -l "$work/mnt" 2>/dev/null || true
  fi
  [ -n "$host_pid" ] && wait "$host_pid" 2>/dev/null || true
}
qw_on_exit unmount
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
under() { awk -v x="$1" -v y="$2" 'BEGIN { exit !(x < y) }'; }
warnings() {
  local n
  n=$(grep -c '"warning"' "$work/events.json" 2>/dev/null) || true
  echo "${n:-0}"
}

mkdir -p "$work/c" "$work/mnt" "$work/dosdevices"
ln -s ../c "$work/dosdevices/c:"
ln -s ../mnt "$work/dosdevices/d:"
/usr/bin/python3 tests/e2e/hung_statfs_fs.py "$work/mnt" >"$work/fs.log" 2>&1 &
fs_pid=$!
qw_wait_for 5 mountpoint -q "$work/mnt" || true
mountpoint -q "$work/mnt" || fail "the FUSE file system did not mount"
# What the host will meet: a statfs that does not return.
(timeout -s KILL 1 stat -f "$work/mnt" >/dev/null 2>&1) 2>/dev/null && fail "statfs of the FUSE mount answered"
stat "$work/mnt" >/dev/null || fail "the FUSE root cannot be looked at"

printf '[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=1MB\r\n' >"$work/Drivewarden.ini"
start=$(now)
# LeakSanitizer stops every thread at exit and would wait for ever for the one
# left in the hung call: the sanitizer build runs without it here.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  "$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" 2>"$work/host.err" &
host_pid=$!
at_least() { [ "$(warnings)" -ge "$1" ]; }
qw_wait_for 15 at_least 1 || true
[ "$(warnings)" -ge 1 ] || fail "no warning within 15 s"
took=$(elapsed "$start")
under "$took" 8 || fail "the first check took ${took} s"
grep '"warning"' "$work/events.json" | head -1 >"$work/first.json"
grep -q 'D ドライブの空き領域: 応答がありません' "$work/first.json" || fail "D is not named as not answering"
grep -q 'D ドライブ : 応答がありません' "$work/first.json" || fail "D is not among the drives of the warning"
grep -Eq 'C ドライブの空き領域: [0-9][0-9,]* バイト' "$work/first.json" || fail "C was not measured"
# The state is written after the entry: wait for it, bounded.
c_measured() { sed -n '/\[DRIVE.C\]/,/^\[/p' "$work/status.ini" 2>/dev/null | grep -Eq '^FREE=[0-9]+'; }
qw_wait_for 5 c_measured || fail "the state has no free space of C"
echo "hung_drive_posix: first check in ${took} s, D not answering, C measured"

# A check on demand while D is still hung: no second call, no second wait.
start=$(now)
kill -HUP "$host_pid"
qw_wait_for 5 at_least 2 || true
[ "$(warnings)" -ge 2 ] || fail "no warning from the check on demand"
took=$(elapsed "$start")
under "$took" 2 || fail "the check on demand took ${took} s"
echo "hung_drive_posix: check on demand in ${took} s"

# The stop: the host's own threads end within 5 s; the thread left in the
# hung call is released only when the daemon goes (as with a real dead mount).
start=$(now)
kill -TERM "$host_pid"
gone() { ! [ -e "/proc/$host_pid" ] || grep -q '^State:[[:space:]]*Z' "/proc/$host_pid/status" 2>/dev/null; }
qw_wait_for 5 gone || true
gone || fail "the host did not end within 5 s of SIGTERM"
took=$(elapsed "$start")
echo "hung_drive_posix: stopped in ${took} s"
kill -KILL "$fs_pid"
wait "$fs_pid" 2>/dev/null || true
fs_pid=""
rc=0
wait "$host_pid" || rc=$?
host_pid=""
[ "$rc" -eq 0 ] || fail "the host exited $rc"
qw_sanitizer_clean "$work/host.err"
echo "hung_drive_posix: ok"
