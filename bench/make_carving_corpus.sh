#!/usr/bin/env bash
# Writes the files the carving fidelity benchmark lays on its image: several files of
# every type the deep scan knows, each written by the program people use for it and with
# the options that change its structure (baseline and progressive JPEG, MP4 with its
# index first and last, MP3 CBR and VBR with either tag, gzip at three levels...), at
# the sizes people keep (photos of megabytes, clips of seconds, a database of thousands
# of pages). Types no free program writes (APE, MMF, PST, DBX, FLA, GHO, RAR) come from
# the small hand-made test files, named synthetic_* and handmade_*.
#
#     bench/make_carving_corpus.sh FOLDER
#
# Needs: imagemagick ffmpeg sox lame libreoffice ghostscript zip p7zip-full gcab sqlite3
# gcc-mingw-w64-x86-64 python3 and the DejaVu fonts.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
fixtures="$here/../tests/fixtures"
out="$(mkdir -p "$1" && cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
export SOURCE_DATE_EPOCH=1480946829 TZ=UTC
quiet() { "$@" >/dev/null 2>&1; }
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y -fflags +bitexact "$@"; }
im() { /usr/bin/convert "$@"; }

# Pictures. A photograph's detail is noise under a blur; JPEG keeps it in long
# entropy-coded runs with every byte value, as a camera's do.
im -size 1600x1200 plasma:fractal -seed 11 -blur 0x1 +noise Gaussian photo.png
im photo.png -quality 92 "$out/camera.jpg"
im photo.png -resize 1024x768 -quality 85 -interlace Plane "$out/progressive.jpg"
im photo.png -resize 640x480 -quality 75 -sampling-factor 2x2 "$out/small.jpg"
im photo.png -resize 800x600 "$out/screenshot.png"
im -size 64x64 gradient:navy-gold "$out/icon_one_chunk.png"
im photo.png -resize 300x200 -define png:compression-level=0 "$out/uncompressed.png"
im -delay 10 -size 240x160 plasma: -seed 3 \( -size 240x160 plasma: \) \( -size 240x160 gradient:red-blue \) \
   \( -size 240x160 xc: +noise Random \) -loop 0 "$out/animated.gif"
im photo.png -resize 320x240 -colors 64 "$out/still.gif"
im photo.png -resize 400x300 "BMP3:$out/info40.bmp"
im photo.png -resize 400x300 "BMP:$out/v5_124.bmp"
im photo.png -resize 200x150 -type Palette "BMP3:$out/palette.bmp"
im photo.png -resize 640x480 -compress none -define tiff:endian=lsb -define tiff:rows-per-strip=16 "$out/little.tif"
im photo.png -resize 640x480 -compress lzw -define tiff:endian=msb "$out/big_lzw.tif"
im photo.png -resize 320x240 -compress zip "$out/deflate.tif"
im photo.png -resize 500x400 -compress None "$out/raw.psd"
im photo.png -resize 500x400 -compress RLE "$out/rle.psd"
im photo.png \( photo.png -resize 50% \) -resize 400x300 "$out/layers.psd"
im photo.png -define icon:auto-resize=256,48,32,16 "$out/app.ico"
im photo.png -define icon:auto-resize=32,16 "$out/small.ico"

# Sound: a few seconds of tones.
sox -n -r 44100 -c 2 tone.wav synth 6 sine 440 sine 660 tremolo 3
sox -n -r 22050 -c 1 "$out/mono.wav" synth 3 pluck C3 pluck E3
cp tone.wav "$out/stereo.wav"
quiet lame -b 128 --add-id3v2 --tt "Tone" --ta "Kestrune" tone.wav "$out/cbr_id3v2.mp3"
quiet lame -V 2 --id3v1-only --tt "Tone" tone.wav "$out/vbr_id3v1.mp3"
quiet lame -b 64 -m m --resample 22.05 -t tone.wav "$out/bare.mp3"
ff -i tone.wav -c:a mp2 -b:a 192k -f mp2 "$out/broadcast.mp2"
ff -i tone.wav -t 2 -c:a mp2 -b:a 96k -ac 1 -f mp2 "$out/short.mp2"
python3 - "$out/two_tracks.mid" "$out/one_track.mid" <<'PY'
import struct, sys
def track(notes, channel):
    events = b''
    for i, note in enumerate(notes):
        events += b'\x00' + bytes([0x90 | channel, note, 96]) + b'\x60' + bytes([0x80 | channel, note, 0])
    events += b'\x00\xff\x2f\x00'
    return b'MTrk' + struct.pack('>I', len(events)) + events
def song(tracks):
    return b'MThd' + struct.pack('>IHHH', 6, 1 if len(tracks) > 1 else 0, len(tracks), 96) + b''.join(tracks)
open(sys.argv[1], 'wb').write(song([track(range(60, 90), 0), track(range(40, 70, 2), 1)]))
open(sys.argv[2], 'wb').write(song([track(list(range(48, 72)) * 8, 0)]))
PY

# Video: five seconds of a test card with sound, in every container.
src=(-f lavfi -i testsrc=size=320x240:rate=25:duration=5 -f lavfi -i sine=frequency=500:duration=5)
ff "${src[@]}" -c:v libx264 -preset veryfast -c:a aac -movflags +faststart -map_metadata -1 "$out/index_first.mp4"
ff "${src[@]}" -c:v libx264 -preset veryfast -c:a aac -map_metadata -1 "$out/index_last.mp4"
ff "${src[@]}" -c:v mpeg4 -c:a aac -map_metadata -1 "$out/camera.mov"
ff "${src[@]}" -s 176x144 -c:v h263 -c:a aac -ar 8000 -ac 1 -map_metadata -1 "$out/phone.3gp"
ff "${src[@]}" -c:v mpeg4 -c:a mp2 "$out/clip.mkv"
ff "${src[@]}" -c:v libvpx -b:v 300k -c:a libvorbis "$out/clip.webm" 2>/dev/null || true
ff "${src[@]}" -c:v flv -c:a libmp3lame -ar 44100 "$out/clip.flv"
ff "${src[@]}" -c:v mpeg2video -c:a mp2 -f vob "$out/dvd.vob"
ff "${src[@]}" -c:v mpeg1video -c:a mp2 -f mpeg "$out/clip.mpg"
ff -f lavfi -i testsrc=size=320x240:rate=25:duration=3 -c:v mpeg1video -f mpeg1video "$out/elementary.mpg"
ff "${src[@]}" -c:v mpeg2video -c:a mp2 -f mpegts "$out/broadcast.ts"
ff "${src[@]}" -c:v libx264 -preset veryfast -c:a ac3 -f mpegts -mpegts_m2ts_mode 1 "$out/camcorder.mts"
ff "${src[@]}" -c:v mpeg4 -c:a pcm_s16le "$out/clip.avi"
ff "${src[@]}" -c:v rv10 -c:a ac3 -f rm "$out/clip.rm"
ff "${src[@]}" -c:v wmv2 -c:a wmav2 "$out/clip.wmv"
ff -i tone.wav -c:a wmav2 "$out/tone.wma"
ff "${src[@]}" -c:v flv -c:a libmp3lame -ar 44100 -f swf "$out/uncompressed.swf"
ff -f lavfi -i testsrc=size=320x240:rate=25:duration=5 -r 25 -s 720x576 -c:v mpeg2video -b:v 8M -pix_fmt yuv420p \
   -f mxf "$out/broadcast.mxf"
# A compressed SWF is the uncompressed one's body through zlib, behind a "CWS" header
# that keeps the uncompressed length.
python3 - "$out/uncompressed.swf" "$out/compressed.swf" <<'PY'
import sys, zlib
data = open(sys.argv[1], 'rb').read()
open(sys.argv[2], 'wb').write(b'CWS' + bytes([max(data[3], 6)]) + data[4:8] + zlib.compress(data[8:], 9))
PY

# Documents from LibreOffice, and a PDF from Ghostscript.
python3 - <<'PY'
lines = [f"Paragraph {i}: the quick brown fox jumps over the lazy dog, again and again." for i in range(400)]
open("letter.txt", "w").write("\n\n".join(lines))
open("sheet.csv", "w").write("\n".join(f"{i},{i * i},{i * 0.5},item {i}" for i in range(3000)))
PY
for format in doc docx pdf; do quiet soffice --headless --convert-to "$format" letter.txt; done
for format in xls xlsx; do quiet soffice --headless --convert-to "$format" sheet.csv; done
# Slides: the letter's pages imported into Impress, one slide each.
cp letter.pdf slides.pdf
for format in ppt pptx; do quiet soffice --headless --infilter=impress_pdf_import --convert-to "$format" slides.pdf; done
cp letter.doc letter.docx letter.pdf sheet.xls sheet.xlsx slides.ppt slides.pptx "$out/"
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -sOutputFile="$out/ghostscript.pdf" -c \
   "/Helvetica findfont 14 scalefont setfont 1 1 40 { 72 exch 18 mul 36 add moveto (Kestrune page text) show } for showpage"

# Archives at the settings people leave them at, and the ones they pick.
zip -q -X "$out/deflated.zip" letter.txt sheet.csv photo.png
zip -q -X -0 "$out/stored.zip" letter.txt "$out/small.jpg"
quiet 7z a -mx=5 "$out/default.7z" letter.txt sheet.csv
quiet 7z a -mx=1 -m0=lzma "$out/fast_lzma.7z" letter.txt photo.png
for level in 1 6 9; do gzip -"$level" -n -c sheet.csv > "$out/sheet_$level.gz"; done
gzip -c letter.txt > "$out/named.gz"
gcab -c "$out/stored.cab" letter.txt sheet.csv
gcab -c -z "$out/compressed.cab" letter.txt sheet.csv

# Databases: a small one and one of thousands of pages.
sqlite3 "$out/small.db" "create table t(x); insert into t values ('one'), ('two');"
sqlite3 "$out/large.db" "create table t(x, y); with recursive n(i) as (select 1 union all select i + 1 from n where i < 60000)
  insert into t select i, printf('row %d of the kestrune benchmark database', i) from n; create index ti on t(y);"

# Programs and fonts.
printf '#include <stdio.h>\nint main(void) { puts("kestrune"); return 0; }\n' > tool.c
printf '__declspec(dllexport) int twice(int x) { return 2 * x; }\n' > lib.c
x86_64-w64-mingw32-gcc -O2 -s -o "$out/tool.exe" tool.c
x86_64-w64-mingw32-gcc -O0 -o "$out/debug.exe" tool.c
x86_64-w64-mingw32-gcc -O2 -s -shared -o "$out/lib.dll" lib.c
printf 'long DriverEntry(void *driver, void *registry) { return driver && registry ? 0 : 1; }\n' > driver.c
x86_64-w64-mingw32-gcc -O2 -s -nostdlib -shared -Wl,--subsystem,native -e DriverEntry -o "$out/driver.sys" driver.c
cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf /usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf \
   /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf "$out/"

# The structure-walk test files, made by the same kinds of tools, and hand-made files
# for the types no free program writes.
for f in "$fixtures"/carve_structure/*; do cp "$f" "$out/fixture_$(basename "$f")"; done
for f in audio.ape ring.mmf mail.pst mail.dbx anim.fla backup.gho; do
    cp "$fixtures/carve/$f" "$out/synthetic_$f"
done
for f in "$fixtures"/carve_rar/*.rar; do cp "$f" "$out/handmade_$(basename "$f")"; done
ls "$out" | wc -l
