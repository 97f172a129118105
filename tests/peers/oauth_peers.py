"""The real OAuth 2.0 peers on loopback, for end-to-end scripts (run them
with /usr/bin/python3, which has Debian's aiosmtpd and jwt):

    with OAuthPeers(root, work) as peers:
        token = peers.token_secret_post("post-client", peers.SECRET, scope)
        ...

- a test CA, and a server certificate for 127.0.0.1 and localhost signed by
  it (work/ca.pem, work/server.pem, work/server.key);
- the authorization server (tests/peers/oauth_server, oidc-provider) over
  HTTPS, with the clients of CLIENTS: a client secret taken in the form body
  (post-client) or by HTTP Basic (basic-client), a certificate's key for
  private_key_jwt (cert-client; work/client.pem holds its certificate and
  key), one whose tokens live 1 s (short-client), one allowed a scope the
  SMTP peer does not take (other-scope-client); and at /google/token the
  JWT bearer grant for the service account whose key file is
  work/service_account.json (its token_uri that URL); its log counts the
  token requests;
- the SMTP checker (oauth_smtp_server.py) with STARTTLS, accepting tokens of
  that server with Microsoft's or Google's scope for the mailbox USER.

The authorization server runs from build/peers/oauth_server, where
scripts/setup installs oidc-provider from the npm registry.
"""
import json
import os
import shutil
import signal
import subprocess
import time
import urllib.parse
import uuid

import jwt
from cryptography import x509
from cryptography.hazmat.primitives import serialization

MICROSOFT_SCOPE = "https://outlook.office365.com/.default"
GOOGLE_SCOPE = "https://mail.google.com/"
OTHER_SCOPE = "https://graph.microsoft.com/.default"
AUDIENCE = "https://smtp.test"
USER = "alerts@example.jp"
SERVICE_ACCOUNT = "sender@quotawarden-test.iam.gserviceaccount.com"
SERVICE_ACCOUNT_KEY_ID = "0a1b2c3d4e5f60718293a4b5c6d7e8f901234567"
SECRET = "s3cret+/=~ &x"


class PeerError(Exception):
    pass


def _run(args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=60, **kwargs)


def _wait_file(path, process, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return open(path).read().strip()
        if process.poll() is not None:
            raise PeerError("%s ended with %s before it listened" % (process.args, process.returncode))
        time.sleep(0.05)
    raise PeerError("%s did not listen within %d s" % (process.args, seconds))


class OAuthPeers:
    def __init__(self, root, work):
        self.root = root
        self.work = work
        self.processes = []
        self.server_dir = os.path.join(root, "build/peers/oauth_server")
        # {"user": "password"}: the SMTP peer also takes AUTH PLAIN for these.
        self.smtp_plain = None
        # True: the SMTP peer fetches the JWKS once (a benchmark's setting).
        self.smtp_cache_jwks = False

    # -- set-up -------------------------------------------------------------
    def _path(self, name):
        return os.path.join(self.work, name)

    def _make_certificates(self):
        w = self._path
        _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", w("ca.key"), "-out",
              w("ca.pem"), "-days", "2", "-subj", "/CN=Quotawarden test CA"])
        _run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", w("server.key"), "-out",
              w("server.csr"), "-subj", "/CN=127.0.0.1"])
        # 127.0.0.1 also as a DNS name: Wine's certificate check matches a
        # server name only against the DNS names of subjectAltName, so
        # WinHTTP there refuses https://127.0.0.1 with an IP entry alone
        # (12157); clients that match the IP entry are not affected.
        with open(w("server.ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                    "extendedKeyUsage=serverAuth\n")
        _run(["openssl", "x509", "-req", "-in", w("server.csr"), "-CA", w("ca.pem"), "-CAkey", w("ca.key"),
              "-CAcreateserial", "-out", w("server.pem"), "-days", "2", "-extfile", w("server.ext")])
        # The application's certificate and key (CLIENTCERT on POSIX: one PEM
        # file holding both).
        _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", w("client.key"), "-out",
              w("client.crt"), "-days", "2", "-subj", "/CN=Quotawarden test application"])
        with open(w("client.pem"), "w") as f:
            f.write(open(w("client.crt")).read() + open(w("client.key")).read())
        # A service account's key (PKCS#8, as Google's key files hold it).
        _run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
              w("service_account.key")])

    def service_account_jwk(self):
        key = serialization.load_pem_private_key(open(self._path("service_account.key"), "rb").read(), None)
        jwk = json.loads(jwt.algorithms.RSAAlgorithm.to_jwk(key.public_key()))
        jwk["kid"] = SERVICE_ACCOUNT_KEY_ID
        return jwk

    def _write_service_account_file(self):
        key = {"type": "service_account", "project_id": "quotawarden-test", "private_key_id": SERVICE_ACCOUNT_KEY_ID,
               "private_key": open(self._path("service_account.key")).read(), "client_email": SERVICE_ACCOUNT,
               "client_id": "100000000000000000001", "token_uri": self.google_token_url}
        with open(self._path("service_account.json"), "w") as f:
            json.dump(key, f, indent=2)

    def client_jwk(self):
        certificate = x509.load_pem_x509_certificate(open(self._path("client.crt"), "rb").read())
        return json.loads(jwt.algorithms.RSAAlgorithm.to_jwk(certificate.public_key()))

    def _clients(self):
        return [
            {"client_id": "post-client", "client_secret": SECRET, "token_endpoint_auth_method": "client_secret_post"},
            {"client_id": "basic-client", "client_secret": SECRET,
             "token_endpoint_auth_method": "client_secret_basic"},
            {"client_id": "cert-client", "token_endpoint_auth_method": "private_key_jwt",
             "jwks": {"keys": [self.client_jwk()]}},
            {"client_id": "short-client", "client_secret": SECRET,
             "token_endpoint_auth_method": "client_secret_post", "accessTokenTTL": 1},
            {"client_id": "other-scope-client", "client_secret": SECRET,
             "token_endpoint_auth_method": "client_secret_post", "scope": OTHER_SCOPE},
        ]

    def __enter__(self):
        if not os.path.isdir(os.path.join(self.server_dir, "node_modules", "oidc-provider")):
            raise PeerError("oidc-provider is not installed in %s: run scripts/setup" % self.server_dir)
        os.makedirs(self.work, exist_ok=True)
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self):
        self._make_certificates()
        w = self._path
        # Beside its node_modules; replaced in one step, as another script
        # may be starting its own server at the same time.
        staged = os.path.join(self.server_dir, "server.mjs.%d" % os.getpid())
        shutil.copy(os.path.join(self.root, "tests/peers/oauth_server/server.mjs"), staged)
        os.replace(staged, os.path.join(self.server_dir, "server.mjs"))
        config = {"portFile": w("oauth.port"), "log": w("oauth.log"), "key": w("server.key"),
                  "cert": w("server.pem"), "audience": AUDIENCE, "scopes": [MICROSOFT_SCOPE, GOOGLE_SCOPE, OTHER_SCOPE],
                  "clients": self._clients(),
                  "serviceAccounts": [{"client_email": SERVICE_ACCOUNT, "jwk": self.service_account_jwk()}]}
        with open(w("oauth.json"), "w") as f:
            json.dump(config, f)
        open(w("oauth.log"), "w").close()
        oauth = subprocess.Popen(["node", "server.mjs", w("oauth.json")], cwd=self.server_dir,
                                 stdout=open(w("oauth.out"), "w"), stderr=subprocess.STDOUT)
        self.processes.append(oauth)
        self.oauth_port = int(_wait_file(w("oauth.port"), oauth))
        self.issuer = "https://127.0.0.1:%d" % self.oauth_port
        self.token_url = self.issuer + "/token"
        self.google_token_url = self.issuer + "/google/token"
        self._write_service_account_file()

        smtp_config = {"portFile": w("smtp.port"), "log": w("smtp.log"), "cert": w("server.pem"),
                       "key": w("server.key"), "caFile": w("ca.pem"), "jwksUri": self.issuer + "/jwks",
                       "issuer": self.issuer, "audience": AUDIENCE, "scopes": [MICROSOFT_SCOPE, GOOGLE_SCOPE],
                       "users": [USER], "revoked": w("revoked.txt")}
        if self.smtp_plain:
            smtp_config["plain"] = self.smtp_plain
        if self.smtp_cache_jwks:
            smtp_config["cacheJwks"] = True
        with open(w("smtp.json"), "w") as f:
            json.dump(smtp_config, f)
        open(w("smtp.log"), "w").close()
        smtp = subprocess.Popen(["/usr/bin/python3", os.path.join(self.root, "tests/peers/oauth_smtp_server.py"),
                                 w("smtp.json")], stdout=open(w("smtp.out"), "w"), stderr=subprocess.STDOUT)
        self.processes.append(smtp)
        self.smtp_port = int(_wait_file(w("smtp.port"), smtp))

    def __exit__(self, *exc):
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.processes = []
        return False

    # -- what the tests ask --------------------------------------------------
    def service_account_assertion(self, subject, scope=GOOGLE_SCOPE, lifetime=3600, key_path=None):
        """The JWT bearer grant's assertion, as a service account signs it."""
        key = open(key_path or self._path("service_account.key")).read()
        now = int(time.time())
        claims = {"iss": SERVICE_ACCOUNT, "sub": subject, "scope": scope, "aud": self.google_token_url,
                  "iat": now, "exp": now + lifetime}
        return jwt.encode(claims, key, algorithm="RS256", headers={"kid": SERVICE_ACCOUNT_KEY_ID})

    def post_token(self, fields, basic=None, encode_basic=True, url=None):
        """(HTTP status, JSON answer) of a token request made with curl.
        basic: (client_id, secret) for HTTP Basic, each form-encoded first
        as RFC 6749 section 2.3.1 asks (unless encode_basic is False)."""
        args = ["curl", "-sS", "--max-time", "20", "--cacert", self._path("ca.pem"), "-o", "-",
                "-w", "\n%{http_code}", url or self.token_url]
        for name, value in fields.items():
            args += ["--data-urlencode", "%s=%s" % (name, value)]
        if basic:
            quote = urllib.parse.quote_plus if encode_basic else (lambda text: text)
            args += ["-u", "%s:%s" % (quote(basic[0]), quote(basic[1]))]
        out = _run(args).stdout
        body, _, status = out.rpartition("\n")
        return int(status), json.loads(body) if body.strip() else {}

    def client_assertion(self, client_id, key_path=None, audience=None, lifetime=300):
        key = open(key_path or self._path("client.key")).read()
        now = int(time.time())
        claims = {"iss": client_id, "sub": client_id, "aud": audience or self.token_url, "iat": now,
                  "nbf": now, "exp": now + lifetime, "jti": uuid.uuid4().hex}
        return jwt.encode(claims, key, algorithm="RS256")

    def token_requests(self):
        return [line.split() for line in open(self._path("oauth.log")) if line.startswith("token ")]

    def revoke(self, client_id):
        """The SMTP peer refuses the tokens `client_id` holds now."""
        with open(self._path("revoked.txt"), "a") as f:
            f.write("%s %d\n" % (client_id, int(time.time())))

    def smtp_log(self):
        return [line.rstrip("\n") for line in open(self._path("smtp.log"))]

    def send(self, mechanism, user, token):
        """The reference client's output lines (bearer_send.py)."""
        result = subprocess.run(["/usr/bin/python3", os.path.join(self.root, "tests/peers/bearer_send.py"),
                                 str(self.smtp_port), self._path("ca.pem"), mechanism, user, token],
                                capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            raise PeerError("bearer_send: %s %s" % (result.stdout, result.stderr))
        return result.stdout.splitlines()
