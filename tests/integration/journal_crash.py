#!/usr/bin/python3
"""The journal against the real program, killed the hard way.

crash: a 200-address run against an SMTP sink that acknowledges each mail 0.3 s after storing
it. The program is killed with SIGKILL at 20 random instants (most land between the final "."
and the reply), restarted, the resume question answered Yes (Enter: Yes is the default button)
and the send button pressed, until the run ends. Once, the process is stopped with SIGSTOP and
its journal copied as a power cut would leave it. Judged at the sink and in the journal with
Python's own sqlite3: no address has two mails, every address without one is 'sending' or
'uncertain', one start notice and one end notice, one run.

full-disk: the journal folder is a full tmpfs; the send button must refuse the run before any
mail leaves.

The windows are driven with xdotool on a private Xvfb, as an operator's keyboard would.
"""

import argparse
import email
import email.header
import glob
import json
import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

# good.test publishes all the preflight asks for on the test DNS server, so a press of the send
# button starts the run without the preflight's question.
OPERATOR = "operator@good.test"
DNS_SERVER = "127.0.0.153"
MAIN_TITLE = "ＫＥＺ－ＭＡＩＬＥＲ"
COUNT = 200


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(what, check, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.02)
    sys.exit("journal_crash: timed out waiting for %s" % what)


class Env:
    def __init__(self, program, sink, work):
        self.work = work
        self.app = os.path.join(work, "app")
        for sub in ("ini", "csv", "log"):
            os.makedirs(os.path.join(self.app, sub))
        # The program keeps its folders beside itself.
        self.program = os.path.join(self.app, "kezmailer")
        shutil.copy(program, self.program)
        self.store = os.path.join(work, "store")
        port = free_port()
        self.sink = subprocess.Popen(
            ["/usr/bin/python3", sink, "--port", str(port), "--store", self.store,
             "--delay", "0.3"], stdout=subprocess.DEVNULL)
        wait_for("the sink", lambda: self._listening(port))
        lines = ["EDITPATH=/usr/bin/editor", "SMTP=127.0.0.1:%d" % port, "POP3=127.0.0.1:1",
                 "MAIL=" + OPERATOR, "USERID=u", "IDPAS=p", "APOP= 0", "SENDLOG= 1",
                 "SENDLOGPAS=%s/log/send.log" % self.app, "ERRLOG= 1", "ERRLOGMSG= 0",
                 "ERRLOGPAS=%s/log/error.log" % self.app, "SENDSPAN= 20", "POP3TIME= 0"]
        with open(os.path.join(self.app, "ini", "kezmail.ini"), "wb") as f:
            f.write("".join(l + "\r\n" for l in lines).encode("ascii"))
        # The preflight's lookups go to the test DNS server, never off this machine.
        bulk = ["UNSUBMAILTO=", "UNSUBURL=https://good.test/stop?a={address}", "SUPPRESSPATH=",
                "DKIMDOMAIN=", "DKIMSELECTOR=", "DKIMKEY=", "PRECEDENCE=1", "AUTOSUBMITTED=1",
                "ONCEPERRUN=1", "SUPPRESS=0", "DKIM=0",
                "FOOTER=Sender Inc.\\n配信停止: {unsubscribe_url}",
                "PREFLIGHTDNS=" + DNS_SERVER]
        with open(os.path.join(self.app, "ini", "bulk.ini"), "wb") as f:
            f.write("".join(l + "\r\n" for l in bulk).encode("utf-8"))
        self.addresses = ["user%03d@example.jp" % i for i in range(COUNT)]
        self.list = os.path.join(self.app, "csv", "list.csv")
        with open(self.list, "wb") as f:
            # A blank line: the journal's line numbers are the file's.
            lines = self.addresses[:100] + [""] + self.addresses[100:]
            f.write("".join(l + "\r\n" for l in lines).encode("ascii"))
        # A display no other X server holds: xdpyinfo would answer for that one instead.
        number = random.choice([n for n in range(150, 250)
                                if not os.path.exists("/tmp/.X%d-lock" % n)])
        self.display = ":%d" % number
        # -noreset: each kill takes the last client away, and a server that resets then
        # refuses the restarted program's connection for a moment (it aborts without a display).
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x1024x24",
                                      "-nolisten", "tcp", "-noreset"], stderr=subprocess.DEVNULL)
        self.env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        wait_for("Xvfb", lambda: subprocess.run(["xdpyinfo"], env=self.env,
                                                capture_output=True).returncode == 0)
        if self.xvfb.poll() is not None:
            sys.exit("journal_crash: Xvfb on %s did not start" % self.display)
        self.proc = None
        self.program_log = os.path.join(work, "program.log")

    @staticmethod
    def _listening(port):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    def close(self):
        for p in (self.proc, self.sink, self.xvfb):
            if p and p.poll() is None:
                p.kill()
                p.wait()

    def xdo(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=self.env, capture_output=True,
                              text=True, timeout=20).stdout.split()

    def window(self, name):
        search = lambda: self.xdo("search", "--onlyvisible", "--name", name)
        deadline = time.time() + 60
        while time.time() < deadline:
            found = search()
            if found:
                return found[-1]
            time.sleep(0.05)
        # What the program was doing instead, for the log of a failed run.
        names = [" ".join(self.xdo("getwindowname", w))
                 for w in self.xdo("search", "--onlyvisible", "--name", ".")]
        with open(self.program_log, encoding="utf-8", errors="replace") as f:
            said = f.read()[-2000:]
        sys.exit("journal_crash: timed out waiting for window %s; program exit status %s; "
                 "visible windows %s; program output:\n%s"
                 % (name, self.proc.poll() if self.proc else None, names, said))

    def start(self):
        with open(self.program_log, "ab") as log:
            self.proc = subprocess.Popen([self.program], env=self.env, cwd=self.app,
                                         stdout=log, stderr=log)

    def press_send(self, main, fill):
        self.xdo("windowfocus", "--sync", main)
        if fill:
            # From cmdCSV, where the focus starts: the list, the subject, the sender name.
            self.xdo("key", "Tab")
            self.xdo("type", self.list)
            self.xdo("key", "Tab")
            self.xdo("type", "Crash test")
            self.xdo("key", "Tab")
            self.xdo("type", "Sender")
            tabs = 6
        else:
            tabs = 9
        for _ in range(tabs):
            self.xdo("key", "Tab")
        self.xdo("key", "space")

    def stored(self):
        out = []
        for path in sorted(glob.glob(os.path.join(self.store, "*.json"))):
            with open(path, encoding="utf-8") as f:
                meta = json.load(f)
            with open(path[:-5] + ".eml", "rb") as f:
                mail = email.message_from_bytes(f.read())
            subject = str(email.header.make_header(email.header.decode_header(mail["Subject"])))
            out.append((meta["rcpt_tos"], subject))
        return out

    def delivered(self):
        return [r for rcpts, _ in self.stored() for r in rcpts if r != OPERATOR]

    def journal(self):
        return os.path.join(self.app, "journal", "journal.sqlite")


def states(path):
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        return dict(db.execute("SELECT address, state FROM mails"))
    finally:
        db.close()


def crash(env, kills):
    env.start()
    env.press_send(env.window(MAIN_TITLE), fill=True)
    targets = sorted(random.sample(range(2, COUNT - 10), kills))
    power_cut_at = kills // 2
    power_cut = None
    for i, target in enumerate(targets):
        wait_for("mail %d" % target, lambda: len(env.delivered()) >= target, timeout=60)
        time.sleep(random.uniform(0, 0.35))
        if i == power_cut_at:
            os.kill(env.proc.pid, signal.SIGSTOP)
            copy = os.path.join(env.work, "power_cut")
            os.makedirs(copy)
            for suffix in ("", "-wal"):
                if os.path.exists(env.journal() + suffix):
                    shutil.copy(env.journal() + suffix, os.path.join(copy, "j.sqlite" + suffix))
            power_cut = (os.path.join(copy, "j.sqlite"), set(env.delivered()))
        env.proc.kill()
        env.proc.wait()
        env.start()
        # The resume question, then the main window filled from the journal.
        env.xdo("windowfocus", "--sync", env.window("^KEZ-MAILER$"))
        env.xdo("key", "Return")
        main = env.window(MAIN_TITLE)
        env.press_send(main, fill=False)
    # The last run ends with its completion box; Enter closes it and the program.
    done = wait_for("the end of the run",
                    lambda: any("[終了]" in s for _, s in env.stored()), timeout=120)
    assert done
    env.xdo("windowfocus", "--sync", env.window("^KEZ-MAILER$"))
    env.xdo("key", "Return")
    env.proc.wait(timeout=20)

    failures = []
    delivered = env.delivered()
    counts = {a: delivered.count(a) for a in set(delivered)}
    twice = sorted(a for a, n in counts.items() if n > 1)
    if twice:
        failures.append("mailed more than once: %s" % twice)
    rows = states(env.journal())
    if sorted(rows) != sorted(env.addresses):
        failures.append("the journal's addresses are not the list's")
    missing = [a for a in env.addresses if a not in counts]
    wrong = [(a, rows.get(a)) for a in missing if rows.get(a) not in ("sending", "uncertain")]
    if wrong:
        failures.append("without a mail but not 'sending'/'uncertain': %s" % wrong)
    db = sqlite3.connect(env.journal())
    runs = db.execute("SELECT state, total FROM runs").fetchall()
    lines = dict(db.execute("SELECT address, line FROM mails"))
    db.close()
    if runs != [("finished", COUNT)]:
        failures.append("one finished run of %d expected: %s" % (COUNT, runs))
    if lines["user099@example.jp"] != 100 or lines["user100@example.jp"] != 102:
        failures.append("line numbers are not the file's: %s" % lines)
    subjects = [s for rcpts, s in env.stored() if OPERATOR in rcpts]
    notices = (sum("[開始]" in s for s in subjects), sum("[終了]" in s for s in subjects))
    if notices != (1, 1):
        failures.append("start and end notices: %s" % (notices,))
    uncertain = sorted(a for a, s in rows.items() if s == "uncertain")
    with open(os.path.join(env.app, "log", "error.log"), "rb") as f:
        log = f.read().decode("cp932")
    noted = [a for a in uncertain if "届いている可能性があります（再送しませんでした）" in
             "".join(l for l in log.splitlines() if a in l)]
    if any(rows[a] == "sending" for a in rows):
        failures.append("rows still 'sending' after the last resume")

    # The power cut: the copy opens, is whole, and no mail the sink had is 'pending' there.
    path, had = power_cut
    db = sqlite3.connect(path)
    check = db.execute("PRAGMA integrity_check").fetchone()[0]
    cut = dict(db.execute("SELECT address, state FROM mails"))
    cut_runs = db.execute("SELECT state FROM runs").fetchall()
    db.close()
    if check != "ok" or cut_runs != [("running",)] or len(cut) != COUNT:
        failures.append("power-cut copy: %s %s %d rows" % (check, cut_runs, len(cut)))
    behind = sorted(a for a in had if cut.get(a) not in ("sending", "sent", "uncertain"))
    if behind:
        failures.append("power-cut copy has mails the sink stored as not sent: %s" % behind)

    stored = len([a for a in uncertain if a in counts])
    print("kills: %d; addresses mailed once: %d; uncertain: %d (%d with the mail stored: killed "
          "between '.' and the reply; %d without a mail); error-log lines for in-flight mails: "
          "%d; power-cut copy: %d rows, %d mails stored at the stop"
          % (kills, len(counts), len(uncertain), stored, len(missing), len(noted), len(cut),
             len(had)))
    if len(noted) != len(uncertain):
        failures.append("in-flight mails without their error-log line")
    return failures


def full_disk(env):
    folder = os.path.join(env.app, "journal")
    os.makedirs(folder)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", folder]).returncode:
        print("journal_crash: cannot mount a tmpfs (needs root)")
        return None
    try:
        fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            while os.write(fd, b"\0" * 512):
                pass
        except OSError:
            pass
        os.close(fd)
        env.start()
        env.press_send(env.window(MAIN_TITLE), fill=True)
        env.window("^KEZ-MAILER$")  # the refusal
        time.sleep(1.0)  # a run that went on would have mailed the operator by now
        failures = []
        if os.path.exists(env.journal()) and os.path.getsize(env.journal()) > 0:
            failures.append("a journal was written on a full disk")
        if env.stored():
            failures.append("mails went out with a full journal disk: %s" % env.stored())
        if env.proc.poll() is not None:
            failures.append("the program ended instead of refusing the start")
        env.proc.kill()
        env.proc.wait()
    finally:
        subprocess.run(["umount", folder])
    # The same keys with room on the disk start the run: the refusal was the disk's.
    env.start()
    env.press_send(env.window(MAIN_TITLE), fill=True)
    wait_for("the start notice with room on the disk",
             lambda: any("[開始]" in s for _, s in env.stored()))
    env.proc.kill()
    env.proc.wait()
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["crash", "full-disk"])
    parser.add_argument("--program", required=True)
    parser.add_argument("--sink", required=True)
    parser.add_argument("--kills", type=int, default=20)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kez-journal-")
    env = Env(args.program, args.sink, work)
    try:
        failures = crash(env, args.kills) if args.mode == "crash" else full_disk(env)
    finally:
        env.close()
    if failures is None:
        return 77
    for f in failures:
        print("FAIL:", f)
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
