#!/usr/bin/env bash
# Checks (--check) or applies (--fix) .clang-format on every tracked C++ file.
#   scripts/format.sh --check|--fix [clang-format]
set -euo pipefail
mode="$1"
tool="${2:-clang-format}"
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ "$mode" == --fix ]]; then
    "$tool" -i "${files[@]}"
else
    "$tool" --dry-run --Werror "${files[@]}"
    echo "format-check: ${#files[@]} files laid out as .clang-format says"
fi
