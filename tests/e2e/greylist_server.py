"""An aiosmtpd server that greylists: the first RCPT of each address named
with --greylist is answered 450, later ones are accepted, like a real
greylisting filter. Every accepted message's envelope is appended to the
--log file as one JSON line {"from": ..., "to": [...]}; the port actually
listened on is written to --port-file."""
import argparse
import asyncio
import json
import socket
import time

from aiosmtpd.controller import Controller


class Greylist:
    def __init__(self, greylisted, log):
        self.waiting = {a.lower() for a in greylisted}
        self.log = log

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.waiting:
            self.waiting.discard(address.lower())
            return "450 4.2.0 <%s>: Recipient address rejected: Greylisted, try again later" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        with open(self.log, "a", encoding="utf-8") as f:
            f.write(json.dumps({"from": envelope.mail_from, "to": envelope.rcpt_tos}) + "\n")
        return "250 2.0.0 queued"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--greylist", action="append", default=[])
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    controller = Controller(Greylist(args.greylist, args.log), hostname="127.0.0.1", port=port)
    controller.start()
    with open(args.port_file, "w") as f:
        f.write(str(port))
    try:
        while True:
            time.sleep(3600)
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
