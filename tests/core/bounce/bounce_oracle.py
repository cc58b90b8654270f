#!/usr/bin/python3
"""Compares the program's bounce verdicts with two other readers of bounces: Debian's
flufl.bounce (Python) and Sisimai (Perl).

    bounce_oracle.py CLASSIFY_TOOL MAIL...

Each reader's verdict is reduced to hard or not: flufl.bounce's permanent failures are hard;
Sisimai's hard bounces (softbounce 0) are hard; the program's "hard" is hard, and "soft",
"domain", "ambiguous" and "unknown" are not. The test fails where the program says hard and
both readers say otherwise, or where both say hard and the program does not. A mail neither
reader recognises as a bounce gives them no opinion and is shown, not judged.
"""
import email
import os
import subprocess
import sys

import flufl.bounce

SISIMAI = r'''
use strict; use warnings; use Sisimai;
for my $path (@ARGV) {
    my $v = Sisimai->make($path) // [];
    for my $e (@$v) {
        printf "%s\t%s\t%s\t%s\n", $path, lc $e->recipient->address, $e->reason, $e->softbounce;
    }
}
'''


def program_verdicts(tool, path):
    out = subprocess.run([tool, path], check=True, capture_output=True, text=True).stdout
    verdicts = {}
    for line in out.splitlines():
        address, verdict = line.split('\t')
        verdicts[address.lower()] = verdict
    return verdicts


def flufl_verdicts(path):
    with open(path, 'rb') as f:
        msg = email.message_from_binary_file(f)
    temporary, permanent = flufl.bounce.all_failures(msg)
    as_text = lambda a: (a.decode('utf-8', 'replace') if isinstance(a, bytes) else a).lower()
    verdicts = {as_text(a): 'soft' for a in temporary}
    verdicts.update({as_text(a): 'hard' for a in permanent})
    return verdicts


def sisimai_verdicts(paths):
    out = subprocess.run(['perl', '-e', SISIMAI, *paths], check=True, capture_output=True,
                         text=True).stdout
    verdicts = {path: {} for path in paths}
    for line in out.splitlines():
        path, address, reason, soft = line.split('\t')
        verdicts[path][address] = ('hard' if soft == '0' else 'soft' if soft == '1'
                                   else 'unknown') + '/' + reason
    return verdicts


def is_hard(verdict):
    return verdict.split('/')[0] == 'hard'


def main():
    tool, paths = sys.argv[1], sys.argv[2:]
    if not paths:
        print('no bounces given')
        return 1
    sisimai = sisimai_verdicts(paths)
    rows, faults, alike, judged, unread = [], [], 0, 0, []
    for path in paths:
        name = os.path.basename(path)
        ours, flufl_says, sisimai_says = (program_verdicts(tool, path), flufl_verdicts(path),
                                          sisimai[path])
        if not flufl_says and not sisimai_says:
            unread.append(name)
            for address, verdict in sorted(ours.items()):
                rows.append((name, address, verdict, '-', '-'))
            continue
        judged += 1
        same = True
        for address in sorted(set(ours) | set(flufl_says) | set(sisimai_says)):
            p = ours.get(address, 'unknown')
            f = flufl_says.get(address, 'unknown')
            s = sisimai_says.get(address, 'unknown')
            rows.append((name, address, p, f, s))
            if is_hard(p) == is_hard(f) == is_hard(s):
                continue
            same = False
            if is_hard(p) and not is_hard(f) and not is_hard(s):
                faults.append(f'{name} {address}: the program says hard, both readers do not')
            if not is_hard(p) and is_hard(f) and is_hard(s):
                faults.append(f'{name} {address}: both readers say hard, the program says {p}')
        alike += same
    widths = [max(len(r[i]) for r in rows + [('file', 'address', 'program', 'flufl',
                                              'sisimai')]) for i in range(5)]
    for r in [('file', 'address', 'program', 'flufl', 'sisimai')] + rows:
        print('  '.join(c.ljust(w) for c, w in zip(r, widths)))
    print(f'{alike} of {judged} bounces classified alike')
    if unread:
        print('read by neither flufl.bounce nor Sisimai (not judged): ' + ', '.join(unread))
    for fault in faults:
        print('FAIL: ' + fault)
    return 1 if faults or judged == 0 else 0


if __name__ == '__main__':
    sys.exit(main())
