#!/usr/bin/env bash
# Installs what is missing, builds, and starts KEZ-MAILER.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KEZ_BUILD_DIR:-$root/build}"

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" --target kezmailer

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "run: no display found; starting on a virtual X server (xvfb-run)" >&2
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bin/kezmailer"
fi
exec "$build/bin/kezmailer"
