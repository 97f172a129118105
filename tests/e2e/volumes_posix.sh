#!/usr/bin/env bash
# Volumes beside the letters, on real mounts made here in a mount namespace
# of this script's own (root): a tmpfs named by a [VOLUME] key, an ext4 image
# on a loop device mounted in a folder and found by [DRIVE] DEFAULT without
# any key (filled past DEFAULT) and named with its ext4 label (QWDATA) in
# the report, the mail and status.ini, a bind mount of it (measured once), an
# ignored full ext4, an unnamed full tmpfs (not watched), and a FUSE volume
# whose statfs never answers, named by a key. The foreground host's first
# check ends within the bound, names the hung volume as not answering, mails
# the report to aiosmtpd with each volume by its path, and writes the
# volumes into status.ini; a volume mounted after the start is watched at
# the next check (SIGHUP); SIGTERM during the hung call ends the host
# within 5 s. The namespace takes every mount with it when the script ends.
if [ -z "${QW_VOLUMES_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "volumes_posix: needs root to mount" >&2; exit 1; }
  exec unshare -m --propagation private env QW_VOLUMES_NS=1 bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init volumes_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService"
/usr/bin/python3 -c 'import fusepy, aiosmtpd' 2>/dev/null || fail "python3-fusepy or python3-aiosmtpd is missing"
[ -c /dev/fuse ] || fail "/dev/fuse is missing"
command -v mkfs.ext4 >/dev/null || fail "mkfs.ext4 is missing"
QW_FAIL_SHOW="$work/events.json $work/host.err $work/fs.log $work/status.ini $work/smtp.log"

fs_pid="" host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill -KILL "$host_pid" 2>/dev/null || true
  [ -n "$fs_pid" ] && kill -KILL "$fs_pid" 2>/dev/null || true
  [ -n "$fs_pid" ] && wait "$fs_pid" 2>/dev/null || true
  [ -n "$host_pid" ] && wait "$host_pid" 2>/dev/null || true
  # Loop devices of mount -o loop are released with their last mount.
  for m in hung bind late vol1 scratch tmpfs tmpfs2; do
    umount -l "$work/$m" 2>/dev/null || true
  done
}
qw_on_exit cleanup
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
under() { awk -v x="$1" -v y="$2" 'BEGIN { exit !(x < y) }'; }
warnings() {
  local n
  n=$(grep -c '"warning"' "$work/events.json" 2>/dev/null) || true
  echo "${n:-0}"
}
at_least() { [ "$(warnings)" -ge "$1" ]; }
avail_kib() { stat -f -c '%a %S' "$1" | awk '{ printf "%d", $1 * $2 / 1024 }'; }
# An ext4 image of 16 MiB mounted on FOLDER and filled until about 2 MiB are
# left to ordinary writers.
ext4_filled() {
  local name="$1"
  truncate -s 16M "$work/$name.img"
  mkfs.ext4 -q -F -m 0 -L "$2" "$work/$name.img" >/dev/null 2>&1 || fail "mkfs.ext4 $name"
  mkdir -p "$work/$name"
  mount -o loop "$work/$name.img" "$work/$name" || fail "mount -o loop $name"
  local fill=$(( $(avail_kib "$work/$name") - 2048 ))
  dd if=/dev/zero of="$work/$name/fill" bs=1K count="$fill" status=none 2>/dev/null || true
  sync -f "$work/$name/fill"
}

mkdir -p "$work/c" "$work/dosdevices" "$work/tmpfs" "$work/tmpfs2" "$work/bind" "$work/hung"
ln -s ../c "$work/dosdevices/c:"
mount -t tmpfs -o size=8m tmpfs "$work/tmpfs" || fail "mount tmpfs"
dd if=/dev/zero of="$work/tmpfs/fill" bs=1M count=6 status=none
mount -t tmpfs -o size=1m tmpfs "$work/tmpfs2" || fail "mount tmpfs2"
dd if=/dev/zero of="$work/tmpfs2/fill" bs=1K count=1000 status=none 2>/dev/null || true
ext4_filled vol1 QWDATA
mount --bind "$work/vol1" "$work/bind" || fail "mount --bind"
ext4_filled scratch SCRATCH
/usr/bin/python3 tests/e2e/hung_statfs_fs.py "$work/hung" >"$work/fs.log" 2>&1 &
fs_pid=$!
qw_wait_for 5 mountpoint -q "$work/hung" || fail "the FUSE file system did not mount"

port=$(qw_free_port)
qw_spawn "$work/smtp.log" /usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$port" -c aiosmtpd.handlers.Mailbox "$work/mbox"
qw_wait_port "$port" 15 || fail "aiosmtpd did not start"

printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=1MB\r\nDEFAULT=4MB\r\n[VOLUME]\r\n%s=4MB\r\n%s=1MB\r\nIGNORE=%s\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n' \
  "$work/tmpfs" "$work/hung" "$work/scratch" "$port" >"$work/Drivewarden.ini"

start=$(now)
# LeakSanitizer would wait for ever for the thread left in the hung call.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  "$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" 2>"$work/host.err" &
host_pid=$!
qw_wait_for 15 at_least 1 || fail "no warning within 15 s"
took=$(elapsed "$start")
under "$took" 8 || fail "the first check took ${took} s"
qw_wait_for 10 compgen -G "$work/mbox/new/*" >/dev/null || fail "no alert mail at aiosmtpd"
in_state() { grep -q "PATH=$work/vol1" "$work/status.ini" 2>/dev/null; }
qw_wait_for 5 in_state || fail "status.ini has no volume section for $work/vol1"
echo "volumes_posix: first check in ${took} s"

# A volume mounted after the start: watched under DEFAULT at the next check.
ext4_filled late LATE
start=$(now)
kill -HUP "$host_pid"
qw_wait_for 10 at_least 2 || fail "no warning from the check on demand"
echo "volumes_posix: check on demand in $(elapsed "$start") s"

qw_py checks/volumes_posix "$work"

# The stop: the host's own threads end within 5 s; the thread left in the
# hung call is released only when the daemon goes (as with a dead mount).
start=$(now)
kill -TERM "$host_pid"
gone() { ! [ -e "/proc/$host_pid" ] || grep -q '^State:[[:space:]]*Z' "/proc/$host_pid/status" 2>/dev/null; }
qw_wait_for 5 gone || fail "SIGTERM did not end the host within 5 s (a volume hangs)"
grep -q 'stopped' "$work/host.err" || fail "the host did not report its stop"
kill -KILL "$fs_pid"
wait "$fs_pid" 2>/dev/null || true
fs_pid=""
rc=0
wait "$host_pid" || rc=$?
host_pid=""
echo "volumes_posix: stopped in $(elapsed "$start") s, exit $rc"
[ "$rc" -eq 0 ] || fail "exit $rc after SIGTERM"
qw_sanitizer_clean "$work/host.err"
echo "volumes_posix: ok"
