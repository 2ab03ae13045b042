"""A real remote mail server for the delivery tests: Debian's aiosmtpd (package
python3-aiosmtpd, run by /usr/bin/python3) listening on a loopback address and
port. Every message it accepts is written to the output directory as one file:
a first line of JSON with the envelope ({"from": ..., "to": [...]}) and then the
message's bytes as they arrived.

  /usr/bin/python3 aiosmtpd_peer.py ADDRESS PORT OUTDIR

It prints "ready" once it listens and runs until its standard input closes.
"""
import json
import os
import sys

from aiosmtpd.controller import Controller


class Saver:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        path = os.path.join(self.outdir, "%06d" % self.count)
        head = json.dumps({"from": envelope.mail_from, "to": envelope.rcpt_tos}).encode()
        with open(path + ".tmp", "wb") as f:
            f.write(head + b"\n" + envelope.original_content)
        os.rename(path + ".tmp", path + ".msg")
        return "250 2.0.0 Saved"


def main():
    address, port, outdir = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    controller = Controller(Saver(outdir), hostname=address, port=port)
    controller.start()
    print("ready", flush=True)
    try:
        sys.stdin.read()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
