# Helpers for the tests and benchmarks that talk to a loopback exim4 over TLS.
# Source this file.
#
#   qw_free_port                 print a free loopback TCP port
#   qw_wait_port PORT            wait (10 s at most) until PORT accepts
#   qw_test_certs DIR            make DIR/ca.crt (a test CA) and DIR/server.crt
#                                with DIR/server.key (localhost, by that CA)
#   qw_exim_tls_conf DIR USER PASSWORD STARTTLS_PORT [TLS_PORT]
#                                write DIR/exim.conf: STARTTLS on the first
#                                port, TLS from the first byte on the second,
#                                AUTH PLAIN and LOGIN for USER, delivery for
#                                example.jp into DIR/Maildir (reachable by
#                                exim's delivery user nobody), pid DIR/exim.pid
#   qw_exim_login_only DIR PORT  write DIR/exim-login.conf: the same server
#                                offering only AUTH LOGIN on PORT (STARTTLS)

qw_free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

qw_wait_port() {
  for _ in $(seq 100); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1',$1),1)" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
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

qw_exim_tls_conf() {
  local work="$1" user="$2" password="$3" starttls_port="$4" tls_port="${5:-}"
  local ports="$starttls_port" on_connect=""
  if [ -n "$tls_port" ]; then ports="$starttls_port : $tls_port"; on_connect="tls_on_connect_ports = $tls_port"; fi
  mkdir -p "$work/spool" "$work/log" "$work/Maildir"
  chmod 0755 "$work"
  chmod 0777 "$work/Maildir"
  cat >"$work/exim.conf" <<CONF
primary_hostname = mx.example.test
domainlist local_domains = example.jp
spool_directory = $work/spool
log_file_path = $work/log/%slog
pid_file_path = $work/exim.pid
local_interfaces = <; 127.0.0.1
daemon_smtp_ports = $ports
$on_connect
tls_advertise_hosts = *
tls_certificate = $work/server.crt
tls_privatekey = $work/server.key
auth_advertise_hosts = *
exim_user = root
exim_group = root
never_users =
host_lookup =
rfc1413_hosts =
acl_smtp_rcpt = check_rcpt
acl_smtp_data = check_data
keep_environment =

begin acl
check_rcpt:
  deny   message = authentication required
         !authenticated = *
  accept domains = +local_domains
  deny   message = relay not permitted
check_data:
  accept

begin routers
to_maildir:
  driver = accept
  domains = +local_domains
  transport = maildir_delivery

begin transports
maildir_delivery:
  driver = appendfile
  directory = $work/Maildir
  maildir_format
  create_directory
  user = nobody
  group = nogroup
  mode = 0644

begin retry
*  *  F,1m,1m

begin authenticators
plain:
  driver = plaintext
  public_name = PLAIN
  server_prompts = :
  server_condition = \${if and {{eq{\$auth2}{$user}}{eq{\$auth3}{$password}}}}
  server_set_id = \$auth2
login:
  driver = plaintext
  public_name = LOGIN
  server_prompts = "Username:: : Password::"
  server_condition = \${if and {{eq{\$auth1}{$user}}{eq{\$auth2}{$password}}}}
  server_set_id = \$auth1
CONF
}

qw_exim_login_only() {
  local work="$1" port="$2"
  sed -e "s|^daemon_smtp_ports = .*|daemon_smtp_ports = $port|" -e "/^tls_on_connect_ports/d" \
      -e "s|^pid_file_path = .*|pid_file_path = $work/exim-login.pid|" \
      -e "/^plain:/,/^  server_set_id = \\\$auth2/d" "$work/exim.conf" >"$work/exim-login.conf"
}
