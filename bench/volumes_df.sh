#!/usr/bin/env bash
# One listing and measurement of 64 mounted ext4 volumes (small images on
# loop devices, in a mount namespace of this script's own, as root) by
# volume_probe (the platform's listing, each volume measured on a thread of
# its own as a check does) beside `df -P` over the same mounts, in the same
# run: the median of ROUNDS (default 20) runs of each and their ratio. The
# aim is at most twice df's time.
#   bench/volumes_df.sh [BIN_DIR]   (default build/bench/bin, else build/native/bin)
set -euo pipefail
if [ -z "${QW_VOLUMES_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "volumes_df: needs root to mount" >&2; exit 1; }
  exec unshare -m --propagation private env QW_VOLUMES_NS=1 bash "$0" "$@"
fi
cd "$(dirname "$0")/.."
bin="${1:-build/bench/bin}"
[ -x "$bin/volume_probe" ] || bin=build/native/bin
probe="$(realpath "$bin/volume_probe")"
rounds="${ROUNDS:-20}"
work="$(mktemp -d /tmp/qw-bench-volumes.XXXXXX)"
cleanup() {
  for m in "$work"/m*; do umount -l "$m" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
truncate -s 2M "$work/base.img"
mkfs.ext4 -q -F -N 64 "$work/base.img" >/dev/null 2>&1
for i in $(seq 1 64); do
  cp --sparse=always "$work/base.img" "$work/v$i.img"
  mkdir -p "$work/m$i"
  mount -o loop "$work/v$i.img" "$work/m$i"
done
count=$(grep -c " $work/m" /proc/self/mountinfo)
[ "$count" -eq 64 ] || { echo "volumes_df: $count mounts, expected 64" >&2; exit 1; }
# Both list every mount of the namespace and measure each one.
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
time_of() {
  local s e
  s=$(date +%s%N)
  "$@" >/dev/null
  e=$(date +%s%N)
  echo $(( (e - s) / 1000 ))
}
"$probe" --measure 5000 | grep -c "^space.*$work/m" | grep -qx 64 || { echo "volumes_df: the probe did not measure the 64 volumes" >&2; exit 1; }
probe_times=() df_times=()
for _ in $(seq 1 "$rounds"); do
  probe_times+=("$(time_of "$probe" --measure 5000)")
  df_times+=("$(time_of df -P)")
done
p=$(printf '%s\n' "${probe_times[@]}" | median)
d=$(printf '%s\n' "${df_times[@]}" | median)
awk -v p="$p" -v d="$d" -v b="$bin" 'BEGIN {
  printf "volumes_df: 64 ext4 volumes, median of the runs: volume_probe (%s) %d us, df -P %d us, ratio %.2f (aim: at most 2)\n", b, p, d, p / d }'
