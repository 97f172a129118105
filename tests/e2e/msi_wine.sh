#!/usr/bin/env bash
# The MSI package under Wine's msiexec, silent (/qn), in a fresh prefix set to
# an English locale (LANG=en_US.UTF-8, ANSI code page 1252), so that the
# Japanese texts are shown to hold without code page 932:
#   - a refused property (INTERVAL=0, MAILTO=not an address) fails with 1603,
#     names itself in the log and leaves nothing installed;
#   - a failure after the settings file was written (the service cannot
#     start) rolls everything back, the new settings file included;
#   - an existing settings file that does not load keeps the service from
#     starting: the installation fails, nothing stays, the file is unchanged;
#   - the package's own tables: the recovery custom action runs as the system,
#     deferred, between InstallServices and StartServices, at install only;
#   - an install with properties: the files, the service's registry values,
#     its recovery set by the custom action (the log says so; Wine refuses
#     the failure-actions flag, which the log names),
#     both event sources (their message file formats every ID to the text
#     alone), the Control Panel entry (Wine's control.exe loads the applet), Drivewarden.ini written from the
#     properties, the service RUNNING and its first check's entry in Japanese;
#   - an uninstall: no service, files, sources or applet entry; the settings
#     file is kept byte for byte; installing again with other properties
#     leaves it so and the log says the properties were ignored;
#   - an uninstall with REMOVESETTINGS=1 removes the settings file too;
#   - an upgrade from the package of the version one below VERSION (built here
#     into build/previous-win64) keeps the settings and runs the new program.
#
# Wine's system processes inherit the handles of the command that starts
# them, so every wine command writes to files here, never to a pipe. A wine
# command's exit code keeps its low byte only: 1603 reads 67, 1605 reads 69.
export LANG=en_US.UTF-8 LC_ALL=
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init msi_wine build/e2e-msi-wine
source tests/e2e/lib/wine.sh
version="$(tr -d ' \r\n' <VERSION)"
bin="$win64_bin"
msi="$(dirname "$bin")/Quotawarden-$version.msi"
probe="$bin/install_probe.exe"
qw_need "$msi" "$probe"
QW_FAIL_SHOW="$work/*.txt $work/*.log $work/events.json"

step() { echo "msi_wine: [$SECONDS s] $*" >&2; }

# The version the upgrade starts from: one below VERSION (the patch number
# less one, else the minor, else the major), built here from this tree.
previous_version() {
  local major minor patch
  IFS=. read -r major minor patch <<<"$version"
  if [ "$patch" -gt 0 ]; then echo "$major.$minor.$((patch - 1))"
  elif [ "$minor" -gt 0 ]; then echo "$major.$((minor - 1)).0"
  elif [ "$major" -gt 0 ]; then echo "$((major - 1)).0.0"
  else return 1
  fi
}
previous="${QW_PREVIOUS_VERSION:-$(previous_version || true)}"
[ -n "$previous" ] || fail "no previous version number found"
step "building the package of the previous version $previous (beside the steps before the upgrade)"
# Only the version differs from build/win64: with ccache, most of it is found
# there (a first build without it takes some minutes).
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
  export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
fi
qw_spawn "$work/build-previous.log" env BUILD_DIR_PREFIX=build/previous- QW_VERSION="$previous" \
  QW_BUILD_TARGETS="msi_package" timeout 700 scripts/build win64
previous_build=$qw_pid
previous_msi="build/previous-win64/Quotawarden-$previous.msi"
previous_code=
# previous_package: waits for the build (bounded by its own timeout) and
# takes the package and its ProductCode.
previous_package() {
  local rc=0
  wait "$previous_build" || rc=$?
  [ "$rc" = 0 ] || fail "the previous package does not build (exit $rc): $(tail -n 5 "$work/build-previous.log")"
  [ -f "$previous_msi" ] || fail "no $previous_msi"
  cp "$previous_msi" "$work/previous.msi"
  previous_code="$(product_code "$work/previous.msi")"
  [ -n "$previous_code" ] || fail "no ProductCode in the previous package"
  [ "$previous_code" != "$current_code" ] || fail "both packages have the ProductCode $current_code"
}

qw_wine_setup copy
wine reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP >"$work/acp.txt" 2>&1 </dev/null || true
acp="$(tr -d '\r' <"$work/acp.txt" | sed -n 's/.*ACP *REG_SZ *//p')"
[ "$acp" = 1252 ] || fail "the prefix's ANSI code page is '$acp', not 1252"
events="$work/events.json"
events_win="Z:${events//\//\\}"
# The service process gets its environment from the registry, read when
# services.exe starts: set it there, then start a new server.
wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v QUOTAWARDEN_EVENTLOG /t REG_SZ /d "$events_win" /f >"$work/reg-env.txt" 2>&1 </dev/null
qw_wine_stop
wineserver -p >/dev/null 2>&1 </dev/null

cp "$msi" "$work/current.msi"
product_code() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'; }
current_code="$(product_code "$work/current.msi")"
[ -n "$current_code" ] || fail "no ProductCode in the package"

step "the recovery action in the package's tables"
# Type 3073: a function of a DLL in the Binary table (1), deferred (0x400),
# as the system (0x800).
actions="$(msiinfo export "$msi" CustomAction | tr -d '\r')"
grep -qP '^ConfigureRecovery\t3073\tSetupActions\tConfigureRecovery\t*$' <<<"$actions" ||
  fail "CustomAction: no deferred ConfigureRecovery run as the system: $(grep ConfigureRecovery <<<"$actions")"
msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' >"$work/sequence.idt"
/usr/bin/python3 - "$work/sequence.idt" >"$work/sequence.txt" 2>&1 <<'PY' || fail "InstallExecuteSequence: $(cat "$work/sequence.txt")"
import sys
rows = {}
for line in open(sys.argv[1], encoding="utf-8").read().splitlines()[3:]:
    action, condition, number = line.split("\t")
    rows[action] = (condition, int(number))
condition, at = rows["ConfigureRecovery"]
assert rows["InstallServices"][1] < at < rows["StartServices"][1], rows
assert condition == 'NOT REMOVE ~= "ALL"', condition
PY
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
win() { local p; p="$(realpath -m "$1")"; echo "Z:${p//\//\\}"; }
dir="$WINEPREFIX/drive_c/Program Files/Quotawarden"
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
evkey='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
cpls='HKLM\Software\Microsoft\Windows\CurrentVersion\Control Panel\Cpls'

msiexec_rc() {  # msiexec_rc NAME ARGS...: runs msiexec, prints its exit code
  local name="$1"; shift
  local rc=0
  timeout 240 wine msiexec "$@" /qn /l*v "$(win "$work/$name.log")" >"$work/$name.txt" 2>&1 </dev/null || rc=$?
  echo "$rc"
}
state() {
  wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
  sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$work/query.txt"
}
state_is() { [ "$(state)" = "$1" ]; }
wait_state() { qw_wait_for "$2" state_is "$1"; }  # wait_state STATE SECONDS
has_key() { wine reg query "$1" >"$work/reg-probe.txt" 2>&1 </dev/null; }
entries_at_least() { [ "$(grep -c '"source":"Drivewarden".*"id":5610' "$events" 2>/dev/null || true)" -ge "$1" ]; }
check_entries() { qw_wait_for 60 entries_at_least "$1"; }  # check_entries COUNT: COUNT check entries (ID 5610)
nothing_installed() {  # nothing_installed WHAT: the service, files, sources and applet entry are gone
  [ ! -e "$dir" ] || fail "$1: $dir is there"
  ! has_key 'HKLM\System\CurrentControlSet\Services\Drivewarden' || fail "$1: the service is registered"
  ! has_key "$evkey\\Drivewarden" || fail "$1: the event source Drivewarden is there"
  ! has_key "$evkey\\QuotawardenService.exe" || fail "$1: the event source QuotawardenService.exe is there"
  if wine reg query "$cpls" /v QuotawardenCtrlPanel >"$work/reg-cpl.txt" 2>&1 </dev/null; then
    fail "$1: the Control Panel entry is there"
  fi
  # Neither package is registered as installed.
  ! has_key "$uninstall\\$current_code" || fail "$1: $version is registered as installed"
  # (The previous package, until it is built, cannot have been installed.)
  [ -z "$previous_code" ] || ! has_key "$uninstall\\$previous_code" || fail "$1: $previous is registered as installed"
}

# --- Refused properties: 1603 and nothing behind ---------------------------
# josé: a character Shift-JIS cannot hold (a "best fit" conversion would
# make it another address, jose@...). The log is in the ANSI code page, so
# only the property's name is looked for.
for bad in "INTERVAL=0" "MAILTO=not an address" "MAILTO=josé@example.jp"; do
  step "refused property $bad"
  rc="$(msiexec_rc bad /i "$(win "$work/current.msi")" SMTP=mail.example.jp "$bad")"
  [ "$rc" = 67 ] || fail "$bad: exit code $rc, not 1603 (67)"
  reason="$bad: "
  case "$bad" in *é*) reason="${bad%%=*}=" ;; esac
  grep -aqF "Quotawarden: the settings are refused: $reason" "$work/bad.log" || fail "$bad: no reason in the log"
  [ ! -e "$ini" ] || fail "$bad: a settings file was written"
  nothing_installed "$bad"
done

# --- A failure after the settings file was written: all rolled back --------
# A service of the same name registered beforehand with a missing program
# makes StartServices fail after WriteSettings; the rollback takes the new
# settings file away with the rest.
step "rollback after the settings were written"
wine sc create Drivewarden binPath= 'C:\missing\program.exe' >"$work/sc-create.txt" 2>&1 </dev/null \
  || fail "sc create failed"
rc="$(msiexec_rc rollback /i "$(win "$work/current.msi")" INTERVAL=3)"
[ "$rc" != 0 ] || fail "an install whose service cannot start succeeded"
grep -aqF "Quotawarden: wrote C:\windows\Drivewarden.ini" "$work/rollback.log" || fail "the settings were never written"
grep -aqF "Quotawarden: removed C:\windows\Drivewarden.ini again" "$work/rollback.log" || fail "no rollback of the settings"
[ ! -e "$ini" ] || fail "the rollback left the settings file"
[ ! -e "$dir" ] || fail "the rollback left $dir"
! has_key "$evkey\\Drivewarden" || fail "the rollback left the event source"
# Wine's rollback of InstallServices removes the service of that name as
# well; whatever is left of it goes now.
wine sc delete Drivewarden >"$work/sc-delete.txt" 2>&1 </dev/null || true
nothing_installed "rollback"

# An existing settings file that does not load: the service cannot start, the
# installation fails and is rolled back, the file stays as it was.
step "existing settings that do not load"
printf '[WARNING]\r\nINTERVAL=x\r\n' >"$ini"
cp "$ini" "$work/settings-bad.ini"
rc="$(msiexec_rc bad-settings /i "$(win "$work/current.msi")" INTERVAL=3)"
[ "$rc" != 0 ] || fail "an install over settings that do not load succeeded"
cmp -s "$ini" "$work/settings-bad.ini" || fail "the existing settings file was changed"
nothing_installed "settings that do not load"
rm -f "$ini"

# --- Install with properties ----------------------------------------------
step "install with properties"
rc="$(msiexec_rc install /i "$(win "$work/current.msi")" SMTP=127.0.0.1 PORT=587 MAILTO=ops@example.jp,admin@example.jp \
  MAILFROM=drivewarden@example.jp INTERVAL=12 THRESHOLD=10% 'TEXTFILEDIR=C:\ProgramData\Quotawarden\metrics')"
[ "$rc" = 0 ] || fail "install: exit code $rc"
grep -aqE 'Quotawarden: (the service restarts after a failure|.*SERVICE_CONFIG_FAILURE_ACTIONS_FLAG.*ChangeServiceConfig2)' \
  "$work/install.log" || fail "the log does not tell the service's recovery"
[ -f "$dir/QuotawardenService.exe" ] || fail "no QuotawardenService.exe in Program Files"
[ -f "$dir/QuotawardenCtrlPanel.cpl" ] || fail "no QuotawardenCtrlPanel.cpl in Program Files"
[ ! -e "$dir/QuotawardenSetup.dll" ] || fail "the custom action DLL was installed"
tr -d '\r' <"$ini" >"$work/ini-lf.txt" || fail "no settings file"
for line in '[WARNING]' INTERVAL=12 ISMAILSEND=1 '[DRIVE]' C=10% '[MAIL]' SMTP=127.0.0.1 PORT=587 \
  MAILFROM=drivewarden@example.jp MAILTO=ops@example.jp,admin@example.jp SECURITY=NONE TLSVERIFY=1 \
  '[METRICS]' 'TEXTFILEDIR=C:\ProgramData\Quotawarden\metrics'; do
  grep -qxF "$line" "$work/ini-lf.txt" || fail "settings file without '$line'"
done
[ "$(grep -c $'\r$' "$ini")" -eq "$(wc -l <"$ini")" ] || fail "settings file lines do not end in CR LF"
why="$(qw_wine_service_registered "$work")" || fail "$why"
grep -Eq 'ObjectName +REG_SZ +LocalSystem$' "$work/reg-service-lf.txt" || fail "account"
wine "$probe" messages Drivewarden QuotawardenService.exe >"$work/probe.txt" 2>&1 </dev/null \
  || fail "the event sources do not format their messages"
[ "$(tr -d '\r' <"$work/probe.txt" | grep -c ' ok$')" -eq 12 ] || fail "not every message ID formatted"
grep -qF 'EventMessageFile C:\Program Files\Quotawarden\QuotawardenService.exe' "$work/probe.txt" \
  || fail "EventMessageFile is not the installed program"
# The probe tells a message file without these messages apart.
wine reg add "$evkey\\QwProbeCheck" /v EventMessageFile /t REG_EXPAND_SZ /d 'C:\windows\system32\kernel32.dll' /f \
  >"$work/reg-bogus.txt" 2>&1 </dev/null
wine reg add "$evkey\\QwProbeCheck" /v TypesSupported /t REG_DWORD /d 7 /f >>"$work/reg-bogus.txt" 2>&1 </dev/null
if wine "$probe" messages QwProbeCheck >"$work/probe-bogus.txt" 2>&1 </dev/null; then
  fail "the probe accepts a message file without the service's messages"
fi
wine reg delete "$evkey\\QwProbeCheck" /f >>"$work/reg-bogus.txt" 2>&1 </dev/null
wine reg query "$cpls" /v QuotawardenCtrlPanel >"$work/reg-cpl.txt" 2>&1 </dev/null || fail "no Control Panel entry"
grep -qF 'C:\Program Files\Quotawarden\QuotawardenCtrlPanel.cpl' "$work/reg-cpl.txt" || fail "Control Panel entry: path"
# Control Panel (Wine's control.exe, on a virtual display) loads the applet
# from that entry: its trace names the file and does not refuse it.
if command -v xvfb-run >/dev/null; then
  # Its own display numbers (see applet_wine.sh).
  xvfb-run -a -n 160 env WINEDEBUG=+shlctrl timeout 20 wine control >"$work/control.txt" 2>&1 </dev/null || true
  grep -qF 'Control_LoadApplet No manifest at ID 123 in L"C:\\Program Files\\Quotawarden\\QuotawardenCtrlPanel.cpl"' \
    "$work/control.txt" || fail "Control Panel did not load the applet"
  ! grep -q 'Not a valid control panel applet.*QuotawardenCtrlPanel' "$work/control.txt" || fail "Control Panel refused the applet"
fi
wait_state RUNNING 60 || fail "the service is not RUNNING (state $(state))"
check_entries 1 || fail "no first check entry"
qw_py checks/msi_wine "$events" >"$work/first-entry.txt" 2>&1 || fail "first check entry: $(cat "$work/first-entry.txt")"
cp "$ini" "$work/settings-kept.ini"

# --- Uninstall keeps the settings; a new install leaves them ----------------
step "uninstall"
rc="$(msiexec_rc uninstall /x "$(win "$work/current.msi")")"
[ "$rc" = 0 ] || fail "uninstall: exit code $rc"
nothing_installed "uninstall"
cmp -s "$ini" "$work/settings-kept.ini" || fail "uninstall changed or removed the settings file"

step "install over an existing settings file"
rc="$(msiexec_rc reinstall /i "$(win "$work/current.msi")" INTERVAL=5 SMTP=other.example.jp MAILTO=x@example.jp)"
[ "$rc" = 0 ] || fail "install over settings: exit code $rc"
cmp -s "$ini" "$work/settings-kept.ini" || fail "the existing settings file was changed"
grep -aq "Quotawarden: .*Drivewarden.ini exists and is kept as it is; the properties INTERVAL SMTP MAILTO are ignored" \
  "$work/reinstall.log" || fail "the log does not say the properties were ignored"
wait_state RUNNING 60 || fail "not RUNNING after the second install"

step "uninstall with REMOVESETTINGS=1"
rc="$(msiexec_rc remove-all /x "$(win "$work/current.msi")" REMOVESETTINGS=1)"
[ "$rc" = 0 ] || fail "uninstall with REMOVESETTINGS=1: exit code $rc"
[ ! -e "$ini" ] || fail "REMOVESETTINGS=1 left the settings file"
nothing_installed "REMOVESETTINGS=1"

# --- Upgrade from the previous version --------------------------------------
step "waiting for the package of $previous"
previous_package
step "install $previous, then upgrade to $version"
rm -f "$events"
rc="$(msiexec_rc previous /i "$(win "$work/previous.msi")" INTERVAL=6 THRESHOLD=1%)"
[ "$rc" = 0 ] || fail "install of $previous: exit code $rc"
wait_state RUNNING 60 || fail "$previous is not RUNNING"
check_entries 1 || fail "$previous wrote no check entry"
wine "$probe" version 'C:\Program Files\Quotawarden\QuotawardenService.exe' >"$work/version-before.txt" 2>&1 </dev/null
[ "$(tr -d '\r\n' <"$work/version-before.txt")" = "$previous.0" ] || fail "the installed program is not $previous"
cp "$ini" "$work/settings-previous.ini"
rc="$(msiexec_rc upgrade /i "$(win "$work/current.msi")" INTERVAL=7)"
[ "$rc" = 0 ] || fail "upgrade: exit code $rc"
cmp -s "$ini" "$work/settings-previous.ini" || fail "the upgrade changed the settings file"
wine "$probe" version 'C:\Program Files\Quotawarden\QuotawardenService.exe' >"$work/version-after.txt" 2>&1 </dev/null
[ "$(tr -d '\r\n' <"$work/version-after.txt")" = "$version.0" ] || fail "the installed program is not $version"
wait_state RUNNING 60 || fail "not RUNNING after the upgrade"
check_entries 2 || fail "the upgraded service wrote no check entry"
! has_key "$uninstall\\$previous_code" || fail "$previous is still registered as installed"
has_key "$uninstall\\$current_code" || fail "$version is not registered as installed"
wine "$probe" messages Drivewarden QuotawardenService.exe >"$work/probe-upgrade.txt" 2>&1 </dev/null \
  || fail "the event sources after the upgrade"

step "final uninstall"
rc="$(msiexec_rc final /x "$(win "$work/current.msi")" REMOVESETTINGS=1)"
[ "$rc" = 0 ] || fail "final uninstall: exit code $rc"
[ ! -e "$ini" ] || fail "the final uninstall left the settings file"
nothing_installed "final uninstall"
echo "msi_wine: ok"
