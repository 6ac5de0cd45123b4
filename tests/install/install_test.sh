#!/usr/bin/env bash
# The program installed as a user gets it: `cmake --install` into a new prefix puts every
# file in its usual place, the desktop entry and the metainfo pass their validators, and
# both programs start from the prefix and take their settings and texts from there.
#   install_test.sh BUILD_FOLDER
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "install test: $*" >&2; exit 1; }
id=org.kestrune.Halvardine
expected=(
    bin/kestrune
    share/kestrune/config.ini share/kestrune/Languages/English.ini share/kestrune/doc/user-guide.html
    share/bash-completion/completions/kestrune
)
[ -d "$build/man" ] && expected+=(share/man/man1/kestrune.1.gz)
if [ -x "$build/bin/kestrune-gui" ]; then
    expected+=(bin/kestrune-gui libexec/kestrune/kestrune-preview
               "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml"
               "share/icons/hicolor/scalable/apps/$id.svg")
    [ -d "$build/man" ] && expected+=(share/man/man1/kestrune-gui.1.gz)
    for size in 16 22 24 32 48 64 128 256; do expected+=("share/icons/hicolor/${size}x${size}/apps/$id.png"); done
fi
for file in "${expected[@]}"; do [ -f "$prefix/$file" ] || fail "$file is not installed"; done

"$prefix/bin/kestrune" --version | grep -q '^kestrune ' || fail "the installed kestrune does not start"
[ -x "$build/bin/kestrune-gui" ] || exit 0

desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "the desktop entry is not valid"
grep -q '^MimeType=.*application/x-raw-disk-image;' "$prefix/share/applications/$id.desktop" ||
    fail "disk images are not associated with the program"
appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null ||
    fail "the metainfo file is not valid"

# The desktop program, started from the prefix, reads the installed settings and the
# installed English texts.
home=$(mktemp -d -p "$prefix")
report=$(HOME="$home" XDG_CONFIG_HOME="$home/config" QT_QPA_PLATFORM=offscreen "$prefix/bin/kestrune-gui" --version 2>/dev/null)
echo "$report" | grep -qx "settings: $prefix/share/kestrune/config.ini" ||
    fail "kestrune-gui does not take its settings from the prefix: $report"
echo "$report" | grep -qx 'language: English (Recover)' || fail "kestrune-gui shows no translated text: $report"
echo "install test: $((${#expected[@]})) files in place, both programs start from $prefix"
