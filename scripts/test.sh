#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the tests that need no server,
# so a unit failure shows in seconds, then the integration tests, which start their own Dovecot
# and SMTP sink on loopback ports (CTest fixtures) and stop them afterwards. Extra arguments go
# to both ctest runs.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KEZ_BUILD_DIR:-$root/build}"

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

cd "$build"
ctest --output-on-failure -LE integration "$@"
ctest --output-on-failure -L integration "$@"
