#!/usr/bin/env bash
# The .deb package: CPack builds it from the build folder, and dpkg-deb reads back that it
# installs the program, its desktop entry, metadata and icons under /usr, and that it depends
# on the Debian packages of the libraries the program links.
#
# Usage: deb_package.sh BUILD_DIR APP_ID
set -euo pipefail

build="$1"
id="$2"
out="$(mktemp -d "${TMPDIR:-/tmp}/kez-deb.XXXXXX")"
trap 'rm -rf "$out"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
shopt -s nullglob
debs=("$out"/kezmailer_*.deb)
((${#debs[@]} == 1)) || fail "expected one kezmailer_*.deb in $out"
deb="${debs[0]}"

info="$(dpkg-deb --info "$deb")"
echo "$info"
[[ "$(dpkg-deb --field "$deb" Package)" == kezmailer ]] || fail "package name"
[[ "$(dpkg-deb --field "$deb" Architecture)" == "$(dpkg --print-architecture)" ]] || fail "arch"
depends="$(dpkg-deb --field "$deb" Depends)"
for pkg in libc6 libstdc++6 libcurl4 libopendkim11 libqt6core6 libqt6gui6 libqt6widgets6 \
    libqt6network6 libqt6dbus6 libqt6sql6 libqt6sql6-sqlite; do
    [[ ", $depends," == *", $pkg "* || ", $depends," == *", $pkg,"* ]] ||
        fail "Depends lacks $pkg: $depends"
done
# Every name in Depends is a Debian package installed here: the libraries the program was
# linked against came from them.
for pkg in $(echo "$depends" | tr ',' '\n' | sed 's/(.*//; s/[[:space:]]//g'); do
    dpkg-query -W "$pkg" >/dev/null 2>&1 || fail "not a package installed here: $pkg"
done

contents="$(dpkg-deb --contents "$deb" | awk '{print $NF}')"
for f in ./usr/bin/kezmailer "./usr/share/applications/$id.desktop" \
    "./usr/share/metainfo/$id.metainfo.xml" "./usr/share/icons/hicolor/scalable/apps/$id.svg" \
    "./usr/share/icons/hicolor/48x48/apps/$id.png" ./usr/share/doc/kezmailer/copyright; do
    grep -qxF "$f" <<<"$contents" || fail "not in the package: $f"
done
# Debian's own parser of the machine-readable copyright format reads the file the package
# installs: every file of the package is under the GPL, version 3 or later.
unpacked="$out/unpacked"
dpkg-deb --extract "$deb" "$unpacked"
/usr/bin/python3 - "$unpacked/usr/share/doc/kezmailer/copyright" <<'PY' || fail "copyright file"
import sys
from debian.copyright import Copyright

with open(sys.argv[1], encoding="utf-8") as f:
    c = Copyright(f, strict=True)
files = c.find_files_paragraph("usr/bin/kezmailer")
assert files is not None and files.license.synopsis == "GPL-3+", files
# The short name is defined once, by a stand-alone paragraph holding the terms.
texts = [p.license.text for p in c.all_license_paragraphs() if p.license.synopsis == "GPL-3+"]
assert len(texts) == 1 and "either version 3 of the License" in texts[0], texts
PY
echo "deb package: $(basename "$deb")"
