#!/usr/bin/env bash
# Stops what start.sh started for STATE_DIR. Safe to run again, or when nothing runs.
# Dovecot's log and rawlog are copied into STATE_DIR/dovecot-last, Postfix's log and
# configuration into STATE_DIR/postfix-last, before their folders go.
#
# Usage: stop.sh [STATE_DIR]   (default: $KEZ_SERVERS_DIR, else /tmp/kez-servers)
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
state="${1:-${KEZ_SERVERS_DIR:-/tmp/kez-servers}}"

[[ -d "$state" ]] || exit 0
if [[ "$(id -u)" != 0 ]]; then
    exec sudo bash "$here/stop.sh" "$state"
fi

# running PID: true while the process lives. A zombie has finished: its parent (start.sh)
# is gone, and whoever adopted it may be slow to reap it.
running() {
    local state
    state="$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" || return 1
    [[ -n "$state" && "$state" != Z ]]
}

# stop_pid PID: TERM, a short wait, then KILL.
stop_pid() {
    local pid="$1"
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        running "$pid" || return 0
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
}

if [[ -f "$state/smtp.pid" ]]; then
    stop_pid "$(cat "$state/smtp.pid")"
    rm -f "$state/smtp.pid"
fi

if [[ -f "$state/postfix.rundir" ]]; then
    pf="$(cat "$state/postfix.rundir")"
    # Only ever a folder this script family made.
    if [[ "$pf" == /tmp/kez-postfix.* && -d "$pf" ]]; then
        master=""
        [[ -f "$pf/queue/pid/master.pid" ]] && master="$(tr -d ' ' <"$pf/queue/pid/master.pid")"
        postfix -c "$pf/config" stop </dev/null >/dev/null 2>&1
        # "postfix stop" only asks; wait for the master (its children follow it).
        [[ -n "$master" ]] && stop_pid "$master"
        rm -rf "$state/postfix-last"
        mkdir -p "$state/postfix-last"
        cp -r "$pf/maillog" "$pf/config" "$state/postfix-last/" 2>/dev/null || true
        rm -rf "$pf"
    fi
    rm -f "$state/postfix.rundir"
fi

if [[ -f "$state/dovecot.rundir" ]]; then
    run="$(cat "$state/dovecot.rundir")"
    # Only ever a folder this script family made.
    if [[ "$run" == /tmp/kez-dovecot.* && -d "$run" ]]; then
        if [[ -f "$run/base/master.pid" ]]; then
            stop_pid "$(cat "$run/base/master.pid")"
        fi
        rm -rf "$state/dovecot-last"
        mkdir -p "$state/dovecot-last"
        cp -r "$run/dovecot.log" "$run/rawlog" "$run/dovecot.conf" "$state/dovecot-last/" \
            2>/dev/null || true
        rm -rf "$run"
    fi
    rm -f "$state/dovecot.rundir"
fi
rm -f "$state/servers.env"
exit 0
