#!/usr/bin/env bash
# The volume listing under Wine: volume_probe.exe lists what Wine's volume
# API offers and measures each volume; the listing is checked against
# mountmgr's own view (HKLM\System\MountedDevices): every volume is a
# \??\Volume{GUID} there, its paths are the \DosDevices letters that hold
# the same data, every fixed letter is listed once, and a letter added here
# (D: on a folder of the test) is a volume of its own after a new server.
# What Wine lacks (labels, folder mount points) is printed, not failed.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init volumes_wine
source "$root/tests/e2e/lib/wine.sh"
qw_need "$win64_bin/volume_probe.exe"
qw_wine_setup copy
mkdir -p "$work/d"
ln -sfn "$work/d" "$WINEPREFIX/dosdevices/d:"
# mountmgr reads dosdevices when the server starts.
qw_wine_stop
wineserver -p >/dev/null 2>&1 </dev/null || true
qw_wine probe "$win64_bin/volume_probe.exe" --measure 5000 || fail "volume_probe.exe failed"
qw_wine mounted reg query 'HKLM\System\MountedDevices' || fail "reg query MountedDevices failed"
qw_py checks/volumes_wine "$work"
echo "volumes_wine: ok"
