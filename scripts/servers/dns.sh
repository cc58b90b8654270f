#!/usr/bin/env bash
# Starts or stops the DNS server the preflight checks are tried against: Debian's dnsmasq on
# 127.0.0.153 port 53 (QDnsLookup of Qt 6.4 asks port 53 only, hence root), serving the test
# domains of preflight-dns.conf. Two DKIM keys are made with openssl at each start; good.test
# publishes the first, otherkey.test the second. Queries for slow.test go on to a UDP socket
# that never answers, so they time out.
# KEZ_DNS_SERVER and the key paths go to STATE_DIR/dns.env as KEY=VALUE lines.
#
# Usage: dns.sh start|stop [STATE_DIR]   (default: $KEZ_DNS_DIR, else /tmp/kez-dns)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
action="${1:?usage: dns.sh start|stop [STATE_DIR]}"
state="${2:-${KEZ_DNS_DIR:-/tmp/kez-dns}}"
address=127.0.0.153
python=/usr/bin/python3

if [[ "$(id -u)" != 0 ]]; then
    exec sudo bash "$here/dns.sh" "$action" "$state"
fi

stop() {
    for name in dnsmasq silent; do
        if [[ -f "$state/$name.pid" ]]; then
            kill "$(cat "$state/$name.pid")" 2>/dev/null || true
            rm -f "$state/$name.pid"
        fi
    done
}

case "$action" in
stop)
    stop
    exit 0
    ;;
start) ;;
*)
    echo "dns.sh: unknown action $action" >&2
    exit 2
    ;;
esac

stop
mkdir -p "$state"
state="$(cd "$state" && pwd)"
rm -f "$state/dns.env" "$state/silent.port"

for key in good other; do
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$state/$key.pem" 2>/dev/null
    chmod 644 "$state/$key.pem"
done

# The p= values as openssl gives them; a TXT string holds at most 255 octets, so the record
# is cut into several strings, which receivers join again.
"$python" - "$here/preflight-dns.conf" "$state" >"$state/dnsmasq.conf" <<'PY'
import base64, re, subprocess, sys
conf, state = sys.argv[1], sys.argv[2]
def public(name):
    der = subprocess.run(["openssl", "pkey", "-in", f"{state}/{name}.pem", "-pubout",
                          "-outform", "DER"], check=True, capture_output=True).stdout
    return base64.b64encode(der).decode()
keys = {"@GOOD_KEY@": public("good"), "@OTHER_KEY@": public("other")}
for line in open(conf, encoding="utf-8"):
    m = re.match(r'(txt-record=[^,]+),"(.*)"$', line.rstrip("\n"))
    if m and "@" in m.group(2):
        text = m.group(2)
        for mark, key in keys.items():
            text = text.replace(mark, key)
        parts = [text[i:i + 200] for i in range(0, len(text), 200)]
        line = m.group(1) + "," + ",".join(f'"{p}"' for p in parts) + "\n"
    sys.stdout.write(line)
PY

# A socket that takes every query and answers none.
setsid "$python" - "$address" "$state/silent.port" </dev/null >>"$state/silent.log" 2>&1 <<'PY' &
import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(str(s.getsockname()[1]))
os.rename(sys.argv[2] + ".tmp", sys.argv[2])
while True:
    s.recvfrom(4096)
PY
echo $! >"$state/silent.pid"
for _ in $(seq 50); do
    [[ -f "$state/silent.port" ]] && break
    sleep 0.1
done
if [[ ! -f "$state/silent.port" ]]; then
    echo "dns.sh: the silent socket did not start" >&2
    exit 1
fi

# dnsmasq goes to the background once its socket is bound; a bad option or a busy port make
# it exit non-zero here.
dnsmasq --no-resolv --no-hosts --bind-interfaces --listen-address="$address" --port=53 \
    --conf-file="$state/dnsmasq.conf" --server="/slow.test/$address#$(cat "$state/silent.port")" \
    --pid-file="$state/dnsmasq.pid" --log-queries --log-facility="$state/dnsmasq.log"

# Serving only once good.test's SPF record comes back.
"$python" - "$address" <<'PY'
import random, socket, struct, sys, time
query_id = random.randrange(65536)
name = b"".join(bytes([len(p)]) + p for p in b"good.test".split(b".")) + b"\0"
query = struct.pack(">HHHHHH", query_id, 0x0100, 1, 0, 0, 0) + name + struct.pack(">HH", 16, 1)
deadline = time.time() + 10
while time.time() < deadline:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.5)
        try:
            s.sendto(query, (sys.argv[1], 53))
            reply = s.recv(4096)
            qid, flags, _, answers = struct.unpack(">HHHH", reply[:8])
            if qid == query_id and flags & 0xF == 0 and answers > 0:
                sys.exit(0)
        except OSError:
            pass
    time.sleep(0.1)
print("dns.sh: dnsmasq does not answer", file=sys.stderr)
sys.exit(1)
PY

cat >"$state/dns.env.tmp" <<ENV
KEZ_DNS_SERVER=$address
KEZ_DNS_GOOD_KEY=$state/good.pem
KEZ_DNS_OTHER_KEY=$state/other.pem
KEZ_DNS_LOG=$state/dnsmasq.log
ENV
chmod 644 "$state/dns.env.tmp"
mv "$state/dns.env.tmp" "$state/dns.env"
echo "DNS (dnsmasq): $address:53  records of $here/preflight-dns.conf  log $state/dnsmasq.log"
