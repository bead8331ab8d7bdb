"""SMTP server for tests: accepts every message on 127.0.0.1 and keeps each one as a file.

Usage: /usr/bin/python3 aiosmtpd_sink.py DIR

Prints "READY <port>" once it listens, or "MISSING <why>" (exit 3) when aiosmtpd cannot be
imported. Each message becomes DIR/NNNNNN.msg, written aside and then renamed, so a reader
never sees half a file:
    FROM <sender>\n
    TO <recipient>\n          (one line per recipient)
    \n
    <the message data as received, dot doubling undone, without the final ".">
Exits when its standard input closes (the test process went away) or on SIGTERM.
"""

import asyncio
import os
import signal
import sys

try:
    from aiosmtpd.smtp import SMTP
except ImportError as error:
    print("MISSING python3-aiosmtpd:", error, flush=True)
    sys.exit(3)


class Sink:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        path = os.path.join(self.directory, "%06d.msg" % self.count)
        head = "FROM %s\n" % envelope.mail_from
        head += "".join("TO %s\n" % rcpt for rcpt in envelope.rcpt_tos) + "\n"
        with open(path + ".tmp", "wb") as out:
            out.write(head.encode("utf-8", "surrogateescape") + envelope.original_content)
        os.replace(path + ".tmp", path)
        return "250 OK"


def main():
    sink = Sink(sys.argv[1])
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    # A fixed hostname: the default looks up the machine's name, which can stall.
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(sink, hostname="localhost", loop=loop), "127.0.0.1", 0)
    )

    def on_stdin():
        if not os.read(0, 4096):
            loop.stop()

    loop.add_reader(0, on_stdin)
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    print("READY", server.sockets[0].getsockname()[1], flush=True)
    loop.run_forever()
    # Sessions still open are simply dropped; the files written so far are complete.
    os._exit(0)


main()
