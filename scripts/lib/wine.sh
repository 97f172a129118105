# Helpers for running Windows programs under Wine in tests. Source this file.
#
#   qw_wine_prefix DIR   create (once) a 64-bit Wine prefix in DIR and export
#                        WINEPREFIX, WINEARCH, WINEDEBUG, WINEDLLOVERRIDES;
#                        leaves a persistent wineserver running (wineserver -p);
#                        a new prefix's first boot has finished
#   qw_wine_stop         end the wineserver of the current prefix
#   qw_wine_service_eventlog FILE LOG
#                        name FILE (a Linux path; its Windows form is left in
#                        $events_win) as the event file of the services of the
#                        prefix, and start a new server so that services.exe
#                        reads it; reg's output goes to LOG
#
# Wine's system processes inherit the handles of the command that started
# them: always send a wine command's output to files, never through a pipe.

qw_wine_prefix() {
  local dir="$1"
  export WINEPREFIX="$(realpath -m "$dir")"
  export WINEARCH=win64
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >"$WINEPREFIX.boot.log" 2>&1 </dev/null || true
    # Let the first boot finish (its server ends by itself) before anything
    # is installed; a persistent server started while it runs would not be
    # persistent.
    timeout 120 wineserver -w >/dev/null 2>&1 </dev/null || true
  fi
  wineserver -p >/dev/null 2>&1 </dev/null || true
}

qw_wine_stop() {
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
}

qw_wine_service_eventlog() {
  local file="$1" log="$2"
  events_win="Z:${file//\//\\}"
  # Services get their environment from the registry, which services.exe
  # reads when it starts: set it there, then start a new server.
  wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v QUOTAWARDEN_EVENTLOG /t REG_SZ /d "$events_win" /f >"$log" 2>&1 </dev/null || return 1
  qw_wine_stop
  wineserver -p >/dev/null 2>&1 </dev/null || true
}
