#!/usr/bin/env python3
"""A loopback TLS server for the TLS engine's tests.

  tls_echo_server.py MODE CERT KEY PORTFILE [VERSIONS]

MODE echo: each connection shakes hands, echoes every byte back until the
client's closing alert, answers it with its own and closes.
MODE greet: as echo, with the line "220 greetings" sent in the same write
as the server's last handshake message, as an SMTP server on the implicit
TLS port may.
MODE close: each connection is closed as soon as the client's first bytes
(its hello) arrive, in the middle of the handshake.

VERSIONS limits the protocol: "tls1.3" TLS 1.3 only, "upto1.1" TLS 1.1 at
most (an old server).

Listens on 127.0.0.1 at a free port, written to PORTFILE once listening.
Every connection is bounded by a 10 s time-out; the server ends by itself
after 120 s.
"""
import os
import socket
import ssl
import sys
import threading


def serve_echo(context, conn):
    try:
        tls = context.wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError) as error:
        print(f"handshake failed: {error}", file=sys.stderr, flush=True)
        conn.close()
        return
    try:
        while True:
            data = tls.recv(65536)
            if not data:  # the client's closing alert
                break
            tls.sendall(data)
        tls.unwrap()  # sends this side's closing alert
    except (ssl.SSLError, OSError) as error:
        print(f"echo ended: {error}", file=sys.stderr, flush=True)
    finally:
        conn.close()


def serve_greet(context, conn):
    # Through memory, so that the last handshake message and the greeting
    # leave in one write.
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_side=True)

    def receive():
        out = outgoing.read()
        if out:
            conn.sendall(out)
        data = conn.recv(65536)
        if not data:
            raise OSError("the client closed")
        incoming.write(data)

    try:
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                receive()
        tls.write(b"220 greetings\r\n")
        conn.sendall(outgoing.read())
        while True:
            try:
                data = tls.read(65536)
            except ssl.SSLWantReadError:
                receive()
                continue
            except ssl.SSLZeroReturnError:
                data = b""
            if not data:  # the client's closing alert
                try:
                    tls.unwrap()
                except ssl.SSLError:
                    pass
                conn.sendall(outgoing.read())
                break
            tls.write(data)
            conn.sendall(outgoing.read())
    except (ssl.SSLError, OSError) as error:
        print(f"greet ended: {error}", file=sys.stderr, flush=True)
    finally:
        conn.close()


def serve_close(conn):
    # The hello is read whole first: unread bytes would make the close a reset.
    try:
        conn.recv(65536)
        conn.settimeout(0.2)
        while conn.recv(65536):
            pass
    except OSError:
        pass
    conn.close()


def main():
    mode, cert, key, portfile = sys.argv[1:5]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    versions = sys.argv[5] if len(sys.argv) > 5 else ""
    if versions == "tls1.3":
        context.minimum_version = ssl.TLSVersion.TLSv1_3
    elif versions == "upto1.1":
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1_1
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    # A server left behind by a script that did not end it goes after this
    # long without a connection; the scripts end theirs. Under load a case
    # may come long after the server started: the bound is the runner's own.
    listener.settimeout(900)
    tmp = portfile + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(tmp, portfile)
    while True:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            return
        conn.settimeout(10)
        if mode == "close":
            target = serve_close
            args = (conn,)
        elif mode == "greet":
            target = serve_greet
            args = (context, conn)
        else:
            target = serve_echo
            args = (context, conn)
        threading.Thread(target=target, args=args, daemon=True).start()


if __name__ == "__main__":
    main()
