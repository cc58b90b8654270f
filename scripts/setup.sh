#!/usr/bin/env bash
# Installs the Debian 12 packages listed in scripts/debian-packages.txt that are missing.
# Safe to run again: it installs nothing when everything is there.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
list="$here/debian-packages.txt"

missing=()
while read -r pkg; do
    pkg="${pkg%%#*}"
    pkg="${pkg//[[:space:]]/}"
    [[ -z "$pkg" ]] && continue
    status="$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)"
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done < "$list"

if ((${#missing[@]} == 0)); then
    echo "setup: all packages present"
    exit 0
fi

sudo=()
if [[ "$(id -u)" != 0 ]]; then
    sudo=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Postfix's installer would ask how to set up the system's mailer; the tests only run private
# instances, so the system's one stays unconfigured.
if [[ " ${missing[*]} " == *" postfix "* ]]; then
    echo "postfix postfix/main_mailer_type select No configuration" |
        "${sudo[@]}" debconf-set-selections
fi
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
