#!/usr/bin/env bash
# QuotawardenService.exe /HISTORY under Wine: the history and the last
# check's state in %ProgramData%\Quotawarden print as one line per day and
# the forecast line, exit 0; a damaged history file is the reason on
# stderr and exit 1 (history_wine.py prepares and checks the text).
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init history_wine
source tests/e2e/lib/wine.sh
qw_need "$win64_bin/QuotawardenService.exe"
qw_wine_setup copy
cp "$win64_bin/QuotawardenService.exe" "$work/"
state="$WINEPREFIX/drive_c/ProgramData/Quotawarden"
mkdir -p "$state"
qw_py history_wine prepare "$state"

rc=0
timeout -k 5 120 wine "$work/QuotawardenService.exe" /HISTORY >"$work/history-out.txt" 2>"$work/history-err.txt" </dev/null || rc=$?
[ "$rc" -eq 0 ] || fail "/HISTORY exited $rc"
qw_py history_wine check "$work/history-out.txt" || fail "/HISTORY printed the wrong text"

printf 'quotawarden-history 1\nvolume C:\n12 x 3\n' >"$state/history.txt"
rc=0
timeout -k 5 120 wine "$work/QuotawardenService.exe" /HISTORY >"$work/damaged-out.txt" 2>"$work/damaged-err.txt" </dev/null || rc=$?
[ "$rc" -eq 1 ] || fail "/HISTORY of a damaged file exited $rc"
grep -q "履歴ファイルが壊れています" "$work/damaged-err.txt" || fail "no reason on stderr for a damaged file"
[ ! -s "$work/damaged-out.txt" ] || fail "a damaged file printed a history"
echo "history_wine: ok"
