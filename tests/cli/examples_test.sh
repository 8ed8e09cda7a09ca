#!/usr/bin/env bash
# Runs the transfer and listing examples against a private emulator.
#   examples_test.sh EMULATOR EXAMPLE_TRANSFER EXAMPLE_LISTING ORVEL
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
emulator=$1 transfer=$2 listing=$3 orvel=$4

scratch
export ORVEL_LOG_DIR=$work/log XDG_CONFIG_HOME=$work/config

"$emulator" --listen 127.0.0.1:0 --user ex:S3cret-Ex >"$work/emulator.out" 2>&1 &
emu_pid=$!
port=$(wait_ready "$work/emulator.out")
[[ -n ${port:-} ]] || { echo "emulator did not start" >&2; exit 1; }
server=127.0.0.1:$port
# Downloads capped, so that the cancelled one is still running when the
# watching thread cancels it.
printf '[Tavik]\nServerRoot=%s\nSvrCommandRoot=%s\nDownloadSpeed=1000000\n[TavikShell]\nWebServerRoot=%s\n[Debug]\nUploadSpeed=0\nDownloadSpeed=1000000\n' \
  "$server" "$server" "$server" >"$work/settings.ini"
export ORVEL_SETTINGS_FILE=$work/settings.ini

echo "== transfer example"
head -c 400000 /dev/urandom >"$work/data.bin"
mkdir "$work/temp"
out=$("$transfer" ex S3cret-Ex "$work/data.bin" "$work/back.bin" "$work/temp" 2>&1) || fail "transfer example: $out"
cmp -s "$work/data.bin" "$work/back.bin" || fail "the example's download differs"
[[ $out == *"upload: S_OK (success)"* && $out == *"download: S_OK (success)"* ]] || fail "transfer results: $out"
[[ $out == *"cancelled download: E_OV_CANCELLED (the transfer was cancelled)"* ]] || fail "no cancel: $out"
[[ $out =~ download:\ [0-9]+\ of\ 400000\ bytes ]] || fail "no progress figures: $out"
out=$("$transfer" ex wrong "$work/data.bin" "$work/back.bin" "$work/temp" 2>&1) && fail "wrong password accepted"
[[ $out == *"login: E_OV_ACCOUNT_NOT_MATCH"* ]] || fail "wrong password: $out"

echo "== listing example"
out=$("$listing" ex S3cret-Ex 2>&1) || fail "listing example: $out"
[[ $out == "/" ]] || fail "empty account: $out"
echo S3cret-Ex | "$orvel" --server "$server" login ex --password-stdin >/dev/null || fail "orvel login"
"$orvel" -q mkdir -p /photos/2024 >/dev/null && "$orvel" -q put "$work/data.bin" /photos/2024/a.bin >/dev/null \
  && "$orvel" -q mkdir /empty >/dev/null || fail "orvel could not lay out the tree"
out=$("$listing" ex S3cret-Ex 2>&1) || fail "listing example: $out"
[[ $out == $'/\n  empty/\n  photos/\n    2024/\n      a.bin  400000 bytes' ]] || fail "listing: $out"
out=$("$listing" ex wrong 2>&1) && fail "listing with a wrong password"
[[ $out == *E_OV_ACCOUNT_NOT_MATCH* ]] || fail "listing failure: $out"
! grep -q 'S3cret-Ex' "$work/log/"*.log || fail "a password reached the log"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "example checks passed"
