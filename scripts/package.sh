#!/usr/bin/env bash
# Installs what is missing, builds, and makes the Debian package
# build/package/kezmailer_<version>_<architecture>.deb (install it with
# `sudo apt install ./build/package/kezmailer_*.deb`).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KEZ_BUILD_DIR:-$root/build}"

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" --target kezmailer
cpack --config "$build/CPackConfig.cmake" -B "$build/package"
ls "$build"/package/kezmailer_*.deb
