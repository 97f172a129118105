#!/usr/bin/env bash
# The applet's ボリューム page under Wine with a virtual display: the harness
# opens the settings dialog on a file holding a [VOLUME] key of a folder that
# is no mount point, checks the list of volumes (Wine's volume API: the
# letters' volumes), sets DEFAULT and C's volume through the threshold
# dialog, ignores another letter's volume, has the save refused for the
# stray key, takes it out and saves; then Drivewarden.ini is checked. A
# picture of the page is left in the work folder (page_volumes.bmp, and
# build/screenshots/page_volumes.png where ImageMagick is installed).
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init applet_volumes_wine
bin="$(realpath -m "${APPLET_BIN_DIR:-$win64_bin}")"
cpl="$bin/QuotawardenCtrlPanel.cpl"
harness="$bin/applet_harness.exe"
qw_need "$cpl" "$harness"

cat >"$work/run.sh" <<'INNER'
set -uo pipefail
root="$1"; cpl="$2"; harness="$3"; work="$4"
source "$root/scripts/lib/wine.sh"
qw_wine_prefix_copy "$work/prefix" || exit 1
# One Wine virtual desktop: Wine activates and focuses windows itself.
timeout 60 wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 </dev/null
timeout 60 wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1 </dev/null
qw_wine_stop
qw_wine_prefix "$work/prefix"
timeout 180 wine "$harness" "$(winepath -w "$cpl")" volumes "$(winepath -w "$work")" \
  >"$work/harness.out" 2>"$work/harness.err" </dev/null
rc=$?
cp "$WINEPREFIX/drive_c/windows/Drivewarden.ini" "$work/Drivewarden.ini" 2>/dev/null
qw_wine_stop
exit $rc
INNER

rc=0
timeout -k 10 300 xvfb-run -a -n 160 -s "-screen 0 1280x1024x24" bash "$work/run.sh" "$root" "$cpl" "$harness" "$work" || rc=$?
cat "$work/harness.out" 2>/dev/null || true
if [ $rc -ne 0 ]; then
  tail -n 20 "$work/harness.err" 2>/dev/null || true
  fail "the harness failed (exit $rc)"
fi
echo "--- Drivewarden.ini"
tr -d '\r' <"$work/Drivewarden.ini"
# The file as a person reads it: DEFAULT beside the letters, no stray key.
grep -qx 'DEFAULT=15%' <(tr -d '\r' <"$work/Drivewarden.ini") || fail "DEFAULT=15% is not in the file"
if grep -q 'Gone' "$work/Drivewarden.ini"; then fail "the key taken out is still in the file"; fi
if [ -s "$work/page_volumes.bmp" ] && command -v convert >/dev/null; then
  mkdir -p "$root/build/screenshots"
  convert "$work/page_volumes.bmp" "$root/build/screenshots/page_volumes.png"
  echo "applet_volumes_wine: picture in build/screenshots/page_volumes.png"
fi
echo "applet_volumes_wine: ok"
