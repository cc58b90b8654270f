#!/usr/bin/python3
"""An SMTP server that stores what it receives, for tests and for trying the program by hand.

Every accepted message becomes two files in the store: NNNNNN.eml with the exact bytes of
DATA (dot-unstuffed, CR LF kept) and NNNNNN.json with the envelope and the time it came
(received_unix: seconds since the epoch, to the microsecond). Recipients whose local
part matches --reject are refused with "550 5.1.1 User unknown". With --delay the reply to the
final "." comes that many seconds after the mail is stored, as from a slow server: a client
killed meanwhile has a stored mail it never heard about.

Runs on Debian's python3-aiosmtpd, so start it with /usr/bin/python3.
"""

import argparse
import asyncio
import json
import os
import re
import signal
import sys
import threading
import time

from aiosmtpd.controller import Controller


class StoringHandler:
    def __init__(self, store, reject, delay=0.0):
        self.store = store
        self.delay = delay
        self.reject = re.compile(reject) if reject else None
        self.lock = threading.Lock()
        self.count = len([n for n in os.listdir(store) if n.endswith(".eml")])

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        local = address.rsplit("@", 1)[0]
        if self.reject is not None and self.reject.search(local):
            return "550 5.1.1 User unknown"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content
        if data is None:
            data = envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        with self.lock:
            self.count += 1
            name = "%06d" % self.count
        # The second of "received" is too coarse for a test of the pace between mails.
        now = time.time()
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "mail_options": envelope.mail_options,
            "rcpt_options": envelope.rcpt_options,
            "peer": list(session.peer) if session.peer else None,
            "received": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(now)),
            "received_unix": now,
            "size": len(data),
        }
        # Write under temporary names and rename, so a reader never sees half a message.
        for suffix, payload in ((".eml", data),
                                (".json", json.dumps(meta, ensure_ascii=False,
                                                     indent=1).encode("utf-8"))):
            tmp = os.path.join(self.store, "." + name + suffix + ".tmp")
            with open(tmp, "wb") as f:
                f.write(payload)
            os.chmod(tmp, 0o644)
            os.rename(tmp, os.path.join(self.store, name + suffix))
        print("stored %s from=%s to=%s size=%d" % (name, envelope.mail_from,
                                                   ",".join(envelope.rcpt_tos), len(data)),
              flush=True)
        if self.delay > 0:
            await asyncio.sleep(self.delay)
        return "250 2.0.0 OK stored as %s" % name


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--store", required=True)
    parser.add_argument("--reject", default="^reject",
                        help="regular expression on the local part; matches get 550")
    parser.add_argument("--delay", type=float, default=0.0,
                        help="seconds between storing a mail and acknowledging it")
    parser.add_argument("--pidfile")
    args = parser.parse_args()

    if args.host not in ("127.0.0.1", "::1", "localhost"):
        sys.exit("smtp_sink: listens on loopback only")
    os.makedirs(args.store, exist_ok=True)

    controller = Controller(StoringHandler(args.store, args.reject, args.delay), hostname=args.host,
                            port=args.port, server_hostname="sink.localhost",
                            enable_SMTPUTF8=True, data_size_limit=64 * 1024 * 1024)
    controller.start()
    if args.pidfile:
        with open(args.pidfile, "w") as f:
            f.write("%d\n" % os.getpid())
    print("smtp_sink: listening on %s:%d, store %s" % (args.host, args.port, args.store),
          flush=True)

    # Every message is complete on disk before it is acknowledged, so there is nothing to
    # finish on the way out; a quick exit keeps the test fixture's clean-up short.
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.signal(signal.SIGINT, lambda *_: os._exit(0))
    # The signal may land on the server's thread; Python runs the handler on this one only
    # when it wakes, so wake often.
    while True:
        time.sleep(0.2)


if __name__ == "__main__":
    main()
