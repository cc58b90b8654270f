#!/usr/bin/env bash
# Points a KEZ-MAILER application folder at the servers start.sh runs, for a try by hand:
# writes APPDIR/ini/kezmail.ini (the previous one is kept as kezmail.ini.bak) with the SMTP
# sink, the Dovecot POP3 account (APOP on, POP before SMTP every minute) and the sender
# operator@example.jp. The sink keeps every mail it gets; see KEZ_SMTP_STORE in servers.env.
# With --via-postfix the mails go to the private Postfix instead: user<digits>@bounce.test are
# delivered, other bounce.test users bounce, and the delivery reports land in the POP3 box.
#
# Usage: configure_app.sh [--via-postfix] APPDIR [STATE_DIR]   (APPDIR: the folder of the
#        kezmailer program, e.g. build/bin; STATE_DIR as given to start.sh)
set -euo pipefail

via_postfix=""
if [[ "${1:-}" == --via-postfix ]]; then
    via_postfix=yes
    shift
fi
app="${1:?usage: configure_app.sh [--via-postfix] APPDIR [STATE_DIR]}"
state="${2:-${KEZ_SERVERS_DIR:-/tmp/kez-servers}}"
env_file="$state/servers.env"
[[ -f "$env_file" ]] || { echo "configure_app.sh: $env_file missing; run start.sh first" >&2; exit 1; }
# shellcheck disable=SC1090
source "$env_file"

smtp="$KEZ_SMTP_HOST:$KEZ_SMTP_PORT"
if [[ -n "$via_postfix" ]]; then
    [[ -n "${KEZ_POSTFIX_PORT:-}" ]] ||
        { echo "configure_app.sh: no Postfix in $env_file; run start.sh again" >&2; exit 1; }
    smtp="$KEZ_POSTFIX_HOST:$KEZ_POSTFIX_PORT"
fi

mkdir -p "$app/ini" "$app/log"
ini="$app/ini/kezmail.ini"
[[ -f "$ini" ]] && cp -p "$ini" "$ini.bak"
app_abs="$(cd "$app" && pwd)"
# Fourteen lines in the program's own order, CR LF line ends; everything here is ASCII, so
# the file is valid Shift_JIS as it stands.
printf '%s\r\n' \
    "EDITPATH=/usr/bin/editor" \
    "SMTP=$smtp" \
    "POP3=$KEZ_POP3_HOST:$KEZ_POP3_PORT" \
    "MAIL=operator@example.jp" \
    "USERID=$KEZ_POP3_USER" \
    "IDPAS=$KEZ_POP3_PASSWORD" \
    "APOP= 1" \
    "SENDLOG= 1" \
    "SENDLOGPAS=$app_abs/log/send.log" \
    "ERRLOG= 1" \
    "ERRLOGMSG= 0" \
    "ERRLOGPAS=$app_abs/log/error.log" \
    "SENDSPAN= 300" \
    "POP3TIME= 1" >"$ini"
echo "wrote $ini"
if [[ -n "$via_postfix" ]]; then
    echo "delivered mails: $KEZ_POSTFIX_DELIVERED"
    echo "Postfix log:     $KEZ_POSTFIX_LOG"
else
    echo "received mails:  $KEZ_SMTP_STORE"
fi
echo "POP3 log:        $KEZ_POP3_LOG"
