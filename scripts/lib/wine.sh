# Helpers for running Windows programs under Wine in tests. Source this file.
#
#   qw_wine_prefix DIR   create (once) a 64-bit Wine prefix in DIR and export
#                        WINEPREFIX, WINEARCH, WINEDEBUG, WINEDLLOVERRIDES;
#                        leaves a persistent wineserver running (wineserver -p);
#                        a new prefix's first boot has finished
#   qw_wine_template DIR make DIR a booted prefix to copy from: the first
#                        boot finished, its server ended, DIR/.qw-booted
#                        written last (a boot cut short is not taken)
#   qw_wine_prefix_copy DIR
#                        as qw_wine_prefix, but DIR is a copy of the booted
#                        prefix $QW_WINE_TEMPLATE when that is set (a second
#                        instead of a first boot); without it, a boot of its own
#   qw_wine_stop         end the wineserver of the current prefix
#   qw_wine_service_eventlog FILE LOG
#                        name FILE (a Linux path; its Windows form is left in
#                        $events_win) as the event file of the services of the
#                        prefix, and start a new server so that services.exe
#                        reads it; reg's output goes to LOG
#   qw_wine_service_registered DIR
#                        whether the service Drivewarden is registered as
#                        /INSTALL registers it from C:\Program Files\Quotawarden
#                        (reg's output kept in DIR/reg-service-lf.txt); on a
#                        difference it prints which value and returns 1
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
    timeout -k 10 300 wineboot -i >"$WINEPREFIX.boot.log" 2>&1 </dev/null || true
    # Let the first boot finish (its server ends by itself) before anything
    # is installed; a persistent server started while it runs would not be
    # persistent.
    timeout 120 wineserver -w >/dev/null 2>&1 </dev/null || true
  fi
  wineserver -p >/dev/null 2>&1 </dev/null || true
}

qw_wine_template() {
  local dir="$1"
  [ -f "$dir/.qw-booted" ] && return 0
  rm -rf "$dir"
  (
    qw_wine_prefix "$dir"
    qw_wine_stop
  )
  [ -f "$dir/system.reg" ] || { echo "wine: the template prefix $dir did not boot" >&2; return 1; }
  touch "$dir/.qw-booted"
}

qw_wine_prefix_copy() {
  local dir="$1"
  if [ -n "${QW_WINE_TEMPLATE:-}" ] && [ ! -f "$dir/system.reg" ]; then
    [ -f "$QW_WINE_TEMPLATE/.qw-booted" ] || { echo "wine: $QW_WINE_TEMPLATE is not a booted template" >&2; return 1; }
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    # A prefix holds no absolute path of its own (drive c: is a relative
    # link), so a copy is a prefix of its own, with a server of its own
    # (the server's socket is named after the folder's inode).
    cp -a "$QW_WINE_TEMPLATE" "$dir"
    rm -f "$dir/.qw-booted"
  fi
  qw_wine_prefix "$dir"
}

qw_wine_stop() {
  # A process that outlives the kill (a hung program in the kernel's hands)
  # holds the server: the wait for its end is bounded all the same.
  wineserver -k >/dev/null 2>&1 </dev/null || true
  timeout 60 wineserver -w >/dev/null 2>&1 </dev/null || true
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

qw_wine_service_registered() {
  local out="$1/reg-service-lf.txt"
  wine reg query 'HKLM\System\CurrentControlSet\Services\Drivewarden' >"$1/reg-service.txt" 2>&1 </dev/null ||
    { echo "the service is not registered"; return 1; }
  tr -d '\r' <"$1/reg-service.txt" >"$out"
  grep -Eq 'DisplayName +REG_SZ +Drivesentry$' "$out" || { echo "display name"; return 1; }
  grep -Eq 'Start +REG_DWORD +0x2$' "$out" || { echo "start type"; return 1; }
  grep -Eq 'Type +REG_DWORD +0x10$' "$out" || { echo "service type"; return 1; }
  grep -Eq 'ErrorControl +REG_DWORD +0x1$' "$out" || { echo "error control"; return 1; }
  # Quoted: a path with a blank left unquoted could start C:\Program.exe.
  grep -Fq 'ImagePath    REG_SZ    "C:\Program Files\Quotawarden\QuotawardenService.exe"' "$out" ||
    { echo "image path not quoted"; return 1; }
}
