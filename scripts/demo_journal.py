#!/usr/bin/env python3
"""Writes a delivery journal with made-up runs into an application folder, for looking at the
results window (and the README picture) without sending anything.

    demo_journal.py APP_DIR [ADDRESSES]

The newest run has ADDRESSES mails (200 if not given) spread over a few minutes, with refused,
deferred and uncertain ones among them; an older run before it finished cleanly. Refuses to
touch an existing journal.
"""

import os
import random
import sqlite3
import sys
from datetime import datetime, timedelta

SCHEMA = """
CREATE TABLE runs(id INTEGER PRIMARY KEY, started TEXT NOT NULL, ended TEXT,
  list_path TEXT NOT NULL, list_size INTEGER NOT NULL, list_mtime TEXT NOT NULL,
  subject TEXT NOT NULL, sender_name TEXT NOT NULL, body TEXT NOT NULL,
  interval_ms INTEGER NOT NULL, state TEXT NOT NULL, total INTEGER NOT NULL);
CREATE TABLE attachments(run_id INTEGER NOT NULL, position INTEGER NOT NULL, path TEXT NOT NULL,
  size INTEGER NOT NULL, sha256 TEXT NOT NULL, PRIMARY KEY(run_id, position));
CREATE TABLE mails(run_id INTEGER NOT NULL, seq INTEGER NOT NULL, line INTEGER NOT NULL,
  address TEXT NOT NULL, state TEXT NOT NULL, time TEXT, reply TEXT,
  PRIMARY KEY(run_id, seq)) WITHOUT ROWID;
PRAGMA user_version = 1;
"""
DOMAINS = ["example.jp", "example.co.jp", "mail.example.ne.jp", "example.com", "example.org",
           "shop.example.jp", "example.net", "example.ac.jp", "example.or.jp", "example.ed.jp",
           "example.go.jp", "example.info"]
FAILURES = [("refused", "550 5.1.1 <{a}>: Recipient address rejected: User unknown"),
            ("deferred", "451 4.7.1 しばらくしてから再送して下さい"),
            ("uncertain", "")]
FMT = "%Y-%m-%dT%H:%M:%S"


def add_run(db, run_id, start, count, interval, state, failure_rate, rnd):
    rows = []
    t = start
    for seq in range(1, count + 1):
        address = f"user{seq:06d}@{rnd.choice(DOMAINS[: 4 + seq % 9])}"
        t += timedelta(milliseconds=interval * rnd.uniform(0.5, 1.5))
        if rnd.random() < failure_rate:
            kind, reply = rnd.choice(FAILURES)
            rows.append((run_id, seq, seq, address, kind, t.strftime(FMT), reply.format(a=address)))
        else:
            rows.append((run_id, seq, seq, address, "sent", t.strftime(FMT), "250 2.0.0 Ok"))
    db.executemany("INSERT INTO mails VALUES(?, ?, ?, ?, ?, ?, ?)", rows)
    db.execute("INSERT INTO runs VALUES(?, ?, ?, 'csv/list.csv', 4096, ?, ?, 'KEZ', 'body', ?, ?, ?)",
               (run_id, start.strftime(FMT), t.strftime(FMT), start.strftime(FMT),
                f"{start:%m}月のお知らせ", interval, state, count))


def main():
    app = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    path = os.path.join(app, "journal", "journal.sqlite")
    if os.path.exists(path):
        sys.exit(f"{path} already exists")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    rnd = random.Random(19)
    db = sqlite3.connect(path)
    db.executescript(SCHEMA)
    add_run(db, 1, datetime(2026, 11, 20, 9, 30), 120, 1500, "finished", 0.02, rnd)
    # About 200 addresses over some six minutes.
    add_run(db, 2, datetime(2026, 12, 6, 10, 0), count, 360_000 / max(count, 1) * 1.0, "finished",
            0.08, rnd)
    db.commit()
    db.close()


if __name__ == "__main__":
    main()
