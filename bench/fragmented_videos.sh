#!/usr/bin/env bash
# Videos deleted in pieces from a camera's card (tests/fixtures/make_fat_video_images.sh):
# how many of the intact ones Kestrune's quick scan, The Sleuth Kit's `tsk_recover` and
# PhotoRec bring back byte for byte, by how many pieces they lay in, and how many files
# Kestrune wrote as whole that are not what was deleted. Every tool on the same image in
# the same run; a second build (the one before a change) can run beside the first.
#   bench/fragmented_videos.sh [build folder] [other build folder]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
builds=("${1:-build}")
[ -n "${2:-}" ] && builds+=("$2")
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"
fixture=fat/videos12
gunzip -c "$here/tests/fixtures/$fixture.img.gz" > "$work/card.img"
json="$here/tests/fixtures/$fixture.json"
for pieces in 1 2 3+; do
    python3 - "$json" "$pieces" > "$work/truth-$pieces" <<'PY'
import json, sys
wanted = sys.argv[2]
for f in json.load(open(sys.argv[1]))["deleted"]:
    n = f["pieces"]
    if f["intact"] and (str(n) == wanted or (wanted == "3+" and n >= 3)):
        print(f["sha256"])
PY
done
python3 -c "import json,sys; [print(f['sha256']) for f in json.load(open(sys.argv[1]))['deleted']]" "$json" > "$work/all"

row() {  # tool, output folder, wrong-but-whole count
    printf '%-28s' "$1"
    for pieces in 1 2 3+; do
        printf ' %8s' "$(python3 "$here/bench/count_exact.py" "$2" "$work/truth-$pieces")/$(wc -l < "$work/truth-$pieces")"
    done
    printf ' %12s\n' "$3"
}
printf '%-28s %8s %8s %8s %12s\n' tool "1 piece" "2" "3+" "wrong whole"
for build in "${builds[@]}"; do
    out="$work/kestrune-$(basename "$build")"
    "$build/bin/kestrune" recover "$work/card.img" --to "$out" >/dev/null 2>&1 || true
    # A file written whole (not NAME.partial.EXT) whose bytes are no deleted video's.
    wrong=$(python3 - "$out" "$work/all" <<'PY'
import hashlib, os, sys
known = set(open(sys.argv[2]).read().split())
wrong = 0
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        if ".partial." in name or not name.lower().endswith((".mp4", ".mov")):
            continue
        if hashlib.sha256(open(os.path.join(folder, name), "rb").read()).hexdigest() not in known:
            wrong += 1
print(wrong)
PY
)
    row "kestrune ($(basename "$build"))" "$out" "$wrong"
done
if command -v tsk_recover >/dev/null; then
    tsk_recover "$work/card.img" "$work/tsk" >/dev/null 2>&1 || true
    row "tsk_recover" "$work/tsk" "-"
fi
if command -v photorec >/dev/null; then
    mkdir -p "$work/photorec"
    (cd "$work/photorec" && photorec /log /d "$work/photorec/out" /cmd "$work/card.img" search >/dev/null 2>&1) || true
    row "photorec (search)" "$work/photorec" "-"
fi
