# The shared part of the end-to-end scripts. Source it first:
#
#   source "$(dirname "$0")/lib/common.sh"
#   qw_e2e_init NAME [DIR]
#
# qw_e2e_init sets `set -euo pipefail`, moves to the repository root (left
# in $root), makes the work folder $work (a new folder under /tmp, or DIR,
# emptied first) and arms one EXIT trap that runs the clean-ups registered
# with qw_on_exit (last registered first), ends the programs started with
# qw_spawn and removes $work (kept with QW_KEEP_WORK=1). It does not touch
# the host's own settings: a script names its binaries through
#   $native_bin  QW_NATIVE_BIN (default ${BUILD_DIR_PREFIX:-build/}native/bin)
#   $win64_bin   QW_WIN64_BIN  (default ${BUILD_DIR_PREFIX:-build/}win64/bin),
#                both absolute
#
#   fail MESSAGE...           print "NAME: MESSAGE" and the work folder's
#                             *.txt, *.log and events*.json files (those
#                             named by QW_FAIL_SHOW instead, when set), exit 1
#   qw_need FILE...           fail unless every FILE exists (built programs)
#   qw_on_exit COMMAND        run COMMAND (eval'd) when the script ends
#   qw_spawn OUT PROGRAM ARGS...
#                             start PROGRAM in the background, its output in
#                             OUT; its pid in $qw_pid; ended on exit
#   qw_kill PID               end one program started with qw_spawn, and wait
#   qw_free_port              print a free loopback TCP port
#   qw_wait_port PORT [SECONDS] [HOST]
#                             wait until HOST:PORT (127.0.0.1) accepts
#                             (default 10 s); 1 after the bound
#   qw_wait_file FILE [SECONDS]
#                             wait until FILE exists and is not empty
#                             (default 10 s); 1 after the bound
#   qw_wait_for SECONDS COMMAND...
#                             run COMMAND every 0.1 s until it succeeds; 1
#                             after the bound
#   qw_test_server DIR [ARGS...]
#                             start smtp_test_server with its port file,
#                             session log (DIR/server.log) and mail folder
#                             (DIR/mail); its port in $server_port, its pid
#                             in $server_pid
#   qw_entries EVENTS         the entries of an events file as
#                             "source|type|id|text" lines (CR LF as \n)
#   qw_sanitizer_clean FILE...
#                             fail when a sanitizer reported in a FILE
#   qw_py SCRIPT ARGS...      run tests/e2e/SCRIPT.py (Debian's python3, with
#                             tests/e2e on its path)

set -euo pipefail

qw_e2e_init() {
  qw_name="$1"
  cd "$(dirname "${BASH_SOURCE[0]}")/../../.."
  root="$(pwd)"
  native_bin="$(realpath -m "${QW_NATIVE_BIN:-${BUILD_DIR_PREFIX:-build/}native/bin}")"
  win64_bin="$(realpath -m "${QW_WIN64_BIN:-${BUILD_DIR_PREFIX:-build/}win64/bin}")"
  if [ -n "${2:-}" ]; then
    work="$2"
    rm -rf "$work"
    mkdir -p "$work"
  else
    work="$(mktemp -d "/tmp/qw-e2e-$qw_name.XXXXXX")"
  fi
  work="$(realpath "$work")"
  qw_exit_hooks=()
  qw_spawned=()
  trap qw_on_exit_run EXIT
  trap 'exit 143' TERM
  trap 'exit 130' INT
}

qw_on_exit() { qw_exit_hooks+=("$1"); }

qw_on_exit_run() {
  local rc=$? i
  set +e
  for ((i = ${#qw_exit_hooks[@]} - 1; i >= 0; i--)); do eval "${qw_exit_hooks[$i]}"; done
  for pid in "${qw_spawned[@]}"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  [ -n "${QW_KEEP_WORK:-}" ] || rm -rf "$work"
  [ -z "${QW_KEEP_WORK:-}" ] || echo "$qw_name: work folder kept: $work" >&2
  exit "$rc"
}

fail() {
  echo "$qw_name: $*" >&2
  local f
  shopt -s nullglob
  local show=(${QW_FAIL_SHOW:-"$work"/*.txt "$work"/*.log "$work"/events*.json})
  shopt -u nullglob
  for f in "${show[@]}"; do [ -f "$f" ] && { echo "== $f"; tail -c 4000 "$f"; } >&2; done
  exit 1
}

qw_need() {
  local f
  for f in "$@"; do [ -e "$f" ] || { echo "$qw_name: $f is not built" >&2; exit 1; }; done
}

qw_spawn() {
  local out="$1"; shift
  "$@" >"$out" 2>&1 </dev/null &
  qw_pid=$!
  qw_spawned+=("$qw_pid")
}

qw_kill() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

qw_free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

qw_wait_for() {
  local seconds="$1"; shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}

qw_port_open() {  # qw_port_open PORT HOST
  /usr/bin/python3 -c "import socket,sys; socket.create_connection((sys.argv[2], int(sys.argv[1])), 1).close()" \
    "$1" "$2" 2>/dev/null
}

qw_wait_port() { qw_wait_for "${2:-10}" qw_port_open "$1" "${3:-127.0.0.1}"; }

qw_wait_file() { qw_wait_for "${2:-10}" test -s "$1"; }

qw_test_server() {
  local dir="$1"; shift
  mkdir -p "$dir/mail"
  rm -f "$dir/port"
  qw_spawn "$dir/server.out" "$native_bin/smtp_test_server" --port-file "$dir/port" --log "$dir/server.log" \
    --maildir "$dir/mail" "$@"
  server_pid=$qw_pid
  qw_wait_file "$dir/port" 15 || fail "smtp_test_server did not start: $(cat "$dir/server.out")"
  server_port=$(cat "$dir/port")
}

qw_entries() {
  [ -f "$1" ] || return 0
  /usr/bin/python3 -c '
import json, sys
for l in open(sys.argv[1], encoding="utf-8"):
    if l.strip():
        e = json.loads(l)
        print("%s|%s|%d|%s" % (e["source"], e["type"], e["id"], e["text"].replace("\r\n", "\\n")))
' "$1"
}

qw_sanitizer_clean() {
  if grep -E "ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:|WARNING: ThreadSanitizer" "$@" >&2; then
    fail "sanitizer report"
  fi
}

qw_py() {
  local script="$1"; shift
  PYTHONPATH="$root/tests/e2e${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 "$root/tests/e2e/$script.py" "$@"
}
