"""An SMTP sink on one address for smtp_ipv6.sh: every message is stored as
FOLDER/<n>.eml with the peer's address on its first line; the port goes to
PORTFILE once it listens. Usage: ipv6_sink_server.py HOST FOLDER PORTFILE"""
import asyncio, os, socket, sys, time
from aiosmtpd.controller import Controller

host, folder, portfile = sys.argv[1], sys.argv[2], sys.argv[3]
os.makedirs(folder, exist_ok=True)

class Store:
    count = 0
    async def handle_DATA(self, server, session, envelope):
        Store.count += 1
        with open(os.path.join(folder, "%d.eml" % Store.count), "wb") as f:
            f.write(("peer %s\n" % session.peer[0]).encode())
            f.write(envelope.original_content or envelope.content)
        return "250 2.0.0 stored"

family = socket.AF_INET6 if ":" in host else socket.AF_INET
probe = socket.socket(family)
probe.bind((host, 0))
port = probe.getsockname()[1]
probe.close()
controller = Controller(Store(), hostname=host, port=port)
controller.start()
with open(portfile + ".tmp", "w") as f:
    f.write(str(port))
os.rename(portfile + ".tmp", portfile)
deadline = time.time() + 300  # never outlives a stuck test by much
while time.time() < deadline:
    time.sleep(0.5)
controller.stop()
