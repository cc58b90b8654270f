#!/usr/bin/env bash
# An installed copy, started as a user would start it: `cmake --install` into a temporary
# prefix puts every file where desktops look for it, the files pass the freedesktop and
# AppStream validators, and the program, started from the prefix on a private X server,
#   - with an executable folder it cannot write (as the user nobody when run as root), creates
#     ini/, csv/, txt/ and log/ in the user's data folder and nothing beside itself, and its
#     window carries the program's icon and the class the desktop entry names;
#   - with an executable folder it can write, keeps them beside itself, as it always has.
#
# Usage: installed_program.sh BUILD_DIR APP_ID
set -euo pipefail

build="$1"
id="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/kez-installed.XXXXXX")"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    chmod -R u+w "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/kezmailer "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" \
    "share/icons/hicolor/scalable/apps/$id.svg"; do
    [[ -f "$prefix/$f" ]] || fail "not installed: $f"
done
for size in 16 22 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
    [[ "$(identify -format '%wx%h' "$png")" == "${size}x${size}" ]] || fail "$png is not ${size}px"
done
desktop-file-validate "$prefix/share/applications/$id.desktop"
appstreamcli validate-tree --no-net "$prefix"

# A private X server on a free display, for this script only.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do
    [[ -s "$work/display" ]] && break
    sleep 0.1
done
[[ -s "$work/display" ]] || fail "Xvfb did not start"
display=":$(cat "$work/display")"

# Starts the installed program with HOME=$1 as the given user; its pid goes to pids.
start_program() {
    local home="$1"
    shift
    "$@" env -i HOME="$home" PATH=/usr/bin:/bin DISPLAY="$display" QT_QPA_PLATFORM=xcb \
        "$prefix/bin/kezmailer" >"$home.log" 2>&1 &
    pids+=($!)
}

# Waits until the four folders exist below $1.
wait_for_folders() {
    for _ in $(seq 150); do
        local all=1
        for sub in ini csv txt log; do
            [[ -d "$1/$sub" ]] || all=0
        done
        ((all)) && return 0
        sleep 0.1
    done
    return 1
}

chmod 755 "$work"
chmod -R a+rX "$prefix"

# 1. An executable folder this user cannot write.
mkdir "$work/user"
if [[ "$(id -u)" == 0 ]]; then
    chown nobody "$work/user"
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
else
    chmod a-w "$prefix/bin"
    as_user=()
fi
start_program "$work/user" "${as_user[@]}"
per_user="$work/user/.local/share/kezmailer_d100"
wait_for_folders "$per_user" || fail "no per-user folder: $(cat "$work/user.log")"
[[ "$(ls -A "$prefix/bin")" == kezmailer ]] || fail "files beside the program: $(ls -A "$prefix/bin")"

# The first start opens the settings dialog; its window has the program's icon at every size.
icons=""
for _ in $(seq 100); do
    window="$(DISPLAY="$display" xwininfo -root -tree | grep -F '("kezmailer"' | awk '{print $1}' | head -1 || true)"
    if [[ -n "$window" ]]; then
        icons="$(DISPLAY="$display" xprop -id "$window" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | tr '\n' ' ' || true)"
        [[ -n "$icons" ]] && break
    fi
    sleep 0.1
done
[[ -n "$window" ]] || fail "no window of the program on $display"
for size in 16 22 24 32 48 64 128; do
    [[ "$icons" == *"Icon ($size x $size)"* ]] || fail "window icon lacks ${size}px: $icons"
done
# The desktop entry's StartupWMClass is the class the window carries, which is what docks and
# task bars go by to show the window under its launcher entry.
wm_class="$(DISPLAY="$display" xprop -id "$window" WM_CLASS)"
class="$(sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\([^"]*\)"$/\1/p' <<<"$wm_class")"
startup="$(sed -n 's/^StartupWMClass=//p' "$prefix/share/applications/$id.desktop")"
[[ -n "$class" && "$class" == "$startup" ]] ||
    fail "StartupWMClass '$startup' is not the window's class: $wm_class"
kill "${pids[-1]}"

# 2. An executable folder this user can write: the portable layout stays.
if [[ "$(id -u)" != 0 ]]; then
    chmod u+w "$prefix/bin"
fi
mkdir "$work/owner"
start_program "$work/owner"
wait_for_folders "$prefix/bin" || fail "no folders beside the program: $(cat "$work/owner.log")"
[[ ! -e "$work/owner/.local/share/kezmailer_d100" ]] || fail "per-user folder made though portable"
kill "${pids[-1]}"
echo "installed program: per-user folder $per_user; portable folder $prefix/bin; icons: $icons"
