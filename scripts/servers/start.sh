#!/usr/bin/env bash
# Starts the mail servers the integration tests talk to, and that a manual try can use:
#   - a private Dovecot serving POP3 only (USER/PASS, AUTH PLAIN/LOGIN and APOP), with a
#     pre-login rawlog that shows which commands each client sent; STLS on its plain port and
#     a pop3s port, both with a self-signed certificate for "localhost";
#   - an SMTP sink (smtp_sink.py on python3-aiosmtpd) that stores every message it receives;
#   - a private Postfix (never the system's: its own config, queue and data folders) that
#     returns real delivery reports. It delivers nothing beyond this machine: there is no SMTP
#     client in its master.cf, every non-local transport is "error", and relaying is refused
#     during the session (554 5.7.1). Its virtual mailbox domains:
#       example.jp   operator@example.jp only, delivered into the Maildir the Dovecot account
#                    reads (KEZ_OPERATOR_MAILDIR), so delivery reports to that sender can be
#                    fetched over POP3;
#       bounce.test  user<digits> are delivered into KEZ_POSTFIX_DELIVERED; anyone else is
#                    accepted during the session and then bounced: a multipart/report with
#                    Status 5.1.1 goes to the envelope sender within a second or so;
#       strict.test  the same users, but anyone else is refused at RCPT with 550 5.1.1.
#     Its log is KEZ_POSTFIX_LOG (no syslog needed).
# All listen on free ports of 127.0.0.1. Ports, account and paths go to STATE_DIR/servers.env
# as KEY=VALUE lines. Starting again restarts them.
#
# Usage: start.sh [STATE_DIR]   (default: $KEZ_SERVERS_DIR, else /tmp/kez-servers)
# Needs root (Dovecot and Postfix drop their privileges themselves); re-runs itself through sudo
# otherwise.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
state="${1:-${KEZ_SERVERS_DIR:-/tmp/kez-servers}}"

if [[ "$(id -u)" != 0 ]]; then
    exec sudo bash "$here/start.sh" "$state"
fi

bash "$here/stop.sh" "$state" >/dev/null 2>&1 || true
mkdir -p "$state"
state="$(cd "$state" && pwd)"
rm -f "$state/servers.env"

python=/usr/bin/python3
pop3_user=alice
pop3_password=kez-pop3-secret
reject_pattern='^reject'

free_port() {
    "$python" -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# wait_for_greeting PORT PREFIX: true once the port answers with a line starting with PREFIX.
wait_for_greeting() {
    "$python" - "$1" "$2" <<'PY'
import socket, sys, time
port, prefix = int(sys.argv[1]), sys.argv[2].encode()
deadline = time.time() + 15
while time.time() < deadline:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            if s.recv(512).startswith(prefix):
                s.sendall(b"QUIT\r\n")
                sys.exit(0)
    except OSError:
        pass
    time.sleep(0.1)
sys.exit(1)
PY
}

# --- Dovecot ------------------------------------------------------------------------------
# Its sockets live in base_dir, whose path must stay short, and its unprivileged processes
# must reach every parent folder: hence a folder of its own under /tmp, opened to all.
run="$(mktemp -d /tmp/kez-dovecot.XXXXXX)"
chmod 755 "$run"
echo "$run" >"$state/dovecot.rundir"
mkdir -p "$run/base" "$run/state" "$run/rawlog" "$run/home/$pop3_user"
chown dovenull: "$run/rawlog"
chmod 750 "$run/rawlog"
chown -R nobody:nogroup "$run/home"
nobody_uid="$(id -u nobody)"
nogroup_gid="$(getent group nogroup | cut -d: -f3)"
# A self-signed certificate for "localhost" only: the client must refuse it unless a test
# trusts it explicitly, and must refuse it for "127.0.0.1" even then.
openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost" -keyout "$run/key.pem" -out "$run/cert.pem" \
    >/dev/null 2>&1
chmod 644 "$run/cert.pem"
chmod 600 "$run/key.pem"
printf '%s:{PLAIN}%s:%s:%s::%s\n' "$pop3_user" "$pop3_password" "$nobody_uid" "$nogroup_gid" \
    "$run/home/$pop3_user" >"$run/passwd"
chmod 644 "$run/passwd"

started=""
for attempt in 1 2 3; do
    pop3_port="$(free_port)"
    pop3s_port="$(free_port)"
    cat >"$run/dovecot.conf" <<CONF
base_dir = $run/base
state_dir = $run/state
instance_name = kez-dovecot-$pop3_port
protocols = pop3
listen = 127.0.0.1
ssl = yes
ssl_cert = <$run/cert.pem
ssl_key = <$run/key.pem
disable_plaintext_auth = no
auth_mechanisms = plain login apop
auth_failure_delay = 0
auth_verbose = yes
log_path = $run/dovecot.log
info_log_path = $run/dovecot.log
mail_location = maildir:~/Maildir
first_valid_uid = 1
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $run/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $run/passwd
}
service pop3-login {
  executable = pop3-login -R $run/rawlog
  chroot =
  inet_listener pop3 {
    address = 127.0.0.1
    port = $pop3_port
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $pop3s_port
    ssl = yes
  }
}
# A failing test must not slow down the ones after it.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
CONF
    if dovecot -c "$run/dovecot.conf" </dev/null >>"$run/dovecot.start.log" 2>&1 &&
        wait_for_greeting "$pop3_port" "+OK"; then
        started=yes
        break
    fi
    dovecot -c "$run/dovecot.conf" stop >/dev/null 2>&1 || true
    sleep 0.5
done
if [[ -z "$started" ]]; then
    echo "start.sh: Dovecot did not start" >&2
    cat "$run/dovecot.start.log" "$run/dovecot.log" >&2 2>/dev/null || true
    exit 1
fi

# --- Postfix ------------------------------------------------------------------------------
# Its queue must belong to "postfix" and the virtual delivery agent writes as nobody, so like
# Dovecot's its folder sits under /tmp where both reach every parent folder.
pf="$(mktemp -d /tmp/kez-postfix.XXXXXX)"
chmod 755 "$pf"
echo "$pf" >"$state/postfix.rundir"
mkdir -p "$pf/config" "$pf/queue" "$pf/data" "$pf/delivered"
chown postfix: "$pf/data"
chown nobody:nogroup "$pf/delivered"
touch "$pf/maillog"
operator_maildir="$run/home/$pop3_user/Maildir/"
# A trailing slash makes the virtual delivery agent write a Maildir; it creates the folders.
cat >"$pf/config/mailboxes" <<MAP
/^operator@example\.jp\$/ $operator_maildir
/^user[0-9]+@(bounce|strict)\.test\$/ $pf/delivered/
MAP
# Unknown users are accepted everywhere (so that bounce.test bounces them after the
# session) except in strict.test.
cat >"$pf/config/recipient_access" <<MAP
/@strict\.test\$/ reject_unlisted_recipient
MAP
started=""
for attempt in 1 2 3; do
    postfix_port="$(free_port)"
    cat >"$pf/config/main.cf" <<CONF
compatibility_level = 3.6
queue_directory = $pf/queue
data_directory = $pf/data
mail_owner = postfix
setgid_group = postdrop
maillog_file = $pf/maillog
maillog_file_prefixes = $pf
myhostname = mail.example.jp
mydomain = example.jp
myorigin = \$myhostname
mydestination =
alias_maps =
alias_database =
local_recipient_maps =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
# Nothing leaves: no relay host, no relay domains, every other destination fails at once.
relayhost =
relay_domains =
default_transport = error:this test server delivers nothing beyond itself
relay_transport = error:this test server delivers nothing beyond itself
smtpd_relay_restrictions = reject_unauth_destination
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
virtual_mailbox_domains = example.jp, bounce.test, strict.test
virtual_mailbox_base = /
virtual_mailbox_maps = regexp:$pf/config/mailboxes
virtual_uid_maps = static:$nobody_uid
virtual_gid_maps = static:$nogroup_gid
smtpd_reject_unlisted_recipient = no
smtpd_recipient_restrictions = check_recipient_access regexp:$pf/config/recipient_access
# Reports at once, no "delayed mail" warnings, nothing kept waiting in the queue.
bounce_queue_lifetime = 0
maximal_queue_lifetime = 0
delay_warning_time = 0
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 2s
biff = no
CONF
    # No chroot (the queue is not laid out for one) and no smtp, lmtp or relay clients.
    cat >"$pf/config/master.cf" <<CONF
127.0.0.1:$postfix_port inet n - n - - smtpd
pickup    unix  n - n 60 1 pickup
cleanup   unix  n - n -  0 cleanup
qmgr      unix  n - n 300 1 qmgr
rewrite   unix  - - n -  - trivial-rewrite
bounce    unix  - - n -  0 bounce
defer     unix  - - n -  0 bounce
trace     unix  - - n -  0 bounce
verify    unix  - - n -  1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n -  - proxymap
showq     unix  n - n -  - showq
error     unix  - - n -  - error
retry     unix  - - n -  - error
discard   unix  - - n -  - discard
virtual   unix  - n n -  - virtual
anvil     unix  - - n -  1 anvil
scache    unix  - - n -  1 scache
postlog   unix-dgram n - n - 1 postlogd
CONF
    # Detached, with no inherited output: CTest waits for every holder of its pipes.
    if setsid postfix -c "$pf/config" start </dev/null >>"$pf/start.log" 2>&1 &&
        wait_for_greeting "$postfix_port" "220"; then
        started=yes
        break
    fi
    postfix -c "$pf/config" stop </dev/null >>"$pf/start.log" 2>&1 || true
    sleep 0.5
done
if [[ -z "$started" ]]; then
    echo "start.sh: Postfix did not start" >&2
    cat "$pf/start.log" "$pf/maillog" >&2 2>/dev/null || true
    exit 1
fi

# --- SMTP sink ----------------------------------------------------------------------------
store="$state/smtp/messages"
mkdir -p "$store"
chmod 755 "$state/smtp" "$store"
started=""
for attempt in 1 2 3; do
    smtp_port="$(free_port)"
    # Detached, with no inherited output: CTest waits for every holder of its pipes.
    setsid "$python" "$here/smtp_sink.py" --port "$smtp_port" --store "$store" \
        --reject "$reject_pattern" --pidfile "$state/smtp.pid" \
        </dev/null >>"$state/smtp/sink.log" 2>&1 &
    if wait_for_greeting "$smtp_port" "220"; then
        started=yes
        break
    fi
    [[ -f "$state/smtp.pid" ]] && kill "$(cat "$state/smtp.pid")" 2>/dev/null || true
    rm -f "$state/smtp.pid"
done
if [[ -z "$started" ]]; then
    echo "start.sh: the SMTP sink did not start" >&2
    cat "$state/smtp/sink.log" >&2 || true
    exit 1
fi

cat >"$state/servers.env.tmp" <<ENV
KEZ_POP3_HOST=127.0.0.1
KEZ_POP3_PORT=$pop3_port
KEZ_POP3S_PORT=$pop3s_port
KEZ_POP3_TEST_CA=$run/cert.pem
KEZ_POP3_USER=$pop3_user
KEZ_POP3_PASSWORD=$pop3_password
KEZ_POP3_LOG=$run/dovecot.log
KEZ_POP3_RAWLOG_DIR=$run/rawlog
KEZ_POP3_CONFIG=$run/dovecot.conf
KEZ_SMTP_HOST=127.0.0.1
KEZ_SMTP_PORT=$smtp_port
KEZ_SMTP_STORE=$store
KEZ_SMTP_LOG=$state/smtp/sink.log
KEZ_SMTP_REJECT_PATTERN=$reject_pattern
KEZ_POSTFIX_HOST=127.0.0.1
KEZ_POSTFIX_PORT=$postfix_port
KEZ_POSTFIX_CONFIG=$pf/config
KEZ_POSTFIX_DELIVERED=$pf/delivered
KEZ_POSTFIX_LOG=$pf/maillog
KEZ_OPERATOR_MAILDIR=$operator_maildir
ENV
chmod 644 "$state/servers.env.tmp"
mv "$state/servers.env.tmp" "$state/servers.env"

echo "POP3 (Dovecot): 127.0.0.1:$pop3_port  user $pop3_user  password $pop3_password"
echo "                (pop3s on $pop3s_port; its certificate is self-signed: $run/cert.pem)"
echo "SMTP (sink):    127.0.0.1:$smtp_port  messages in $store"
echo "SMTP (Postfix): 127.0.0.1:$postfix_port  reports to operator@example.jp land in the POP3 box"
echo "Details:        $state/servers.env"
