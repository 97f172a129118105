#!/usr/bin/python3
"""A loopback TLS 1.2 server that asks its client to renegotiate.

  tls_renegotiate_server.py CERT KEY PORTFILE

Each connection shakes hands, reads the client's first bytes, sends a
HelloRequest (a new handshake asked by the server) and echoes those bytes,
then echoes whatever follows. Python's ssl module cannot start a
renegotiation, so this uses pyOpenSSL (Debian's python3-openssl, for
/usr/bin/python3).

Listens on 127.0.0.1 at a free port, written to PORTFILE once listening.
Every receive is bounded by a 10 s time-out; the server ends by itself after
120 s without a connection.
"""
import os
import socket
import struct
import sys
import threading

from OpenSSL import SSL


def serve(context, conn):
    # A blocking socket with a receive time-out: OpenSSL sees no would-block.
    conn.setblocking(True)
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, struct.pack("ll", 10, 0))
    tls = SSL.Connection(context, conn)
    tls.set_accept_state()
    try:
        tls.do_handshake()
        data = tls.recv(65536)
        tls.renegotiate()
        tls.do_handshake()  # sends the HelloRequest
        print("hello request sent", flush=True)
        tls.sendall(data)
        while True:
            more = tls.recv(65536)
            if not more:
                break
            tls.sendall(more)
    except (SSL.Error, OSError) as error:
        print(f"ended: {error!r}", flush=True)
    finally:
        print(f"renegotiations: {tls.total_renegotiations()}", flush=True)
        conn.close()


def main():
    cert, key, portfile = sys.argv[1:4]
    context = SSL.Context(SSL.TLS_SERVER_METHOD)
    context.set_min_proto_version(SSL.TLS1_2_VERSION)
    context.set_max_proto_version(SSL.TLS1_2_VERSION)
    context.use_certificate_chain_file(cert)
    context.use_privatekey_file(key)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    # A server left behind by a script that did not end it goes after this
    # long without a connection; the scripts end theirs. Under load a case
    # may come long after the server started: the bound is the runner's own.
    listener.settimeout(900)
    with open(portfile + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(portfile + ".tmp", portfile)
    while True:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            return
        threading.Thread(target=serve, args=(context, conn), daemon=True).start()


if __name__ == "__main__":
    main()
