#!/usr/bin/env bash
# Configures and builds into build/ (or $KEZ_BUILD_DIR). Extra arguments go to the build step.
# KEZ_WARNINGS_AS_ERRORS=ON makes any compiler warning fail the build (CI sets it).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KEZ_BUILD_DIR:-$root/build}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKEZ_WARNINGS_AS_ERRORS="${KEZ_WARNINGS_AS_ERRORS:-OFF}" >/dev/null
cmake --build "$build" "$@"
