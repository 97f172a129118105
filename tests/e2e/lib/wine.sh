# The Wine side of the end-to-end scripts: a prefix of the script's own and
# the service installed in it. Source it after common.sh and qw_e2e_init
# (it sources scripts/lib/wine.sh: qw_wine_prefix, qw_wine_stop,
# qw_wine_service_eventlog, qw_wine_service_registered).
#
# Wine's system processes inherit the handles of the command that starts
# them: every wine command here writes to a file, never to a pipe.
#
#   qw_wine_setup [copy]        a new prefix in $work/prefix (the first boot
#                               finished), its server ended on exit. With
#                               "copy", a copy of the booted prefix
#                               $QW_WINE_TEMPLATE when scripts/test made one
#                               (a second instead of a first boot; services
#                               install in it as in a new prefix); without
#                               it, a first boot of its own
#   qw_wine OUT ARGS...         wine ARGS with stdout and stderr in
#                               $work/OUT.txt (bounded by QW_WINE_LIMIT,
#                               default 120 s); returns wine's exit code
#   qw_service_setup [FOLDER]   the service's entries go to $events (their
#                               Windows path in $events_win), the program is
#                               copied to C:\FOLDER (default Quotawarden) of
#                               the prefix, $exe names it there, $ini is the
#                               settings file in the Windows folder; on exit
#                               the service is stopped and uninstalled
#   qw_service_install          /INSTALL /SILENT, and a new server when the
#                               service manager does not see the service yet
#   qw_sc_state                 print the service's state (RUNNING, ...)
#   qw_sc_wait STATE SECONDS    wait until the service is in STATE; 1 after
#                               the bound
#   qw_sc_start / qw_sc_stop    sc start / sc stop (output in start.txt /
#                               stop.txt); the outcome is what qw_sc_wait sees

source "$root/scripts/lib/wine.sh"

# Every wine command of a script is bounded: a program that hangs ends the
# command after QW_WINE_LIMIT seconds (default 120; exit code 124) instead
# of holding the script until the runner's own limit. A command that needs
# longer says so with its own timeout.
wine() { timeout -k 5 "${QW_WINE_LIMIT:-120}" wine "$@"; }

qw_wine_setup() {
  if [ "${1:-}" = copy ]; then
    qw_wine_prefix_copy "$work/prefix" || fail "no copy of the template prefix"
  else
    qw_wine_prefix "$work/prefix"
  fi
  qw_on_exit qw_wine_stop
}

qw_wine() {
  local out="$1"; shift
  timeout -k 5 "${QW_WINE_LIMIT:-120}" wine "$@" >"$work/$out.txt" 2>&1 </dev/null
}

qw_service_setup() {
  local folder="${1:-Quotawarden}"
  events="$work/events.json"
  qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add of the event file"
  mkdir -p "$WINEPREFIX/drive_c/$folder"
  cp "$win64_bin/QuotawardenService.exe" "$WINEPREFIX/drive_c/$folder/"
  exe="C:\\${folder//\//\\}\\QuotawardenService.exe"
  ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
  qw_on_exit qw_service_remove
}

qw_service_remove() {
  qw_wine cleanup-stop sc stop Drivewarden || true
  qw_sc_wait STOPPED 10 || true
  qw_wine cleanup-uninstall "$exe" /UNINSTALL /SILENT || true
}

qw_service_install() {
  qw_wine install "$exe" /INSTALL /SILENT || fail "/INSTALL /SILENT failed"
  qw_wine query-installed sc query Drivewarden || true
  if grep -q 1060 "$work/query-installed.txt"; then
    # Wine's service manager may not see a service registered since it
    # started; a new server does (and starts it, as it starts by itself).
    qw_wine_stop
    wineserver -p >/dev/null 2>&1 </dev/null
  fi
}

qw_sc_state() {
  qw_wine query sc query Drivewarden || true
  sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$work/query.txt"
}

qw_sc_is() { [ "$(qw_sc_state)" = "$1" ]; }

qw_sc_wait() { qw_wait_for "$2" qw_sc_is "$1"; }

qw_sc_start() { qw_wine start sc start Drivewarden || true; }

qw_sc_stop() { qw_wine stop sc stop Drivewarden || true; }
