#!/usr/bin/env bash
# Upload and download page-cached files through the block protocols against
# the emulator (speed caps lifted) and print, with ratios, beside what the
# machine allows:
#   - the single-core CPU floors of the work (OpenSSL's SHA-1, MD5 and
#     AES-256-ECB measured in this run): upload = SHA-1 x3 + MD5 + AES per
#     byte, download = SHA-1 x3 + AES, block list = SHA-1 x2 + MD5;
#   - curl posting the same already-encoded blocks to the same emulator (a
#     fresh connection per block, the emulator checking each) and curl
#     fetching the stored blocks into a file;
#   - a 16 MiB text file against `xz --format=lzma -5` per 4 MiB block;
#   - a 16 MiB random .bin against random bytes of the same size as .mp4
#     (other bytes of the same kind: the same bytes would be deduplicated);
#   - peak RSS of each library run.
#
# Every library run and its anchor run twice, in turns (library, anchor,
# library, anchor), and the better time of each counts; the 16 MiB cases run
# three times with fresh bytes. Writing into page-cache memory that has not
# been touched for a while is several times slower on a virtual machine than
# into memory freed a moment ago, so a single run mostly measures which of
# the two went first.
#
# usage: bench/transfer/run.sh [BUILD_DIR] [SIZES_MiB]
#   BUILD_DIR holds bench/transfer/xfer_bench and tools/emulator/orvel-emulator
#   (default: build). SIZES_MiB is a space-separated list (default "256 1024").
set -euo pipefail

build=${1:-build}
sizes=${2:-256 1024}
bench=$(find "$build" -name xfer_bench -type f -perm -u+x | head -1)
emulator=$(find "$build" -name orvel-emulator -type f -perm -u+x | head -1)
[[ -x "$bench" && -x "$emulator" ]] || { echo "build xfer_bench and orvel-emulator first" >&2; exit 2; }

work=$(mktemp -d /tmp/orvel-xfer-bench-XXXXXX)
emu_pid=
cleanup() {
  [[ -n "$emu_pid" ]] && kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/emu.fifo"
"$emulator" --listen 127.0.0.1:0 --data "$work/emu" >"$work/emu.fifo" 2>"$work/emu.err" &
emu_pid=$!
read -r ready <"$work/emu.fifo"
port=${ready##*:}
root=127.0.0.1:$port
base=http://$root

cat >"$work/settings.ini" <<INI
[Tavik]
ServerRoot=$root
UploadSpeed=0
DownloadSpeed=0
[Debug]
UploadSpeed=0
DownloadSpeed=0
INI
export ORVEL_SETTINGS_FILE=$work/settings.ini
echo "Windows Registry Editor Version 5.00" >"$work/registry.reg"
export ORVEL_REGISTRY_FILE=$work/registry.reg
mkdir -p "$work/temp"

xml='<?xml version="1.0" encoding="utf-8" ?>'
token=$(curl -s -H 'Expect:' --data-binary "$xml<Orvel><user>demo</user><password>demo</password><deviceId>bench</deviceId><clientName>bench</clientName><clientVersion>1.0.0.0</clientVersion></Orvel>" \
  "$base/osvr/login/" | sed -n 's:.*<token>\([^<]*\)</token>.*:\1:p')
[[ -n "$token" ]] || { echo "login failed" >&2; exit 1; }

value() { sed -n "s/^$1=//p" "$2"; }
now() { date +%s.%N; }
calc() { awk "BEGIN {printf \"%.${2:-1}f\", $1}"; }
min() { awk "BEGIN {print ($1 < $2) ? $1 : $2}"; }
row() { printf '%-44s %9s MB/s  %s\n' "$1" "$2" "${3:-}"; }

"$bench" floor 256 >"$work/floor.txt"
sha=$(value sha1_floor_mb_s "$work/floor.txt")
md5=$(value md5_floor_mb_s "$work/floor.txt")
aes=$(value aes_floor_mb_s "$work/floor.txt")
up_floor=$(calc "1 / (3 / $sha + 1 / $md5 + 1 / $aes)")
down_floor=$(calc "1 / (3 / $sha + 1 / $aes)")
list_floor=$(calc "1 / (2 / $sha + 1 / $md5)")
printf '\nsingle-core floors (OpenSSL, this run): SHA-1 %s, MD5 %s, AES-256-ECB %s MB/s\n' "$sha" "$md5" "$aes"
printf 'upload floor %s, download floor %s, block list floor %s MB/s\n' "$up_floor" "$down_floor" "$list_floor"

# curl posting the stored (encoded) blocks of FILE again: a new upload session
# names them, each goes on a fresh connection and the emulator checks it.
curl_upload_seconds() {
  local file=$1 name=$2
  python3 - "$file" "$work/emu/blocks" "$name" "$token" "$base" "$work/curlup" <<'PY'
import hashlib, json, os, subprocess, sys, urllib.request
path, blocks_dir, name, token, base, out = sys.argv[1:]
whole = hashlib.sha1(); metas = []; files = []
with open(path, 'rb') as f:
    index = 0
    while True:
        b = f.read(4194304)
        if not b and index > 0: break
        index += 1; whole.update(b)
        sha = hashlib.sha1(b).hexdigest()
        block_id = '%06x%s' % (len(b), sha)
        metas.append({'index': index, 'md5': hashlib.md5(b).hexdigest(), 'blockId': block_id})
        files.append(os.path.join(blocks_dir, sha[:2], block_id))
        if len(b) < 4194304: break
size = os.path.getsize(path)
xml = ('<?xml version="1.0" encoding="utf-8" ?><Orvel><token>%s</token><fileVer>0</fileVer><size>%d</size>'
       '<fileId>0</fileId><sha1>%s</sha1><parentId>0</parentId><name>%s</name></Orvel>') % (token, size, whole.hexdigest(), name)
ans = urllib.request.urlopen(urllib.request.Request(base + '/osvr/requestUpload/', xml.encode(), {'v': '4'})).read().decode()
stub = ans.split('<stub>')[1].split('</stub>')[0]; url = ans.split('<url>')[1].split('</url>')[0]
urllib.request.urlopen(urllib.request.Request(url + 'uploadMetadata', json.dumps({'stub': stub, 'metas': metas}).encode(), {'v': '3'})).read()
with open(out + '.cfg', 'w') as cfg:
    for i, p in enumerate(files):
        enc = open(p, 'rb').read()
        if i: cfg.write('next\n')
        cfg.write('url = "%suploadBlock?stub=%s&sha1=%s&size=%d&index=%d"\n' % (url, stub, hashlib.sha1(enc).hexdigest(), len(enc), i + 1))
        cfg.write('data-binary = "@%s"\nheader = "Expect:"\nheader = "Content-Type:"\nheader = "Connection: close"\n' % p)
        cfg.write('output = "/dev/null"\nwrite-out = "%{http_code}\\n"\n')
PY
  local start end
  start=$(now)
  curl -s -K "$work/curlup.cfg" >"$work/curlup.codes"
  end=$(now)
  calc "$end - $start" 3
}

# curl fetching every stored block of item ID into one file.
curl_download_seconds() {
  local id=$1 answer stub url start end
  answer=$(curl -s -H 'Expect:' --data-binary "$xml<Orvel><token>$token</token><fileId>$id</fileId></Orvel>" \
    "$base/osvr/requestDownload/")
  stub=$(sed -n 's:.*<stub>\([^<]*\)</stub>.*:\1:p' <<<"$answer")
  url=$(sed -n 's:.*<url>\([^<]*\)</url>.*:\1:p' <<<"$answer")
  curl -s -H 'Expect:' --data-binary "{\"stub\":\"$stub\"}" "${url}downloadMetadata2" >"$work/meta.json"
  python3 - "$work/meta.json" "$stub" "$work/curl-down.bin" >"$work/curl.cfg" <<'PY'
import json, sys
meta = json.load(open(sys.argv[1])); stub = sys.argv[2]; out = sys.argv[3]
blocks = sorted((int(b['index']), url, b['id']) for url, bl in meta.items() if isinstance(bl, list) for b in bl)
for i, (index, url, bid) in enumerate(blocks):
    if i: print("next")
    print(f'url = "{url}downloadBlock2"')
    print(f'data = "{{\\"stub\\":\\"{stub}\\",\\"id\\":\\"{bid}\\"}}"')
    print('header = "Expect:"')
    print('write-out = "%{http_code}\\n"')
PY
  start=$(now)
  curl -s -K "$work/curl.cfg" >"$work/curl-down.bin"
  end=$(now)
  rm -f "$work/curl-down.bin"
  calc "$end - $start" 3
}

for mib in $sizes; do
  file=$work/media$mib.mp4
  head -c $((mib * 1048576)) /dev/urandom >"$file"
  cat "$file" >/dev/null  # page-cached
  bytes=$(stat -c %s "$file")
  mb=$(calc "$bytes / 1e6" 3)
  "$bench" upload "$token" "$file" "$work/temp" >"$work/up.txt"
  id=$(value id "$work/up.txt")
  up_s=$(value upload_total_seconds "$work/up.txt")
  list_s=$(value block_list_seconds "$work/up.txt")
  cu=$(curl_upload_seconds "$file" "curl$mib.mp4")
  # A second upload of other bytes of the same size: the better one counts.
  head -c $((mib * 1048576)) /dev/urandom >"$work/other$mib.mp4"
  cat "$work/other$mib.mp4" >/dev/null
  "$bench" upload "$token" "$work/other$mib.mp4" "$work/temp" >"$work/up2.txt"
  rm -f "$work/other$mib.mp4"
  if awk "BEGIN {exit !($(value upload_total_seconds "$work/up2.txt") < $up_s)}"; then
    up_s=$(value upload_total_seconds "$work/up2.txt")
    list_s=$(value block_list_seconds "$work/up2.txt")
  fi
  cu=$(min "$cu" "$(curl_upload_seconds "$file" "curl2-$mib.mp4")")
  down_s=
  cd=
  same=yes
  down_rss=0
  for turn in 1 2; do
    "$bench" download "$token" "$id" "$work/down.bin" "$work/temp" >"$work/down.txt"
    cmp -s "$file" "$work/down.bin" || same=NO
    rm -f "$work/down.bin"
    down_rss=$(( $(value peak_rss_kib "$work/down.txt") > down_rss ? $(value peak_rss_kib "$work/down.txt") : down_rss ))
    down_s=$(min "${down_s:-1e9}" "$(value download_seconds "$work/down.txt")")
    cd=$(min "${cd:-1e9}" "$(curl_download_seconds "$id")")
  done
  list_floor_s=$(calc "$mb / $list_floor" 3)
  printf '\n%s MiB incompressible .mp4, emulator on loopback, caps lifted\n' "$mib"
  row "upload incl. block list" "$(calc "$mb / $up_s")" \
    "$(calc "$mb / $up_s / $up_floor" 2)x floor; $(calc "($cu + $list_floor_s) / $up_s" 2)x (curl upload + block-list floor)"
  row "  block list" "$(calc "$mb / $list_s")" "$(calc "$mb / $list_s / $list_floor" 2)x floor"
  row "  curl posting the encoded blocks" "$(calc "$mb / $cu")" "($(sort -u "$work/curlup.codes" | tr '\n' ' '))"
  row "download" "$(calc "$mb / $down_s")" \
    "$(calc "$mb / $down_s / $down_floor" 2)x floor; $(calc "$cd / $down_s" 2)x curl; identical: $same"
  row "  curl fetching the stored blocks" "$(calc "$mb / $cd")"
  up_rss=$(value peak_rss_kib "$work/up.txt")
  up2_rss=$(value peak_rss_kib "$work/up2.txt")
  printf '%-44s %s / %s KiB\n' "peak RSS upload / download" "$(( up_rss > up2_rss ? up_rss : up2_rss ))" "$down_rss"
  rm -f "$file"
done

# 16 MiB of text against xz -5 per block, and random .bin against .mp4; the
# best of three runs, each with bytes of its own (the same bytes would be
# deduplicated).
text16() {
  python3 -c "
import random, sys
random.seed($1)
words = [''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(random.randint(2, 9))) for _ in range(5000)]
out = []; n = 0
while n < 16 * 1048576:
    line = ' '.join(random.choice(words) for _ in range(12)) + '\n'; out.append(line); n += len(line)
sys.stdout.write(''.join(out)[:16 * 1048576])"
}
upload16() {  # FILE -> seconds of the upload protocol
  "$bench" upload "$token" "$1" "$work/temp" >"$work/small.up"
  value upload_protocol_seconds "$work/small.up"
}
xz_s=
text_s=
bin_s=
mp4_s=
for run in 1 2 3; do
  text16 $((6 + run)) >"$work/text$run.txt"
  rm -f "$work"/textblock.*
  split -b 4194304 -d "$work/text$run.txt" "$work/textblock."
  start=$(now)
  for b in "$work"/textblock.*; do xz --format=lzma -5 -c "$b" >/dev/null; done
  end=$(now)
  xz_s=$(min "${xz_s:-1e9}" "$(calc "$end - $start" 3)")
  text_s=$(min "${text_s:-1e9}" "$(upload16 "$work/text$run.txt")")
  head -c 16777216 /dev/urandom >"$work/random$run.bin"
  head -c 16777216 /dev/urandom >"$work/random$run.mp4"
  bin_s=$(min "${bin_s:-1e9}" "$(upload16 "$work/random$run.bin")")
  mp4_s=$(min "${mp4_s:-1e9}" "$(upload16 "$work/random$run.mp4")")
  rm -f "$work/text$run.txt" "$work/random$run.bin" "$work/random$run.mp4"
done
printf '\n16 MiB files, upload protocol (block list apart), best of three\n'
row "text .txt" "$(calc "16.777 / $text_s")" "$(calc "$xz_s / $text_s" 2)x xz --format=lzma -5 per block ($(calc "16.777 / $xz_s") MB/s)"
row "random .bin" "$(calc "16.777 / $bin_s")" "$(calc "$mp4_s / $bin_s" 2)x the .mp4"
row "random .mp4" "$(calc "16.777 / $mp4_s")"
