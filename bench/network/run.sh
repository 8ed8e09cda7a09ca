#!/usr/bin/env bash
# TCP connections per 16-block upload and download, counted by the emulator,
# and the wall time of a 64-block upload with the emulator adding 20 ms to
# every answer: requests sharing connections ("reuse") beside one connection
# per request ("single").
#
# usage: bench/network/run.sh [BUILD_DIR]
set -euo pipefail

build=${1:-build}
bench=$(find "$build" -name net_bench -type f -perm -u+x | head -1)
emulator=$(find "$build" -name orvel-emulator -type f -perm -u+x | head -1)
[[ -x "$bench" && -x "$emulator" ]] || { echo "build net_bench and orvel-emulator first" >&2; exit 2; }

work=$(mktemp -d /tmp/orvel-net-bench-XXXXXX)
emu_pid=
stop_emulator() {
  if [[ -n "$emu_pid" ]]; then kill "$emu_pid" 2>/dev/null || true; wait "$emu_pid" 2>/dev/null || true; fi
  emu_pid=
}
trap 'stop_emulator; rm -rf "$work"' EXIT

scheme=http
start_emulator() {  # extra emulator options
  rm -f "$work/emu.fifo"
  mkfifo "$work/emu.fifo"
  "$emulator" --listen 127.0.0.1:0 "$@" >"$work/emu.fifo" 2>"$work/emu.err" &
  emu_pid=$!
  read -r ready <"$work/emu.fifo"
  port=${ready##*:}
  base=$scheme://127.0.0.1:$port
  printf '[Tavik]\nServerRoot=%s\nUploadSpeed=0\nDownloadSpeed=0\nCaFile=%s\n[Debug]\nUploadSpeed=0\nDownloadSpeed=0\n' \
    "$base" "$work/ca.pem" >"$work/settings.ini"
  token=$(curl -s --cacert "$work/ca.pem" -H 'Expect:' --data-binary '<?xml version="1.0" encoding="utf-8" ?><Orvel><user>demo</user><password>demo</password><deviceId>bench</deviceId><clientName>bench</clientName><clientVersion>1.0.0.0</clientVersion></Orvel>' \
    "$base/osvr/login/" | sed -n 's:.*<token>\([^<]*\)</token>.*:\1:p')
  [[ -n "$token" ]] || { echo "login failed" >&2; exit 1; }
}
connections() { curl -s --cacert "$work/ca.pem" "$base/_emulator/connections" | sed -n 's/.*"connections":\([0-9]*\).*/\1/p'; }
value() { sed -n "s/^$1=//p" "$2"; }

export ORVEL_SETTINGS_FILE=$work/settings.ini
echo "Windows Registry Editor Version 5.00" >"$work/registry.reg"
export ORVEL_REGISTRY_FILE=$work/registry.reg
mkdir -p "$work/temp"
# A throw-away CA and a certificate for 127.0.0.1, for the https runs.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj '/CN=bench CA' \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 \
  -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$work/server.ext"
openssl x509 -req -days 1 -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 7 \
  -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null


start_emulator
for mode in single reuse; do
  # Fresh bytes for each run: blocks the service holds already are not sent again.
  head -c $((16 * 4194304)) /dev/urandom >"$work/$mode-16.mp4"
  # Each query of the counter is a connection of its own: subtract it.
  c0=$(connections)
  "$bench" $mode upload "$token" "$work/$mode-16.mp4" "$work/temp" >"$work/up.txt"
  c1=$(connections)
  "$bench" $mode download "$token" "$(value id "$work/up.txt")" "$work/$mode-16.out" "$work/temp" >"$work/down.txt"
  c2=$(connections)
  cmp -s "$work/$mode-16.mp4" "$work/$mode-16.out" || { echo "download differs" >&2; exit 1; }
  echo "$mode: 16-block upload $((c1 - c0 - 1)) connections, download $((c2 - c1 - 1)) connections"
done
stop_emulator

start_emulator --latency 20
for mode in single reuse; do
  head -c $((64 * 4194304)) /dev/urandom >"$work/$mode-64.mp4"
  "$bench" $mode upload "$token" "$work/$mode-64.mp4" "$work/temp" >"$work/up.txt"
  echo "$mode: 64-block upload with 20 ms latency: $(value seconds "$work/up.txt") s ($(value result "$work/up.txt"))"
done
stop_emulator

scheme=https
start_emulator --latency 20 --tls-cert "$work/server.pem" --tls-key "$work/server.key"
for mode in single reuse; do
  head -c $((64 * 4194304)) /dev/urandom >"$work/$mode-64s.mp4"
  "$bench" $mode upload "$token" "$work/$mode-64s.mp4" "$work/temp" >"$work/up.txt"
  echo "$mode: 64-block upload over https with 20 ms latency: $(value seconds "$work/up.txt") s ($(value result "$work/up.txt"))"
done
