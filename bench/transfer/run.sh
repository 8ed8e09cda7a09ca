#!/usr/bin/env bash
# Upload and download a page-cached 1 GiB incompressible media file through the
# block protocols against the emulator (speed caps lifted), beside curl moving
# the same bytes to and from the same emulator, and the in-memory floor of the
# hashing and cipher work.
#
# usage: bench/transfer/run.sh [BUILD_DIR] [SIZE_MiB]
#   BUILD_DIR holds bench/transfer/xfer_bench and tools/emulator/orvel-emulator
#   (default: build). SIZE_MiB defaults to 1024.
set -euo pipefail

build=${1:-build}
mib=${2:-1024}
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

file=$work/media.mp4
head -c $((mib * 1048576)) /dev/urandom >"$file"
cat "$file" >/dev/null  # page-cached
bytes=$(stat -c %s "$file")
mkdir -p "$work/temp"

xml='<?xml version="1.0" encoding="utf-8" ?>'
token=$(curl -s -H 'Expect:' --data-binary "$xml<Orvel><user>demo</user><password>demo</password><deviceId>bench</deviceId><clientName>bench</clientName><clientVersion>1.0.0.0</clientVersion></Orvel>" \
  "$base/osvr/login/" | sed -n 's:.*<token>\([^<]*\)</token>.*:\1:p')
[[ -n "$token" ]] || { echo "login failed" >&2; exit 1; }

value() { sed -n "s/^$1=//p" "$2"; }

"$bench" floor 256 >"$work/floor.txt"
"$bench" upload "$token" "$file" "$work/temp" >"$work/up.txt"
id=$(value id "$work/up.txt")
"$bench" download "$token" "$id" "$work/down.bin" "$work/temp" >"$work/down.txt"
cmp -s "$file" "$work/down.bin" && same=yes || same=NO
rm -f "$work/down.bin"

# curl: the same bytes as one streamed POST that the block server drains.
curl_up=$(curl -s -o /dev/null -H 'Expect:' -X POST -T "$file" -w '%{speed_upload}' \
  "$base/blk1/uploadBlock?stub=none&sha1=0000000000000000000000000000000000000000&size=1&index=1")

# curl: every stored block of the file, fetched with downloadBlock2 in one process.
answer=$(curl -s -H 'Expect:' --data-binary "$xml<Orvel><token>$token</token><fileId>$id</fileId></Orvel>" \
  "$base/osvr/requestDownload/")
stub=$(sed -n 's:.*<stub>\([^<]*\)</stub>.*:\1:p' <<<"$answer")
url=$(sed -n 's:.*<url>\([^<]*\)</url>.*:\1:p' <<<"$answer")
curl -s -H 'Expect:' --data-binary "{\"stub\":\"$stub\"}" "${url}downloadMetadata2" >"$work/meta.json"
python3 - "$work/meta.json" "$stub" >"$work/curl.cfg" <<'PY'
import json, sys
meta = json.load(open(sys.argv[1]))
stub = sys.argv[2]
first = True
for url, blocks in meta.items():
    if not isinstance(blocks, list):
        continue
    for b in blocks:
        if not first:
            print("next")
        first = False
        print(f'url = "{url}downloadBlock2"')
        print(f'data = "{{\\"stub\\":\\"{stub}\\",\\"id\\":\\"{b["id"]}\\"}}"')
        print('output = "/dev/null"')
        print('header = "Expect:"')
        print('write-out = "%{http_code} %{size_download}\\n"')
PY
start=$(date +%s.%N)
curl -s -K "$work/curl.cfg" >"$work/curl-down.txt"
end=$(date +%s.%N)
curl_bytes=$(awk '{s+=$2} END {print s}' "$work/curl-down.txt")
curl_down=$(awk -v b="$curl_bytes" -v s="$start" -v e="$end" 'BEGIN {printf "%.1f", b / 1e6 / (e - s)}')
curl_up=$(awk -v v="$curl_up" 'BEGIN {printf "%.1f", v / 1e6}')

up=$(value upload_protocol_mb_s "$work/up.txt")
down=$(value download_mb_s "$work/down.txt")
pct() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.0f%%", 100 * a / b}'; }
printf '\n%s MiB incompressible .mp4, emulator on loopback, caps lifted\n' "$mib"
printf '%-34s %10s\n' "measure" "MB/s"
printf '%-34s %10s\n' "SHA-1 in memory" "$(value sha1_floor_mb_s "$work/floor.txt")"
printf '%-34s %10s\n' "MD5 in memory" "$(value md5_floor_mb_s "$work/floor.txt")"
printf '%-34s %10s\n' "AES-256-ECB in memory" "$(value aes_floor_mb_s "$work/floor.txt")"
printf '%-34s %10s\n' "block list (SHA-1+SHA-1+MD5)" "$(value block_list_mb_s "$work/up.txt")"
printf '%-34s %10s   (%s of curl)\n' "upload protocol" "$up" "$(pct "$up" "$curl_up")"
printf '%-34s %10s\n' "upload incl. block list" "$(value upload_total_mb_s "$work/up.txt")"
printf '%-34s %10s\n' "curl upload (same bytes)" "$curl_up"
printf '%-34s %10s   (%s of curl)\n' "download" "$down" "$(pct "$down" "$curl_down")"
printf '%-34s %10s\n' "curl download (stored blocks)" "$curl_down"
printf 'peak RSS upload %s KiB, download %s KiB; download identical: %s\n' \
  "$(value peak_rss_kib "$work/up.txt")" "$(value peak_rss_kib "$work/down.txt")" "$same"
