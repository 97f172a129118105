# exim4 on loopback ports from the one configuration template of the tests
# and benchmarks, tests/peers/exim.conf. Source it (common.sh first, for
# fail and the waits; the benchmarks may source it alone).
#
#   qw_exim_conf FILE WORKDIR PORTS [NAME=VALUE...]
#                   write FILE: the template after its macros. WORKDIR holds
#                   the spool, logs and Maildir (made here, reachable by
#                   exim's delivery user nobody); PORTS the listening ports
#                   ("2525" or "2525 : 4465"). NAMEs are the template's
#                   optional macros without QW_: CERT, KEY, ONCONNECT, USER,
#                   PASSWORD, LOGINONLY, QUEUEONLY, ENVELOPE, DOMAIN (default
#                   example.jp), SPOOL, PIDFILE (defaults WORKDIR/spool and
#                   WORKDIR/exim.pid)
#   qw_exim_start FILE PORT...
#                   start exim4 -C FILE -bd and wait (10 s at most) until
#                   each PORT accepts; 1 (with exim's log on stderr) if not.
#                   The daemon is ended on exit through its pid file.
#   qw_test_certs DIR
#                   make DIR/ca.crt (a test CA) and DIR/server.crt with
#                   DIR/server.key (localhost, by that CA)

qw_exim_template="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../peers" && pwd)/exim.conf"

qw_exim_conf() {
  local file="$1" dir="$2" ports="$3"; shift 3
  local -A m=([DOMAIN]=example.jp [SPOOL]="$dir/spool" [PIDFILE]="$dir/exim.pid")
  local kv
  for kv in "$@"; do m[${kv%%=*}]="${kv#*=}"; done
  mkdir -p "${m[SPOOL]}" "$dir/log" "$dir/Maildir"
  chmod 0755 "$dir"  # the delivery runs as nobody
  chmod 0777 "$dir/Maildir"
  {
    echo "QW_WORKDIR = $dir"
    echo "QW_PORTS = $ports"
    local k
    for k in "${!m[@]}"; do echo "QW_$k = ${m[$k]}"; done
    cat "$qw_exim_template"
  } >"$file"
}

qw_exim_start() {
  local conf="$1"; shift
  local pidfile
  pidfile="$(sed -n 's/^QW_PIDFILE = //p' "$conf")"
  exim4 -C "$conf" -bd || return 1
  if declare -F qw_on_exit >/dev/null; then
    qw_on_exit "[ -f '$pidfile' ] && kill \"\$(cat '$pidfile')\" 2>/dev/null"
  fi
  local port dir
  dir="$(sed -n 's/^QW_WORKDIR = //p' "$conf")"
  for port in "$@"; do
    qw_wait_port "$port" 10 || { cat "$dir"/log/* >&2 2>/dev/null; return 1; }
  done
}

qw_test_certs() {
  (
    cd "$1"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quotawarden Test CA" \
      -keyout ca.key -out ca.crt 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
    printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >server.ext
    openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
      -extfile server.ext -out server.crt 2>/dev/null
    chmod 0644 server.key
  )
}
