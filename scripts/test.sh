#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The integration tests start their
# own Dovecot and SMTP servers on loopback ports (CTest fixtures) and stop them afterwards.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KEZ_BUILD_DIR:-$root/build}"

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

cd "$build"
ctest --output-on-failure "$@"
